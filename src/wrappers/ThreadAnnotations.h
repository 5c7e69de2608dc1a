#pragma once

// Which lock protects what, said in the declarations and checked by clang's
// thread-safety analysis (-Wthread-safety, the clang build: make lint). Other
// compilers see nothing.
//
// A lock type is a CAPABILITY; a member it protects is GUARDED_BY it; a function
// that must be called with it held REQUIRES it (REQUIRES_SHARED for a shared
// hold), one that takes it itself EXCLUDES it. A scoped guard is a
// SCOPED_CAPABILITY whose constructor ACQUIREs and whose destructor RELEASEs.
// NO_THREAD_SAFETY_ANALYSIS takes a function out of the check: every use
// says why in a comment beside it.

#if defined(__clang__)
#define WARDLINE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define WARDLINE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) WARDLINE_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY WARDLINE_THREAD_ANNOTATION(scoped_lockable)

#define GUARDED_BY(lock) WARDLINE_THREAD_ANNOTATION(guarded_by(lock))

#define REQUIRES(...) WARDLINE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) WARDLINE_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) WARDLINE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

#define ACQUIRE(...) WARDLINE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) WARDLINE_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) WARDLINE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) WARDLINE_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) WARDLINE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) WARDLINE_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))

#define NO_THREAD_SAFETY_ANALYSIS WARDLINE_THREAD_ANNOTATION(no_thread_safety_analysis)
