#pragma once

#include <windows.h>

#include <string>

#include "wrappers/UniqueResource.h"

namespace ETWLogging
{

// The lock that every writer of one log folder holds while it reads the
// rotation state, rotates and appends, in whatever process it runs (two
// hosts can load the module, and both write the same set).
//
// A named mutex, because nothing else serialises writers across processes
// here: appends through FILE_APPEND_DATA handles are not atomic under Wine
// (two processes appending at once overwrite each other's lines), and
// LockFileEx does not hold off WriteFile there. The mutex is abandoned, not
// lost, when its owner dies, so a crashed host cannot block the others.
class CLogSetMutex
{
public:
    // "Global\Korvex.KVLOGS.<16 hex digits>": a hash of the folder, upper-cased,
    // so that every spelling of one folder names one mutex, in every session
    // (a service and a user's host can share a folder).
    static std::wstring NameFor(const std::wstring& folder);

    // Opens or creates the folder's mutex; false (and no mutex) when the
    // system refuses both.
    bool Open(const std::wstring& folder);
    void Close() noexcept { mutex_.reset(); }
    bool IsOpen() const noexcept { return static_cast<bool>(mutex_); }
    HANDLE Handle() const noexcept { return mutex_.get(); }

private:
    Norvan::unique_handle mutex_;
};

// Holds a log set's mutex for a scope. Without a mutex there is nothing to
// wait for, and the hold counts as exclusive: the process is on its own.
class CLogSetHold
{
public:
    CLogSetHold(const CLogSetMutex& mutex, DWORD timeoutMs) noexcept;
    ~CLogSetHold();
    CLogSetHold(const CLogSetHold&) = delete;
    CLogSetHold& operator=(const CLogSetHold&) = delete;

    // False when the wait timed out or failed: another writer may be busy
    // with the set, so the caller must not rotate.
    bool Exclusive() const noexcept { return exclusive_; }

private:
    HANDLE owned_ = nullptr;
    bool exclusive_ = true;
};

} // namespace ETWLogging
