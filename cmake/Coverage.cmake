# -DWARDLINE_COVERAGE=ON (scripts/coverage.sh, `make coverage`): the module's
# code is built with GCC's coverage counters. Each instrumented object writes
# its .gcda beside itself when the process or the library that holds it ends.
# Only src/ is instrumented: the report covers nothing else.

option(WARDLINE_COVERAGE "Build the module's code (src/) with GCC's coverage instrumentation" OFF)

if(WARDLINE_COVERAGE)
    # Atomic counters: many threads run the same code at once (bus workers,
    # stress loads), and counters updated without it come out inconsistent,
    # down to branches that gcov reports as taken a negative number of times.
    target_compile_options(wardline_core PRIVATE --coverage -fprofile-update=atomic)
    target_compile_options(Wardline PRIVATE --coverage -fprofile-update=atomic)
    # Whatever links the module's code (the DLL, tests, helpers) links the
    # counters' runtime with it.
    target_link_options(wardline_core INTERFACE --coverage)
    # The thread runtime's hard cases (throwing statics, use after unload,
    # process exit) run in the probe library of tests/runtime, which carries
    # its own copy of src/dll/ThreadRuntime.cpp; its counters join the DLL's.
    # (Defined later, so applied once all targets exist.)
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _wardline_cover_probe)
    function(_wardline_cover_probe)
        if(TARGET runtime_probe)
            target_compile_options(runtime_probe PRIVATE --coverage -fprofile-update=atomic)
            target_link_options(runtime_probe PRIVATE --coverage)
        endif()
    endfunction()
endif()
