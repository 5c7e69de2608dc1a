# The checked configuration (-DWARDLINE_CHECKED=ON, scripts/check.sh): the
# same tree compiled with undefined-behaviour checks that trap, the C++
# library's own assertions, stack protection and fortified string functions,
# and every executable linked with the guard-page heap (tools/guardheap),
# which also takes over the allocations of the libraries they load.
option(WARDLINE_CHECKED "Build with run-time checks and the guard-page heap" OFF)

# wardline_guard_heap(<target>): links the guard-page heap into an executable.
function(wardline_guard_heap target)
    get_target_property(_linked ${target} WARDLINE_GUARD_HEAP)
    if(NOT _linked)
        target_sources(${target} PRIVATE $<TARGET_OBJECTS:wardline_guardheap>)
        set_target_properties(${target} PROPERTIES WARDLINE_GUARD_HEAP ON)
    endif()
endfunction()

if(WARDLINE_CHECKED)
    # Every undefined-behaviour check that works without the compiler's
    # run-time library (none exists for this target): the vptr check is the
    # one that needs it. A failed check stops the process through
    # tools/guardheap/UndefinedBehaviour.cpp, which names the check and the
    # source line (in trap mode a function's checks share one illegal
    # instruction and cannot be told apart).
    add_compile_options(-fsanitize=undefined -fsanitize=float-divide-by-zero -fsanitize=float-cast-overflow
                        -fno-sanitize=vptr -fno-sanitize-recover=all
                        -D_GLIBCXX_ASSERTIONS -fstack-protector-strong -D_FORTIFY_SOURCE=2)
    # libssp (stack protector and fortified functions), linked statically
    # (-static): it goes last, after the objects that need it.
    string(APPEND CMAKE_CXX_STANDARD_LIBRARIES " -lssp")
    string(APPEND CMAKE_C_STANDARD_LIBRARIES " -lssp")
    macro(add_executable name)
        _add_executable(${name} ${ARGN})
        if(NOT "${ARGV1}" STREQUAL "IMPORTED" AND NOT "${ARGV1}" STREQUAL "ALIAS")
            wardline_guard_heap(${name})
            target_sources(${name} PRIVATE $<TARGET_OBJECTS:wardline_ubreport>)
        endif()
    endmacro()
    # Libraries that are linked (DLLs) carry the reports too; static ones get
    # them from what links them.
    macro(add_library name)
        _add_library(${name} ${ARGN})
        if("${ARGV1}" STREQUAL "SHARED" OR "${ARGV1}" STREQUAL "MODULE")
            target_sources(${name} PRIVATE $<TARGET_OBJECTS:wardline_ubreport>)
        endif()
    endmacro()
endif()
