#pragma once

#include "wrappers/ThreadAnnotations.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <system_error>

namespace Norvan
{

// Locks, a condition variable and a once-only guard on the Win32 primitives.
// The standard ones of our toolchain go through its statically linked thread
// library, which gives every host thread that touches them a thread handle and
// an event that outlive an unload of this library. These keep no per-thread
// state, need no teardown, and fit std::lock_guard, std::unique_lock and
// std::shared_lock. In src/ they are held through the guards below, which
// the thread-safety analysis understands (the standard ones are not
// annotated, so a lock held through them is invisible to it).

// Exclusive or shared, never recursive (a second lock on the same thread
// deadlocks, as with std::mutex and std::shared_mutex).
class CAPABILITY("mutex") srw_mutex
{
public:
    constexpr srw_mutex() noexcept = default;
    srw_mutex(const srw_mutex&) = delete;
    srw_mutex& operator=(const srw_mutex&) = delete;

    void lock() noexcept ACQUIRE() { ::AcquireSRWLockExclusive(&lock_); }
    bool try_lock() noexcept TRY_ACQUIRE(true) { return ::TryAcquireSRWLockExclusive(&lock_) != FALSE; }
    void unlock() noexcept RELEASE() { ::ReleaseSRWLockExclusive(&lock_); }

    void lock_shared() noexcept ACQUIRE_SHARED() { ::AcquireSRWLockShared(&lock_); }
    bool try_lock_shared() noexcept TRY_ACQUIRE_SHARED(true)
    {
        return ::TryAcquireSRWLockShared(&lock_) != FALSE;
    }
    void unlock_shared() noexcept RELEASE_SHARED() { ::ReleaseSRWLockShared(&lock_); }

    PSRWLOCK native_handle() noexcept { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// Recursive: the owning thread may lock it again. Built on an SRW lock
// rather than a critical section: Wine hands a released critical section to
// the thread that waited longest, which must first be scheduled, so with
// more busy threads than cores every thread queues behind one that is not
// running; a released SRW lock goes to whichever thread takes it first.
class CAPABILITY("mutex") recursive_mutex
{
public:
    constexpr recursive_mutex() noexcept = default;
    recursive_mutex(const recursive_mutex&) = delete;
    recursive_mutex& operator=(const recursive_mutex&) = delete;

    void lock() noexcept ACQUIRE()
    {
        if (ownedHere())
        {
            ++depth_;
            return;
        }
        ::AcquireSRWLockExclusive(&lock_);
        take();
    }
    bool try_lock() noexcept TRY_ACQUIRE(true)
    {
        if (ownedHere())
        {
            ++depth_;
            return true;
        }
        if (!::TryAcquireSRWLockExclusive(&lock_))
        {
            return false;
        }
        take();
        return true;
    }
    void unlock() noexcept RELEASE()
    {
        if (--depth_ == 0)
        {
            owner_.store(0, std::memory_order_relaxed);
            ::ReleaseSRWLockExclusive(&lock_);
        }
    }

private:
    // Only the owner stores its own id, and it clears it before it releases
    // the lock: no other thread can read its own id here.
    bool ownedHere() const noexcept
    {
        return owner_.load(std::memory_order_relaxed) == ::GetCurrentThreadId();
    }
    void take() noexcept
    {
        owner_.store(::GetCurrentThreadId(), std::memory_order_relaxed);
        depth_ = 1;
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    std::atomic<DWORD> owner_{0};
    // Read and written by the owner only.
    unsigned depth_ = 0;
};

// Holds a lock exclusively for its scope, as std::lock_guard.
template <typename Mutex> class SCOPED_CAPABILITY lock_guard
{
public:
    explicit lock_guard(Mutex& mutex) noexcept ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~lock_guard() RELEASE() { mutex_.unlock(); }
    lock_guard(const lock_guard&) = delete;
    lock_guard& operator=(const lock_guard&) = delete;

private:
    Mutex& mutex_;
};

// Holds a lock shared for its scope.
template <typename Mutex> class SCOPED_CAPABILITY shared_lock
{
public:
    explicit shared_lock(Mutex& mutex) noexcept ACQUIRE_SHARED(mutex) : mutex_(mutex)
    {
        mutex_.lock_shared();
    }
    ~shared_lock() RELEASE() { mutex_.unlock_shared(); }
    shared_lock(const shared_lock&) = delete;
    shared_lock& operator=(const shared_lock&) = delete;

private:
    Mutex& mutex_;
};

// An exclusive hold that may be given up and taken again within its scope,
// as std::unique_lock; what condition_variable waits with.
template <typename Mutex> class SCOPED_CAPABILITY unique_lock
{
public:
    explicit unique_lock(Mutex& mutex) noexcept ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~unique_lock() RELEASE()
    {
        if (owns_)
        {
            mutex_.unlock();
        }
    }
    unique_lock(const unique_lock&) = delete;
    unique_lock& operator=(const unique_lock&) = delete;

    void lock() noexcept ACQUIRE()
    {
        mutex_.lock();
        owns_ = true;
    }
    void unlock() noexcept RELEASE()
    {
        owns_ = false;
        mutex_.unlock();
    }
    Mutex* mutex() const noexcept { return &mutex_; }

private:
    Mutex& mutex_;
    bool owns_ = true;
};

// Waits with an srw_mutex held exclusively through a unique_lock (ours, or
// the standard one in tests). The predicate runs with the lock held: one that
// reads what the lock guards says so, REQUIRES(the mutex).
class condition_variable
{
public:
    constexpr condition_variable() noexcept = default;
    condition_variable(const condition_variable&) = delete;
    condition_variable& operator=(const condition_variable&) = delete;

    void notify_one() noexcept { ::WakeConditionVariable(&variable_); }
    void notify_all() noexcept { ::WakeAllConditionVariable(&variable_); }

    // Out of the analysis: it cannot carry the caller's hold into the
    // predicate, which states its own requirement.
    template <typename Lock, typename Predicate>
    void wait(Lock& lock, Predicate ready) NO_THREAD_SAFETY_ANALYSIS
    {
        while (!ready())
        {
            ::SleepConditionVariableSRW(&variable_, lock.mutex()->native_handle(), INFINITE, 0);
        }
    }

    // True when `ready` holds, false when the time ran out first. A negative
    // time checks once. Out of the analysis, as wait.
    template <typename Lock, typename Predicate>
    bool wait_for(Lock& lock, std::chrono::milliseconds timeout, Predicate ready) NO_THREAD_SAFETY_ANALYSIS
    {
        const std::int64_t requested = timeout.count();
        const ULONGLONG start = ::GetTickCount64();
        while (!ready())
        {
            const std::int64_t elapsed = static_cast<std::int64_t>(::GetTickCount64() - start);
            if (requested <= 0 || elapsed >= requested)
            {
                return false;
            }
            // INFINITE is the largest DWORD; longer waits go round again.
            const std::int64_t left = requested - elapsed;
            const DWORD slice = left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left);
            ::SleepConditionVariableSRW(&variable_, lock.mutex()->native_handle(), slice, 0);
        }
        return true;
    }

private:
    CONDITION_VARIABLE variable_ = CONDITION_VARIABLE_INIT;
};

// Like std::once_flag with std::call_once: a callable that throws leaves the
// flag unset and its exception goes to the caller; a later call tries again.
class once_flag
{
public:
    constexpr once_flag() noexcept = default;
    once_flag(const once_flag&) = delete;
    once_flag& operator=(const once_flag&) = delete;

private:
    template <typename Callable> friend void call_once(once_flag& flag, Callable&& callable);

    INIT_ONCE once_ = INIT_ONCE_STATIC_INIT;
};

template <typename Callable> void call_once(once_flag& flag, Callable&& callable)
{
    BOOL pending = FALSE;
    if (!::InitOnceBeginInitialize(&flag.once_, 0, &pending, nullptr))
    {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                "InitOnceBeginInitialize");
    }
    if (!pending)
    {
        return;
    }
    try
    {
        callable();
    }
    catch (...)
    {
        ::InitOnceComplete(&flag.once_, INIT_ONCE_INIT_FAILED, nullptr);
        throw;
    }
    ::InitOnceComplete(&flag.once_, 0, nullptr);
}

} // namespace Norvan
