# Helpers shared by every CMakeLists of the tree.

set(WARDLINE_SCRIPTS ${CMAKE_SOURCE_DIR}/scripts)

# wardline_add_test(<name> SOURCES <files...> [LIBS <libs...>])
# One test executable = one ctest entry, run under Wine by the runner script.
function(wardline_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE wardline_test_support ${ARG_LIBS})
    add_test(NAME ${name}
             COMMAND ${WARDLINE_SCRIPTS}/run-wine-test.sh ${CMAKE_BINARY_DIR} $<TARGET_FILE:${name}>
             WORKING_DIRECTORY $<TARGET_FILE_DIR:${name}>)
endfunction()

# wardline_test_timeout(<test> <seconds>)
# A longer limit than ctest's default for a test: ctest's own, and the one at
# which run-wine-test.sh stops the run ten seconds earlier, so that what the
# run printed is shown rather than lost to ctest's kill.
function(wardline_test_timeout test seconds)
    math(EXPR _limit "${seconds} - 10")
    set_tests_properties(${test} PROPERTIES TIMEOUT ${seconds} ENVIRONMENT WARDLINE_TEST_LIMIT=${_limit})
endfunction()

# wardline_copy_beside(<test> <targets...>)
# Copies the targets' files next to the test executable on every build (a
# target of its own: a POST_BUILD step of the test would leave stale
# libraries behind whenever only a library changed).
function(wardline_copy_beside test)
    set(_commands "")
    foreach(_t ${ARGN})
        list(APPEND _commands COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${_t}>
             $<TARGET_FILE_DIR:${test}>)
    endforeach()
    list(JOIN ARGN ", " _names)
    add_custom_target(${test}_libraries ALL ${_commands}
        DEPENDS ${ARGN}
        COMMENT "Copying ${_names} next to ${test}")
    # A library that is signed in place after linking is copied only afterwards.
    foreach(_t ${ARGN})
        if(TARGET ${_t}_signed)
            add_dependencies(${test}_libraries ${_t}_signed)
        endif()
    endforeach()
    add_dependencies(${test} ${test}_libraries)
endfunction()
