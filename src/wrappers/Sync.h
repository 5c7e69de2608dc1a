#pragma once

#include <windows.h>

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

// Recursive: the owning thread may lock it again.
class critical_section
{
public:
    critical_section() noexcept
    {
        // Without debug information the section allocates nothing that its
        // deletion would have to give back.
        ::InitializeCriticalSectionEx(&section_, 0, CRITICAL_SECTION_NO_DEBUG_INFO);
    }
    ~critical_section() { ::DeleteCriticalSection(&section_); }
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;

    void lock() noexcept { ::EnterCriticalSection(&section_); }
    bool try_lock() noexcept { return ::TryEnterCriticalSection(&section_) != FALSE; }
    void unlock() noexcept { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
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
