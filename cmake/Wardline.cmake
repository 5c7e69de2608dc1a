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
