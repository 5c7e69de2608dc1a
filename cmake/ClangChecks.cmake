# What the clang build (cmake/clang-mingw-w64-x86_64.cmake, make lint) adds
# to the flags of cmake/BuildFlags.cmake: its own -Wall -Wextra, the
# thread-safety analysis of the lock annotations (src/wrappers/
# ThreadAnnotations.h), and every warning an error, so that anything new
# fails the build. The beta part adds the checks of guarded members reached
# through a scoped capability and of lock arguments; no error limit, so one
# run lists everything.
list(APPEND WARDLINE_COMPILE_OPTIONS -Werror -Wthread-safety -Wthread-safety-beta -ferror-limit=0)
