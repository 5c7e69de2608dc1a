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
    # Trap mode: a failed check is an illegal instruction, no run-time
    # library needed (none exists for this target).
    add_compile_options(-fsanitize=undefined -fsanitize=float-divide-by-zero -fsanitize=float-cast-overflow
                        -fsanitize-undefined-trap-on-error -fno-sanitize-recover=all
                        -D_GLIBCXX_ASSERTIONS -fstack-protector-strong -D_FORTIFY_SOURCE=2)
    macro(add_executable name)
        _add_executable(${name} ${ARGN})
        if(NOT "${ARGV1}" STREQUAL "IMPORTED" AND NOT "${ARGV1}" STREQUAL "ALIAS")
            wardline_guard_heap(${name})
        endif()
    endmacro()
endif()
