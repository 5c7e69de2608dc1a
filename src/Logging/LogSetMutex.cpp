#include "Logging/LogSetMutex.h"

#include <aclapi.h>
#include <sddl.h>

#include "Logging/config/SipHash.h"
#include "common/Hex.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace ETWLogging
{

namespace
{

// Only spreads folder names over mutex names; nothing secret about it.
constexpr std::uint8_t kNameKey[16] = {'K', 'V', 'L', 'O', 'G', 'S', '.', 'm',
                                       'u', 't', 'e', 'x', '.', 'v', '0', '1'};

// Everyone may list a shared folder and add a folder of their own to it
// (FILE_LIST_DIRECTORY, FILE_ADD_SUBDIRECTORY, FILE_READ_EA, FILE_TRAVERSE,
// FILE_READ_ATTRIBUTES, READ_CONTROL, SYNCHRONIZE), and read its files (the
// global "log.ini"); the creator of each subfolder owns it in full. Nobody
// but SYSTEM and the administrators may delete or rename what another made.
constexpr const wchar_t* kSharedFolderSddl =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200AD;;;AU)(A;OIIO;FR;;;AU)(A;OICIIO;FA;;;CO)";
// %s: the creating account.
constexpr const wchar_t* kSetFolderSddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%s)";
constexpr const wchar_t* kPrivateSddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;%s)";

// The process token's user or default owner, as a SID copy.
std::vector<BYTE> TokenSid(TOKEN_INFORMATION_CLASS which)
{
    std::vector<BYTE> sid;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
    {
        return sid;
    }
    Norvan::unique_handle tokenOwner(token);
    DWORD size = 0;
    ::GetTokenInformation(token, which, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, which, buffer.data(), size, &size))
    {
        return sid;
    }
    // TOKEN_USER and TOKEN_OWNER both start with the SID's pointer.
    const PSID found = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                          : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
    if (found != nullptr && ::IsValidSid(found))
    {
        const BYTE* bytes = static_cast<const BYTE*>(found);
        sid.assign(bytes, bytes + ::GetLengthSid(found));
    }
    return sid;
}

std::wstring SidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text))
    {
        return L"?";
    }
    Norvan::unique_hlocal owner(text);
    return text;
}

std::wstring WithError(const wchar_t* what, DWORD error)
{
    return std::wstring(what) + L" (error " + std::to_wstring(error) + L")";
}

} // namespace

namespace LogSetSecurity
{

bool IsTrustedOwner(PSID owner)
{
    if (owner == nullptr || !::IsValidSid(owner))
    {
        return false;
    }
    if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
    {
        return true;
    }
    for (const TOKEN_INFORMATION_CLASS which : {TokenUser, TokenOwner})
    {
        const std::vector<BYTE> own = TokenSid(which);
        if (!own.empty() && ::EqualSid(owner, const_cast<BYTE*>(own.data())))
        {
            return true;
        }
    }
    return false;
}

Norvan::unique_hlocal DescriptorFor(Made what)
{
    std::wstring sddl = kSharedFolderSddl;
    if (what != Made::SharedFolder)
    {
        std::vector<BYTE> self = TokenSid(TokenUser);
        if (self.empty())
        {
            return Norvan::unique_hlocal();
        }
        const std::wstring selfText = SidText(self.data());
        sddl = what == Made::SetFolder ? kSetFolderSddl : kPrivateSddl;
        sddl.replace(sddl.find(L"%s"), 2, selfText);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                           nullptr);
    return Norvan::unique_hlocal(descriptor);
}

} // namespace LogSetSecurity

std::wstring CLogSetMutex::NameFor(const std::wstring& folder)
{
    std::wstring upper = folder;
    if (!upper.empty())
    {
        ::CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(upper.size() * 2);
    for (wchar_t c : upper)
    {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    std::uint64_t hash = Plinth::details::SipHash64(kNameKey, bytes.data(), bytes.size());
    std::wstring name = L"Global\\Korvex.KVLOGS.";
    for (int shift = 60; shift >= 0; shift -= 4)
    {
        name += Plinth::HexDigitChar(static_cast<unsigned>(hash >> shift));
    }
    return name;
}

void CLogSetMutex::Open(const std::wstring& folder)
{
    Close();
    name_ = NameFor(folder);
    lockFile_ = folder + L"\\" + kLockFileName;
    descriptor_ = LogSetSecurity::DescriptorFor(LogSetSecurity::Made::Private);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor_.get(), FALSE};
    // Only the rights a writer needs, and READ_CONTROL to see who made it.
    ::SetLastError(ERROR_SUCCESS);
    Norvan::unique_handle mutex(::CreateMutexExW(descriptor_ ? &attributes : nullptr, name_.c_str(), 0,
                                                 SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL));
    const DWORD error = ::GetLastError();
    if (!mutex)
    {
        problem_ = error == ERROR_INVALID_HANDLE ? L"another kind of object has its name"
                                                 : WithError(L"it cannot be opened", error);
        return;
    }
    if (error == ERROR_ALREADY_EXISTS)
    {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR found = nullptr;
        const DWORD read = ::GetSecurityInfo(mutex.get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                             &owner, nullptr, nullptr, nullptr, &found);
        Norvan::unique_hlocal foundOwner(found);
        if (read != ERROR_SUCCESS)
        {
            problem_ = WithError(L"its owner cannot be read", read);
            return;
        }
        if (!LogSetSecurity::IsTrustedOwner(owner))
        {
            problem_ = L"it was made by " + SidText(owner);
            return;
        }
    }
    mutex_ = std::move(mutex);
}

void CLogSetMutex::Close() noexcept
{
    Release();
    mutex_.reset();
    name_.clear();
    lockFile_.clear();
    problem_.clear();
    descriptor_.reset();
    stalled_ = false;
}

bool CLogSetMutex::Acquire(Wait wait) noexcept
{
    if (held_)
    {
        return true;
    }
    const DWORD timeout = wait == Wait::Bounded && !stalled_ ? kWaitMs : 0;
    bool timedOut = false;
    if (mutex_)
    {
        const DWORD result = ::WaitForSingleObject(mutex_.get(), timeout);
        // An abandoned mutex is ours: a line goes out in one write call, so
        // its dead owner left at most a rotation without its "LastLogIdx",
        // which the next rotation redoes.
        held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        timedOut = result == WAIT_TIMEOUT;
    }
    else if (!lockFile_.empty())
    {
        held_ = TakeLockFile(timeout, timedOut);
    }
    if (held_)
    {
        stalled_ = false;
    }
    else if (timedOut && timeout != 0)
    {
        stalled_ = true;
    }
    return held_;
}

void CLogSetMutex::Release() noexcept
{
    if (!held_)
    {
        return;
    }
    held_ = false;
    if (lockHandle_)
    {
        lockHandle_.reset();
    }
    else if (mutex_)
    {
        ::ReleaseMutex(mutex_.get());
    }
}

bool CLogSetMutex::TakeLockFile(DWORD timeoutMs, bool& timedOut) noexcept
{
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor_.get(), FALSE};
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;)
    {
        // Nothing is ever written to it, and a link in its place is opened
        // as the link: read access without sharing is all the lock is.
        lockHandle_.reset(::CreateFileW(lockFile_.c_str(), GENERIC_READ, 0,
                                        descriptor_ ? &attributes : nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (lockHandle_)
        {
            return true;
        }
        if (::GetLastError() != ERROR_SHARING_VIOLATION)
        {
            return false;
        }
        if (::GetTickCount64() >= end)
        {
            timedOut = true;
            return false;
        }
        ::Sleep(1);
    }
}

CLogSetHold::CLogSetHold(CLogSetMutex& set, CLogSetMutex::Wait wait) noexcept
    : set_(set), held_(set.Acquire(wait))
{
}

CLogSetHold::~CLogSetHold()
{
    if (held_)
    {
        set_.Release();
    }
}

} // namespace ETWLogging
