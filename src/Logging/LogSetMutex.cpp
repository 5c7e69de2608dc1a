#include "Logging/LogSetMutex.h"

#include <sddl.h>

#include "Logging/config/SipHash.h"
#include "common/Hex.h"

#include <cstdint>
#include <vector>

namespace ETWLogging
{

namespace
{

// Only spreads folder names over mutex names; nothing secret about it.
constexpr std::uint8_t kNameKey[16] = {'K', 'V', 'L', 'O', 'G', 'S', '.', 'm',
                                       'u', 't', 'e', 'x', '.', 'v', '0', '1'};

// SYSTEM and administrators may do anything; any other signed-in account
// (a host running as a user) may wait for and release it. Without this a
// mutex made by a service would refuse a user's host.
constexpr const wchar_t* kMutexSddl = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;AU)";

} // namespace

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

bool CLogSetMutex::Open(const std::wstring& folder)
{
    mutex_.reset();
    const std::wstring name = NameFor(folder);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexSddl, SDDL_REVISION_1, &descriptor, nullptr);
    Norvan::unique_hlocal descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    // Only the rights a writer needs: an existing mutex opens with them even
    // when its maker could do more.
    mutex_.reset(::CreateMutexExW(descriptor != nullptr ? &attributes : nullptr, name.c_str(), 0,
                                  SYNCHRONIZE | MUTEX_MODIFY_STATE));
    return static_cast<bool>(mutex_);
}

CLogSetHold::CLogSetHold(const CLogSetMutex& mutex, DWORD timeoutMs) noexcept
{
    const HANDLE handle = mutex.Handle();
    if (handle == nullptr)
    {
        return;
    }
    const DWORD wait = ::WaitForSingleObject(handle, timeoutMs);
    // An abandoned mutex is ours: a line goes out in one write call, so its
    // dead owner left at most a rotation without its "LastLogIdx", which the
    // next rotation redoes.
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
    {
        owned_ = handle;
    }
    else
    {
        exclusive_ = false;
    }
}

CLogSetHold::~CLogSetHold()
{
    if (owned_ != nullptr)
    {
        ::ReleaseMutex(owned_);
    }
}

} // namespace ETWLogging
