#pragma once

#include <windows.h>

namespace Norvan
{

// Scoped holds on a slim reader/writer lock: released on every way out of
// the scope, exceptions included.
class srw_exclusive_guard
{
public:
    explicit srw_exclusive_guard(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ~srw_exclusive_guard() { ::ReleaseSRWLockExclusive(&lock_); }
    srw_exclusive_guard(const srw_exclusive_guard&) = delete;
    srw_exclusive_guard& operator=(const srw_exclusive_guard&) = delete;

private:
    SRWLOCK& lock_;
};

class srw_shared_guard
{
public:
    explicit srw_shared_guard(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockShared(&lock_); }
    ~srw_shared_guard() { ::ReleaseSRWLockShared(&lock_); }
    srw_shared_guard(const srw_shared_guard&) = delete;
    srw_shared_guard& operator=(const srw_shared_guard&) = delete;

private:
    SRWLOCK& lock_;
};

} // namespace Norvan
