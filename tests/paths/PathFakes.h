#pragma once

#include "wrappers/OSInfo.h"
#include "wrappers/RegistryAPI.h"
#include "wrappers/ShlObjAPI.h"

#include <gmock/gmock.h>

namespace PathsTest
{

class MockShlObjAPI : public Norvan::ShlObjAPI
{
public:
    MOCK_METHOD(HRESULT, getKnownFolderPath, (REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*), (override));
};

class MockRegistryAPI : public Norvan::RegistryAPI
{
public:
    MOCK_METHOD(Norvan::ModuleStatus, getString, (const std::wstring&, const std::wstring&, std::wstring&),
                (override));
    MOCK_METHOD(Norvan::ModuleStatus, getDword, (const std::wstring&, const std::wstring&, DWORD&),
                (override));
};

// The OS information with the system's answers replaced.
class FakeOSVersionAPI : public Plinth::WinOSVersionAPI
{
public:
    bool GetSystemLibraryVersion(std::wstring& text) override
    {
        text = version;
        return readable;
    }
    bool IsPlatform(DWORD platformId) override { return platformId == platform; }
    bool IsWow64Process(bool& wow64) override
    {
        wow64 = this->wow64;
        return callable;
    }

    std::wstring version = L"10.0.19041.1";
    bool readable = true;
    DWORD platform = VER_PLATFORM_WIN32_NT;
    bool wow64 = false;
    bool callable = true;
};

inline std::shared_ptr<Plinth::OSInfo> osInfoOf(std::shared_ptr<FakeOSVersionAPI> api)
{
    return std::make_shared<Plinth::OSInfo>(std::move(api));
}

} // namespace PathsTest
