# Install rules and the Debian package (docs/install.md).
#
#   <prefix>/bin          qzConsole, qzdump, qzreg
#   <prefix>/sbin         qzagentd (and qzbuildcached, the build cache service, when it is built)
#   <prefix>/lib/orvane   the agent folder: Tasksmith, libqzcachehttp.so (its build cache
#                         client), qzrelay and libqzintercept.so (the
#                         interception of /COMMAND builds), resources/, machine-setup, and the links
#                         History and Temp to the variable data in <localstatedir>/lib/orvane
#   <systemd unit dir>    qzagentd.service (and orvane-buildcache.service)
#   <sysconfdir>/default  qzagentd: the agent unit's environment
#   <prefix>/share        doc/orvane (README, docs), man/man1 and man/man8
#
# The machine settings (/etc/tamrel/registry/HKLM.reg), the service account and the variable
# folders are made by machine-setup: the package's maintainer scripts run it, and so does an
# administrator after a plain `cmake --install`.
set(CMAKE_INSTALL_DOCDIR share/doc/orvane CACHE PATH "Documentation (the package's name)")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(GNUInstallDirs)

set(QZ_AGENT_DIR ${CMAKE_INSTALL_PREFIX}/lib/orvane)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(default_unit_dir /lib/systemd/system)
else()
    set(default_unit_dir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(QZ_SYSTEMD_UNIT_DIR ${default_unit_dir} CACHE PATH "Where the systemd units are installed")
set(QZ_FULL_AGENT_DIR ${QZ_AGENT_DIR})
set(QZ_FULL_STATE_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/orvane)
set(QZ_FULL_LOG_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/orvane)
set(QZ_FULL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(QZ_FULL_SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(QZ_AGENT_ENVIRONMENT_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/qzagentd)

set(packaging ${CMAKE_SOURCE_DIR}/packaging)
set(staged ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS qzConsole qzdump qzreg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qzagentd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS Tasksmith RUNTIME DESTINATION ${QZ_AGENT_DIR})
# Tasksmith loads its build cache client from beside it.
install(TARGETS qzcachehttp LIBRARY DESTINATION ${QZ_AGENT_DIR})
# Tasksmith names both by their place beside it (docs/interception.md).
install(TARGETS qzrelay RUNTIME DESTINATION ${QZ_AGENT_DIR})
install(TARGETS qzintercept LIBRARY DESTINATION ${QZ_AGENT_DIR})
# lintian takes the static, position-independent qzrelay for a shared library.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME orvane)

# The default build cache configuration below the agent folder; its data lives in the variable
# data folder.
configure_file(${CMAKE_SOURCE_DIR}/resources/buildcache_service_config.json.in
               ${staged}/resources/buildcache_service_config.json @ONLY)
install(FILES ${staged}/resources/buildcache_service_config.json
        DESTINATION ${QZ_AGENT_DIR}/resources)

# The default profile of intercepted builds (/COMMAND without /PROFILE).
install(FILES ${CMAKE_SOURCE_DIR}/resources/intercept-profile.xml
        DESTINATION ${QZ_AGENT_DIR}/resources)

# History/ and Temp/ of the agent folder are variable data: links into <localstatedir>.
file(MAKE_DIRECTORY ${staged}/links)
foreach(name History Temp)
    file(CREATE_LINK ${QZ_FULL_STATE_DIR}/${name} ${staged}/links/${name} SYMBOLIC)
    install(FILES ${staged}/links/${name} DESTINATION ${QZ_AGENT_DIR})
endforeach()

# The systemd units, pointed at the installed programs and the unit's environment file; a unit
# given an account (the third argument) runs as that account.
set(QZ_SYSTEMD_UNITS qzagentd.service)
function(qz_install_unit source program)
    get_filename_component(unit ${source} NAME)
    file(READ ${source} text)
    if(ARGC GREATER 2)
        string(REPLACE "[Service]\n" "[Service]\nUser=${ARGV2}\nGroup=${ARGV2}\n" text "${text}")
    endif()
    string(REGEX REPLACE "ExecStart=[^ \n]*/${program}" "ExecStart=${QZ_FULL_SBINDIR}/${program}"
                         text "${text}")
    string(REPLACE "EnvironmentFile=-/etc/default/qzagentd"
                   "EnvironmentFile=-${QZ_AGENT_ENVIRONMENT_FILE}" text "${text}")
    file(WRITE ${staged}/${unit} "${text}")
    install(FILES ${staged}/${unit} DESTINATION ${QZ_SYSTEMD_UNIT_DIR})
endfunction()
qz_install_unit(${CMAKE_SOURCE_DIR}/AgentService/qzagentd.service qzagentd)
install(FILES ${packaging}/qzagentd.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
        RENAME qzagentd)

# The build cache service, once it is part of the build.
if(TARGET qzbuildcached)
    install(TARGETS qzbuildcached RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
    set(cache_unit ${CMAKE_SOURCE_DIR}/BuildCacheService/orvane-buildcache.service)
    if(EXISTS ${cache_unit})
        # The service account owns the cache's data (machine-setup), so the service runs as it.
        qz_install_unit(${cache_unit} qzbuildcached orvane)
        list(APPEND QZ_SYSTEMD_UNITS orvane-buildcache.service)
    endif()
endif()
string(REPLACE ";" " " QZ_SYSTEMD_UNITS "${QZ_SYSTEMD_UNITS}")

# machine-setup, and the maintainer scripts made of it.
configure_file(${packaging}/machine-setup.sh ${staged}/machine-setup.functions @ONLY)
file(READ ${staged}/machine-setup.functions setup_functions)
file(WRITE ${staged}/machine-setup "${setup_functions}\nmachine_setup \"$@\"\n")
install(PROGRAMS ${staged}/machine-setup DESTINATION ${QZ_AGENT_DIR})
foreach(script postinst prerm postrm)
    configure_file(${packaging}/${script}.sh ${staged}/${script}.part @ONLY)
    file(READ ${staged}/${script}.part part)
    file(WRITE ${staged}/deb/${script} "${setup_functions}${part}")
endforeach()

# Documentation and manual pages.
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/ARCHITECTURE.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        PATTERN man EXCLUDE)
install(FILES ${packaging}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
set(changelog ${staged}/changelog.Debian.gz)
add_custom_command(
    OUTPUT ${changelog}
    COMMAND sh -c "gzip -9n -c '${packaging}/changelog' > '${changelog}'"
    DEPENDS ${packaging}/changelog
    VERBATIM)
add_custom_target(qz_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
