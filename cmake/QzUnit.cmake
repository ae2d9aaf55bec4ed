# qz_library(NAME DIR DEPS...): one static library per folder. Every .cpp of the folder that is
# not a test (*Test.cpp) belongs to it; the tests of the folder form one GoogleTest binary
# NAME_tests. Files are collected with CONFIGURE_DEPENDS globs so that adding a unit is adding
# its files.
function(qz_library name dir)
    file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    file(GLOB tests CONFIGURE_DEPENDS ${dir}/*Test.cpp)
    list(REMOVE_ITEM srcs ${tests})
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${dir})
    target_link_libraries(${name} PUBLIC qz_warnings qz_sanitizers ${ARGN})
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    if(QZ_BUILD_TESTS AND tests)
        add_executable(${name}_tests ${tests})
        target_link_libraries(${name}_tests PRIVATE ${name} qz_testsupport GTest::gmock
                              GTest::gtest_main)
        gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60
                             PROPERTIES TIMEOUT 120)
    endif()
endfunction()
