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
    # tests/runtime counts its own copy of src/dll/ThreadRuntime.cpp.
endif()
