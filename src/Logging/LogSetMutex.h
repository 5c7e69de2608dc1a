#pragma once

#include <windows.h>

#include <string>

#include "wrappers/UniqueResource.h"

namespace ETWLogging
{

// Who may touch a log set. A service and a signed-in user's host can both
// load the module, and any signed-in user can create folders, links and
// named objects where the writer looks: a set belongs to the account that
// made it, and to SYSTEM and the administrators, and to nobody else.
namespace LogSetSecurity
{

// SYSTEM, the administrators, or the account (or default owner) of this
// process: whoever else owns a folder or mutex of a set could swap it.
// Throws std::bad_alloc.
bool IsTrustedOwner(PSID owner);

enum class Made
{
    // Korvex, KVLOGS and the application folder: everyone may create a
    // folder of their own in them and read what is there, nobody may remove
    // or replace what another made; its creator has it in full.
    SharedFolder,
    // The set's own folder and whatever it holds: SYSTEM, the administrators
    // and the creating account only. Not even reading for others: a file
    // another account can open may be held open without sharing.
    SetFolder,
    // The mutex and the lock file: the same three, nothing inherited.
    Private,
};

// A descriptor with a protected DACL for what the writer makes; null when
// none could be built (the object then gets the default).
Norvan::unique_hlocal DescriptorFor(Made what);

} // namespace LogSetSecurity

// The lock that every writer of one log folder holds while it reads the
// rotation state, rotates and appends, in whatever process it runs.
//
// A named mutex, because nothing else serialises writers across processes
// here: appends through FILE_APPEND_DATA handles are not atomic under Wine
// (two processes appending at once overwrite each other's lines), and
// LockFileEx does not hold off WriteFile there. Only SYSTEM, the
// administrators and the creating account may open it: anyone who can wait
// for a mutex can take it and never give it back. The mutex is abandoned,
// not lost, when its owner dies.
//
// A name that someone else took first (another kind of object, a mutex this
// process may not wait for, or one made by another account) cannot serve.
// The set is then serialised through "log.lock" in its folder, a file that
// each writer opens without sharing for as long as it holds the set, made
// with the same three accounts only.
//
// Not thread-safe: the writer uses it under its own lock.
class CLogSetMutex
{
public:
    static constexpr DWORD kWaitMs = 7000;
    static constexpr const wchar_t* kLockFileName = L"log.lock";

    // "Global\Korvex.KVLOGS.<16 hex digits>": a hash of the folder, upper-cased,
    // so that every spelling of one folder names one mutex, in every session.
    static std::wstring NameFor(const std::wstring& folder);

    // Opens or creates the folder's mutex; never waits.
    void Open(const std::wstring& folder);
    void Close() noexcept;

    // Why the mutex cannot serve and the lock file serves instead; empty
    // while the mutex serves (or before Open).
    const std::wstring& Problem() const noexcept { return problem_; }
    const std::wstring& Name() const noexcept { return name_; }
    const std::wstring& LockFile() const noexcept { return lockFile_; }

    enum class Wait
    {
        // Up to kWaitMs, unless the last such wait timed out and the set has
        // not been seen free since: then only a look.
        Bounded,
        // Only a look (the library's entry point).
        None,
    };
    // True when this process now holds the set.
    bool Acquire(Wait wait) noexcept;
    void Release() noexcept;

private:
    bool TakeLockFile(DWORD timeoutMs, bool& timedOut) noexcept;

    std::wstring name_;
    std::wstring lockFile_;
    std::wstring problem_;
    // For the mutex and the lock file.
    Norvan::unique_hlocal descriptor_;
    Norvan::unique_handle mutex_;
    Norvan::unique_hfile lockHandle_;
    bool held_ = false;
    // A wait timed out: someone holds the set far longer than a write takes.
    bool stalled_ = false;
};

// Holds a log set for a scope, if it can be had.
class CLogSetHold
{
public:
    CLogSetHold(CLogSetMutex& set, CLogSetMutex::Wait wait) noexcept;
    ~CLogSetHold();
    CLogSetHold(const CLogSetHold&) = delete;
    CLogSetHold& operator=(const CLogSetHold&) = delete;

    // False when the set could not be had: another writer may be busy with
    // it, so the caller must neither rotate nor create a file.
    bool Exclusive() const noexcept { return held_; }

private:
    CLogSetMutex& set_;
    bool held_;
};

} // namespace ETWLogging
