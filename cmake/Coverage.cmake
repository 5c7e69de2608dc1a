# -DWARDLINE_COVERAGE=ON (scripts/coverage.sh, `make coverage`): the module's
# code is built with GCC's coverage counters. Each instrumented object writes
# its .gcda beside itself when the process or the library that holds it ends.
# Only src/ is instrumented: the report covers nothing else.

option(WARDLINE_COVERAGE "Build the module's code (src/) with GCC's coverage instrumentation" OFF)

if(WARDLINE_COVERAGE)
    target_compile_options(wardline_core PRIVATE --coverage)
    target_compile_options(Wardline PRIVATE --coverage)
    # Whatever links the module's code (the DLL, tests, helpers) links the
    # counters' runtime with it.
    target_link_options(wardline_core INTERFACE --coverage)
endif()
