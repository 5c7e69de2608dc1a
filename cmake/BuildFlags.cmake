# The compile and link flags of every binary in the tree, kept in one place.
# A build folder with more checks (another compiler, sanitizers) appends to
# these lists before this file applies them; each flag is said once here.
#
# What a shipped binary must show (scripts/check-pe.sh checks each one):
# stack canaries and bounds-checked string functions from GCC's libssp,
# linked statically, so no libssp-0.dll joins the imports; an image the
# loader may place anywhere, also above 4 GB, with relocations to do so
# and a stack and heap that never execute. And what makes two builds of one
# commit byte-identical (scripts/check-reproducible.sh): no link time and no
# folder of the build in any output.

list(APPEND WARDLINE_COMPILE_OPTIONS
    -Wall -Wextra -Wno-unused-parameter
    -fstack-protector-strong
    # Needs optimisation (-O1 and up): an unoptimised build silently gets the
    # plain functions. The checks call libssp's __chk_fail.
    -D_FORTIFY_SOURCE=2)

# Debug information and __FILE__ name the tree's files relative to the source
# root (src/..., host/...) and the build folder's own files relative to it
# (generated/...), with "." as the compiler's folder. A path reaches the
# compiler in one of two spellings: absolute, or relative to the build folder
# when ccache's base_dir rewrites it (../src/..., generated/...); both end up
# the same. GCC tries the last mapping first, so the build folder's mappings
# come after the source root's (the build folder may lie inside it), and the
# one that ends in "/" after the bare folder, which stands for the compiler's
# folder alone. ccache hashes only what a mapping gives, not the folder it
# names: after changing that, build once with CCACHE_RECACHE=1, or ccache
# hands back objects made under the old mapping.
file(RELATIVE_PATH _source_from_build ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
list(APPEND WARDLINE_COMPILE_OPTIONS -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
if(_source_from_build)
    # "../" for a build folder in the source tree; CMake ends only some in "/".
    string(REGEX REPLACE "([^/])$" "\\1/" _source_from_build "${_source_from_build}")
    list(APPEND WARDLINE_COMPILE_OPTIONS -ffile-prefix-map=${_source_from_build}=)
endif()
list(APPEND WARDLINE_COMPILE_OPTIONS
    -ffile-prefix-map=${CMAKE_BINARY_DIR}=.
    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)

list(APPEND WARDLINE_LINK_OPTIONS
    # Everything we produce is self-contained: the only imports are system DLLs.
    -static -static-libgcc -static-libstdc++
    # Given to the link as well, the driver adds libssp (static, by -static).
    -fstack-protector-strong
    # binutils 2.40 sets all three, and keeps the base relocations of
    # executables, by default for x86-64 Windows targets; said here so that
    # another linker or version cannot drop them unseen.
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--enable-reloc-section
    # TimeDateStamp 0 in the file header and the export directory.
    -Wl,--no-insert-timestamp)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    include(${CMAKE_CURRENT_LIST_DIR}/ClangChecks.cmake)
endif()

foreach(_flag IN LISTS WARDLINE_COMPILE_OPTIONS)
    # windres gets none of them: it reads only preprocessor flags, and the
    # resource compiler's output carries no path or time.
    add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:${_flag}>)
endforeach()
add_link_options(${WARDLINE_LINK_OPTIONS})

# libssp seeds the stack canary in a constructor through CryptAcquireContext,
# which loads a cryptographic provider; in a DLL that happens under the
# loader lock. Every executable and DLL gets src/dll/StackGuard.cpp, whose
# constructor runs first and seeds the canary without loading anything, so
# libssp's finds it set. Linked when every target is defined.
add_library(wardline_stack_guard OBJECT ${CMAKE_SOURCE_DIR}/src/dll/StackGuard.cpp)

# The same walk links the checked build's pieces (cmake/Checked.cmake): the
# guard-page heap into each executable, the reports of failed checks into
# each executable and DLL.
function(_wardline_link_everywhere dir)
    get_property(_targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(_t IN LISTS _targets)
        get_target_property(_type ${_t} TYPE)
        if(_type STREQUAL "EXECUTABLE" OR _type STREQUAL "SHARED_LIBRARY")
            target_link_libraries(${_t} PRIVATE wardline_stack_guard)
            if(WARDLINE_CHECKED)
                target_link_libraries(${_t} PRIVATE wardline_ubreport)
            endif()
        endif()
        if(WARDLINE_CHECKED AND _type STREQUAL "EXECUTABLE")
            wardline_guard_heap(${_t})
        endif()
    endforeach()
    get_property(_subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(_d IN LISTS _subdirs)
        _wardline_link_everywhere(${_d})
    endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _wardline_link_everywhere ${CMAKE_SOURCE_DIR})
