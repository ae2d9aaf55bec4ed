# qz_library(NAME DIR DEPS... [INCLUDE dir] [MORE_TESTS dir] [TEST_DEPS deps...]): one static
# library per folder. Every .cpp of the folder that is not a test (*Test.cpp) belongs to it; the
# tests of the folder (and of MORE_TESTS) form one GoogleTest binary NAME_tests, linked with
# TEST_DEPS as well. Users include the library's headers from INCLUDE (default: the folder).
# Files are collected with CONFIGURE_DEPENDS globs so that adding a unit is adding its files.
function(qz_library name dir)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "INCLUDE;MORE_TESTS" "TEST_DEPS")
    if(NOT arg_INCLUDE)
        set(arg_INCLUDE ${dir})
    endif()
    file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    file(GLOB tests CONFIGURE_DEPENDS ${dir}/*Test.cpp)
    list(REMOVE_ITEM srcs ${tests})
    if(arg_MORE_TESTS)
        file(GLOB more_tests CONFIGURE_DEPENDS ${arg_MORE_TESTS}/*Test.cpp)
        list(APPEND tests ${more_tests})
    endif()

    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${arg_INCLUDE})
    target_link_libraries(${name} PUBLIC qz_warnings qz_sanitizers ${arg_UNPARSED_ARGUMENTS})
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)

    if(QZ_BUILD_TESTS AND tests)
        add_executable(${name}_tests ${tests})
        target_link_libraries(${name}_tests PRIVATE ${name} ${arg_TEST_DEPS} qz_testsupport
                                                    GTest::gmock GTest::gtest_main)
        gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
    endif()
endfunction()
