#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace Plinth
{

// The operating system's own answers, behind an object so that tests can
// replace them.
class WinOSVersionAPI
{
public:
    virtual ~WinOSVersionAPI() = default;

    // The "ProductVersion" text of the system library kernel32.dll; false
    // when it cannot be read.
    virtual bool GetSystemLibraryVersion(std::wstring& version);
    // VerifyVersionInfoW: the platform identifier equals `platformId`.
    virtual bool IsPlatform(DWORD platformId);
    // IsWow64Process for this process, looked up in the loaded kernel32 at
    // run time; false when it cannot be called.
    virtual bool IsWow64Process(bool& wow64);
};

namespace internal
{

// What the path variables need to know about the platform.
enum PlatformCode : DWORD
{
    PlatformWin32 = 0,   // the 9x family and NT up to 5.0
    PlatformX64 = 1,     // NT 5.1 and later
    PlatformUnknown = 2, // the version cannot be read
};

template <typename API> class OSInfoProxy
{
public:
    explicit OSInfoProxy(std::shared_ptr<API> api = nullptr)
        : api_(api ? std::move(api) : std::make_shared<API>())
    {
    }
    virtual ~OSInfoProxy() = default;

    // Major and minor version from the system library's product version;
    // false when it cannot be read.
    virtual bool GetVersion(DWORD& major, DWORD& minor)
    {
        std::wstring text;
        return api_->GetSystemLibraryVersion(text) && ParseVersion(text, major, minor);
    }

    virtual PlatformCode GetPlatform()
    {
        DWORD major = 0;
        DWORD minor = 0;
        if (!GetVersion(major, minor))
        {
            return PlatformUnknown;
        }
        if (api_->IsPlatform(VER_PLATFORM_WIN32_WINDOWS))
        {
            return PlatformWin32;
        }
        return major > 5 || (major == 5 && minor >= 1) ? PlatformX64 : PlatformWin32;
    }

    virtual bool IsWow64()
    {
        bool wow64 = false;
        return api_->IsWow64Process(wow64) && wow64;
    }

    // "major.minor[.anything]": the first two dot-separated decimal numbers.
    static bool ParseVersion(const std::wstring& text, DWORD& major, DWORD& minor)
    {
        std::size_t at = 0;
        DWORD parts[2] = {};
        for (int part = 0; part < 2; ++part)
        {
            if (part == 1)
            {
                if (at >= text.size() || text[at] != L'.')
                {
                    return false;
                }
                ++at;
            }
            const std::size_t start = at;
            unsigned long long value = 0;
            while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && at - start < 9)
            {
                value = value * 10 + static_cast<unsigned>(text[at] - L'0');
                ++at;
            }
            if (at == start || (at < text.size() && text[at] >= L'0' && text[at] <= L'9'))
            {
                return false;
            }
            parts[part] = static_cast<DWORD>(value);
        }
        major = parts[0];
        minor = parts[1];
        return true;
    }

private:
    std::shared_ptr<API> api_;
};

// Compiled once, in the library, rather than in every user.
extern template class OSInfoProxy<WinOSVersionAPI>;

} // namespace internal

using OSInfo = internal::OSInfoProxy<WinOSVersionAPI>;

} // namespace Plinth
