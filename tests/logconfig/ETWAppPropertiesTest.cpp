#include "Logging/config/ETWAppProperties.h"
#include "Logging/config/RegKey.h"
#include "Logging/config/ScrambledValue.h"

#include "TestRegistry.h"

#include <gtest/gtest.h>

using ETWLogging::internal::ETWAppProperties;
using LogConfigTest::TestKey;

namespace
{

// {491FB070-54CC-11E0-B8AF-0800200C9A66}
const GUID kDefaultSession = {0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// {E16CA450-55CC-11E0-B8AF-0800200C9A66}
const GUID kDefaultProvider = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// {0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}
const GUID kTestSession = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
const GUID kTestProvider = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};

bool KeyExists(const wchar_t* path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

// A complete profile; the provider GUID as REG_BINARY and the mutex name
// scrambled, so that every accepted form shows up once.
void WriteFullProfile(TestKey& key)
{
    key.Create();
    key.SetString(L"", L"Log Path", L"\\WLCfgTest\\Logs");
    key.SetString(L"", L"ETL Path", L"\\WLCfgTest\\ETW");
    key.SetString(L"Session", L"Session ID Guid", L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
    key.SetString(L"Session", L"Session Name", L"Test.Session");
    key.SetRaw(L"Provider", L"Provider Guid", REG_BINARY, &kTestProvider, sizeof(kTestProvider));
    key.SetString(L"Controller", L"Controller Path", L"C:\\Tools\\ctl.exe");
    key.SetString(L"Controller", L"Owner Mutex Name",
                  Plinth::CScrambledValue::ScrambleString(L"Global\\TestOwner"));
}

std::wstring ProgramData()
{
    ETWAppProperties properties;
    std::wstring folder;
    EXPECT_TRUE(properties.GetProgramDataFolder(folder));
    return folder;
}

} // namespace

TEST(ETWAppProperties, WithoutZepProfileEveryDefaultApplies)
{
    ASSERT_FALSE(KeyExists(L"SOFTWARE\\Korvex.logging\\ZEP"))
        << "this case needs HKLM\\SOFTWARE\\Korvex.logging\\ZEP absent in the test prefix";

    const std::wstring data = ProgramData();
    ASSERT_FALSE(data.empty());
    const DWORD attributes = ::GetFileAttributesW(data.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);

    for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L"", L"zep"})
    {
        ETWAppProperties p;
        ASSERT_TRUE(p.Load(name));
        EXPECT_EQ(name != nullptr && *name ? std::wstring(name) : std::wstring(L"ZEP"), p.ProfileName());
        EXPECT_EQ(data, p.ProgramDataFolder());
        EXPECT_TRUE(IsEqualGUID(kDefaultSession, p.SessionId()));
        EXPECT_EQ(L"Korvex.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}", p.SessionName());
        EXPECT_TRUE(IsEqualGUID(kDefaultProvider, p.ProviderGuid()));
        EXPECT_EQ(L"Global\\Korvex.{0696D115-BE52-46c3-BFEE-D73A305B6581}", p.OwnerMutexName());
        EXPECT_EQ(data + L"\\Korvex\\KVLOGS", p.LogPath());
        EXPECT_EQ(data + L"\\Korvex\\KVLOGS\\ETW", p.EtlFolder());
        EXPECT_EQ(data + L"\\Korvex\\KVLOGS\\ETW\\kvlogs.etl", p.EtlFile());
        EXPECT_EQ(L"", p.ControllerPath());
        EXPECT_EQ(HKEY_LOCAL_MACHINE, p.RegistryRoot());
        EXPECT_EQ(L"SOFTWARE\\Korvex\\Logging", p.ConfigurationKeyPath());
        EXPECT_EQ(L"SOFTWARE\\Korvex\\Logging\\Controller", p.ControllerKeyPath());
        EXPECT_EQ(L"SOFTWARE\\Korvex\\Logging\\Provider", p.ProviderKeyPath());
        EXPECT_EQ(L"SOFTWARE\\Korvex\\Logging", p.SettingsKeyPath());
    }
}

TEST(ETWAppProperties, LoadsOnceAndFailedLoadLeavesItEmpty)
{
    ETWAppProperties p;
    EXPECT_FALSE(p.Load(L"WLCfgTest_NoSuchProfile")) << "defaults exist for ZEP only";
    EXPECT_EQ(L"", p.ProfileName());
    EXPECT_EQ(L"", p.ProviderKeyPath());
    EXPECT_EQ(nullptr, p.RegistryRoot());

    ASSERT_TRUE(p.Load(nullptr)) << "a failed load can be retried";
    EXPECT_FALSE(p.Load(nullptr));
    EXPECT_FALSE(p.Load(L"WLCfgTest_Other"));
    EXPECT_EQ(L"ZEP", p.ProfileName());

    EXPECT_TRUE(p.SetDefaults()) << "ZEP takes the defaults";
}

TEST(ETWAppProperties, FullProfileIsRead)
{
    TestKey key(L"WLCfgTest_Full");
    WriteFullProfile(key);
    const std::wstring data = ProgramData();

    ETWAppProperties p;
    ASSERT_TRUE(p.Load(L"WLCfgTest_Full"));
    EXPECT_EQ(L"WLCfgTest_Full", p.ProfileName());
    EXPECT_TRUE(IsEqualGUID(kTestSession, p.SessionId()));
    EXPECT_EQ(L"Test.Session", p.SessionName());
    EXPECT_TRUE(IsEqualGUID(kTestProvider, p.ProviderGuid()));
    EXPECT_EQ(L"Global\\TestOwner", p.OwnerMutexName());
    EXPECT_EQ(L"C:\\Tools\\ctl.exe", p.ControllerPath());
    EXPECT_EQ(data + L"\\WLCfgTest\\Logs", p.LogPath());
    EXPECT_EQ(data + L"\\WLCfgTest\\ETW", p.EtlFolder());
    EXPECT_EQ(data + L"\\WLCfgTest\\ETW\\kvlogs.etl", p.EtlFile());
    EXPECT_EQ(HKEY_LOCAL_MACHINE, p.RegistryRoot());
    EXPECT_EQ(L"SOFTWARE\\Korvex.logging\\WLCfgTest_Full", p.ConfigurationKeyPath());
    EXPECT_EQ(L"SOFTWARE\\Korvex.logging\\WLCfgTest_Full\\Controller", p.ControllerKeyPath());
    EXPECT_EQ(L"SOFTWARE\\Korvex.logging\\WLCfgTest_Full\\Provider", p.ProviderKeyPath());
    EXPECT_EQ(L"SOFTWARE\\Korvex.logging\\WLCfgTest_Full", p.SettingsKeyPath());

    std::wstring path;
    EXPECT_TRUE(p.GetProfileKeyPath(path, L"Session"));
    EXPECT_EQ(L"SOFTWARE\\Korvex.logging\\WLCfgTest_Full\\Session", path);
    EXPECT_EQ(std::wstring(L"kvlogs.etl"), p.GetEtlFileName());
    EXPECT_EQ(std::wstring(L"SOFTWARE\\Korvex.logging"), p.GetProfileRoot());
    EXPECT_FALSE(p.SetDefaults()) << "no defaults for another profile";
    EXPECT_TRUE(IsEqualGUID(kTestProvider, p.ProviderGuid()));

    // A copy (what the listener holds) carries every field.
    const ETWAppProperties copy(p);
    EXPECT_EQ(p.ProviderKeyPath(), copy.ProviderKeyPath());
    EXPECT_TRUE(IsEqualGUID(kTestProvider, copy.ProviderGuid()));
    EXPECT_EQ(p.EtlFile(), copy.EtlFile());
}

TEST(ETWAppProperties, OptionalFoldersDefaultAndJoinWithOneBackslash)
{
    TestKey key(L"WLCfgTest_Folders");
    WriteFullProfile(key);
    const std::wstring data = ProgramData();

    // Missing "Log Path" and "ETL Path" take the defaults.
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.Path().c_str(), 0, KEY_ALL_ACCESS, &raw));
    ::RegDeleteValueW(raw, L"Log Path");
    ::RegDeleteValueW(raw, L"ETL Path");
    ::RegCloseKey(raw);
    {
        ETWAppProperties p;
        ASSERT_TRUE(p.Load(L"WLCfgTest_Folders"));
        EXPECT_EQ(data + L"\\Korvex\\KVLOGS", p.LogPath());
        EXPECT_EQ(data + L"\\Korvex\\KVLOGS\\ETW\\kvlogs.etl", p.EtlFile());
    }

    // Written without the leading backslash: still one folder below.
    key.SetString(L"", L"Log Path", L"Relative\\Logs");
    key.SetDword(L"", L"ETL Path", 5); // unreadable as a string: the default
    {
        ETWAppProperties p;
        ASSERT_TRUE(p.Load(L"WLCfgTest_Folders"));
        EXPECT_EQ(data + L"\\Relative\\Logs", p.LogPath());
        EXPECT_EQ(data + L"\\Korvex\\KVLOGS\\ETW", p.EtlFolder());
    }
}

TEST(ETWAppProperties, ProfileWithoutASubkeyFails)
{
    for (const wchar_t* subkey : {L"Provider", L"Session", L"Controller"})
    {
        TestKey key(L"WLCfgTest_Subkey");
        WriteFullProfile(key);
        key.Remove(subkey);
        ETWAppProperties p;
        EXPECT_FALSE(p.Load(L"WLCfgTest_Subkey")) << LogConfigTest::Narrow(subkey);
        EXPECT_EQ(L"", p.ProfileName());
    }
}

TEST(ETWAppProperties, ProfileMissingARequiredValueFails)
{
    const struct
    {
        const wchar_t* subkey;
        const wchar_t* name;
    } required[] = {{L"Controller", L"Controller Path"},
                    {L"Controller", L"Owner Mutex Name"},
                    {L"Session", L"Session ID Guid"},
                    {L"Session", L"Session Name"},
                    {L"Provider", L"Provider Guid"}};
    for (const auto& value : required)
    {
        TestKey key(L"WLCfgTest_Required");
        WriteFullProfile(key);
        HKEY raw = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (key.Path() + L"\\" + value.subkey).c_str(), 0,
                                  KEY_ALL_ACCESS, &raw));
        ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteValueW(raw, value.name));
        ::RegCloseKey(raw);
        ETWAppProperties p;
        EXPECT_FALSE(p.Load(L"WLCfgTest_Required")) << LogConfigTest::Narrow(value.name);
    }

    // Present but unreadable counts as missing.
    TestKey key(L"WLCfgTest_Required");
    WriteFullProfile(key);
    key.SetString(L"Provider", L"Provider Guid", L"{E16CA450-55CC-11E0-B8AF}");
    ETWAppProperties p;
    EXPECT_FALSE(p.Load(L"WLCfgTest_Required"));
}

TEST(ETWAppProperties, ProfileKeyPathNeedsAProfile)
{
    ETWAppProperties p;
    std::wstring path = L"x";
    EXPECT_FALSE(p.GetProfileKeyPath(path, nullptr));
    EXPECT_EQ(L"", path);
    ASSERT_TRUE(p.Load(nullptr));
    EXPECT_TRUE(p.GetProfileKeyPath(path, nullptr));
    EXPECT_EQ(L"SOFTWARE\\Korvex.logging\\ZEP", path);
    EXPECT_TRUE(p.GetProfileKeyPath(path, L"Provider"));
    EXPECT_EQ(L"SOFTWARE\\Korvex.logging\\ZEP\\Provider", path);
}
