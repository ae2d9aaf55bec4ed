# Manual pages: Markdown in docs/man/<name>.<section>.md, turned into roff with go-md2man and
# compressed (gzip -9n, as Debian keeps them) at build time; installed into share/man.
find_program(QZ_GO_MD2MAN go-md2man)
if(NOT QZ_GO_MD2MAN)
    message(STATUS "go-md2man not found: no manual pages (scripts/install-deps.sh installs it)")
    return()
endif()

set(QZ_MAN_PAGES qzConsole.1 qzagentd.8 qzbuildcached.8 qzdump.1 qzreg.1)
set(man_outputs)
foreach(page ${QZ_MAN_PAGES})
    set(source ${CMAKE_SOURCE_DIR}/docs/man/${page}.md)
    set(roff ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(
        OUTPUT ${roff} ${roff}.gz
        COMMAND ${QZ_GO_MD2MAN} -in ${source} -out ${roff}
        COMMAND sh -c "gzip -9n -c '${roff}' > '${roff}.gz'"
        DEPENDS ${source}
        COMMENT "Manual page ${page}"
        VERBATIM)
    list(APPEND man_outputs ${roff} ${roff}.gz)
    string(REGEX REPLACE ".*\\." "" section ${page})
    install(FILES ${roff}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man ALL DEPENDS ${man_outputs})

if(QZ_BUILD_TESTS)
    # Every switch of the console's usage text is in its manual page.
    add_test(NAME ManPage.ConsoleShowsEverySwitchOfTheUsageText
             COMMAND sh ${CMAKE_SOURCE_DIR}/tests/man/usage-switches.sh $<TARGET_FILE:qzConsole>
                     ${CMAKE_BINARY_DIR}/man/qzConsole.1)
    set_tests_properties(ManPage.ConsoleShowsEverySwitchOfTheUsageText PROPERTIES TIMEOUT 60)
endif()
