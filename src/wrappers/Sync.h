#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <system_error>

namespace Norvan
{

// Locks, a condition variable and a once-only guard on the Win32 primitives.
// The standard ones of our toolchain go through its statically linked thread
// library, which gives every host thread that touches them a thread handle and
// an event that outlive an unload of this library. These keep no per-thread
// state, need no teardown, and fit std::lock_guard, std::unique_lock and
// std::shared_lock.

// Exclusive or shared, never recursive (a second lock on the same thread
// deadlocks, as with std::mutex and std::shared_mutex).
class srw_mutex
{
public:
    constexpr srw_mutex() noexcept = default;
    srw_mutex(const srw_mutex&) = delete;
    srw_mutex& operator=(const srw_mutex&) = delete;

    void lock() noexcept { ::AcquireSRWLockExclusive(&lock_); }
    bool try_lock() noexcept { return ::TryAcquireSRWLockExclusive(&lock_) != FALSE; }
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&lock_); }

    void lock_shared() noexcept { ::AcquireSRWLockShared(&lock_); }
    bool try_lock_shared() noexcept { return ::TryAcquireSRWLockShared(&lock_) != FALSE; }
    void unlock_shared() noexcept { ::ReleaseSRWLockShared(&lock_); }

    PSRWLOCK native_handle() noexcept { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// Recursive: the owning thread may lock it again. Built on an SRW lock
// rather than a critical section: Wine hands a released critical section to
// the thread that waited longest, which must first be scheduled, so with
// more busy threads than cores every thread queues behind one that is not
// running; a released SRW lock goes to whichever thread takes it first.
class recursive_mutex
{
public:
    constexpr recursive_mutex() noexcept = default;
    recursive_mutex(const recursive_mutex&) = delete;
    recursive_mutex& operator=(const recursive_mutex&) = delete;

    void lock() noexcept
    {
        if (ownedHere())
        {
            ++depth_;
            return;
        }
        ::AcquireSRWLockExclusive(&lock_);
        take();
    }
    bool try_lock() noexcept
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
    void unlock() noexcept
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

// Waits with an exclusively held srw_mutex.
class condition_variable
{
public:
    constexpr condition_variable() noexcept = default;
    condition_variable(const condition_variable&) = delete;
    condition_variable& operator=(const condition_variable&) = delete;

    void notify_one() noexcept { ::WakeConditionVariable(&variable_); }
    void notify_all() noexcept { ::WakeAllConditionVariable(&variable_); }

    template <typename Predicate> void wait(std::unique_lock<srw_mutex>& lock, Predicate ready)
    {
        while (!ready())
        {
            ::SleepConditionVariableSRW(&variable_, lock.mutex()->native_handle(), INFINITE, 0);
        }
    }

    // True when `ready` holds, false when the time ran out first. A negative
    // time checks once.
    template <typename Predicate>
    bool wait_for(std::unique_lock<srw_mutex>& lock, std::chrono::milliseconds timeout, Predicate ready)
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
