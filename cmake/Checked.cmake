# The checked configuration (-DWARDLINE_CHECKED=ON; make check, scripts/check.sh):
# the same tree compiled with the undefined-behaviour checks and the C++
# library's own assertions, on top of the stack protection and fortified
# string functions every build has, and every executable linked with the
# guard-page heap (tools/guardheap), which also takes over the allocations of
# the libraries they load. Included before cmake/BuildFlags.cmake applies the
# flags.
option(WARDLINE_CHECKED "Build with run-time checks and the guard-page heap" OFF)

# wardline_guard_heap(<target>): links the guard-page heap into an executable.
function(wardline_guard_heap target)
    get_target_property(_linked ${target} WARDLINE_GUARD_HEAP)
    if(NOT _linked)
        target_link_libraries(${target} PRIVATE wardline_guardheap)
        set_target_properties(${target} PROPERTIES WARDLINE_GUARD_HEAP ON)
    endif()
endfunction()

if(WARDLINE_CHECKED)
    # Every undefined-behaviour check that works without the compiler's
    # run-time library, which does not exist for this target (the vptr check
    # is the one that needs it). A failed check stops the process through
    # tools/guardheap/UndefinedBehaviour.cpp, which names the check and the
    # source line; in trap mode all checks of a function share one illegal
    # instruction and cannot be told apart.
    list(APPEND WARDLINE_COMPILE_OPTIONS
        -fsanitize=undefined -fsanitize=float-divide-by-zero -fsanitize=float-cast-overflow
        -fno-sanitize=vptr -fno-sanitize-recover=all
        -D_GLIBCXX_ASSERTIONS)

    # The heap into each executable and the reports of failed checks into
    # each executable and DLL: linked by the walk over all targets in
    # cmake/BuildFlags.cmake, once every target is defined.
endif()
