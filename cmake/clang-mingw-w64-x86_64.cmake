# Second compiler, same target: Debian's clang 14 for x86_64-w64-mingw32, on
# the cross GCC's C++ library (posix thread model) and the same binutils, so
# the code it builds is the code the GCC build ships, read by a compiler with
# other warnings and the thread-safety analysis (cmake/ClangChecks.cmake).
#
# clang does not find the cross GCC's files by itself: it takes the version
# folders "12-posix" and "12-win32" for no version at all, and without a
# sysroot puts the host's /usr/include (glibc) on the include path. So the
# sysroot is the MinGW one, the C++ headers are named, and the link searches
# the posix folder first (its libstdc++, crtbegin.o and libssp).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(_sysroot /usr/${_triple})
set(_gcc_lib /usr/lib/gcc/${_triple}/12-posix)

set(CMAKE_C_COMPILER   clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET   ${_triple})
set(CMAKE_CXX_COMPILER_TARGET ${_triple})
set(CMAKE_RC_COMPILER  ${_triple}-windres)
set(CMAKE_AR           /usr/bin/${_triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       /usr/bin/${_triple}-ranlib CACHE FILEPATH "")

set(CMAKE_C_FLAGS_INIT "--sysroot=${_sysroot}")
set(CMAKE_CXX_FLAGS_INIT "--sysroot=${_sysroot}")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${_gcc_lib}/include/c++ ${_gcc_lib}/include/c++/${_triple} ${_gcc_lib}/include/c++/backward)
# -pthread adds winpthread, which GCC's posix driver always links and the C++
# library needs.
foreach(_kind EXE SHARED MODULE)
    set(CMAKE_${_kind}_LINKER_FLAGS_INIT "--sysroot=${_sysroot} -B${_gcc_lib} -L${_gcc_lib} -pthread")
endforeach()

set(CMAKE_FIND_ROOT_PATH ${_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
