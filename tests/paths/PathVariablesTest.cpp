#include "paths/PathHelpers.h"

#include "PathFakes.h"
#include "support/ScratchFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <knownfolders.h>
#include <shlobj.h>

using Norvan::PathHelpers;
using PathsTest::FakeOSVersionAPI;
using PathsTest::MockRegistryAPI;
using PathsTest::MockShlObjAPI;
using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgReferee;

namespace
{

std::wstring expanded(PathHelpers& helpers, std::wstring text)
{
    EXPECT_TRUE(helpers.expandVariables(text));
    return text;
}

std::wstring expanded(std::wstring text)
{
    PathHelpers helpers;
    return expanded(helpers, std::move(text));
}

std::wstring knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    const HRESULT result = ::SHGetKnownFolderPath(id, 0, nullptr, &path);
    std::wstring text = SUCCEEDED(result) && path ? path : L"";
    ::CoTaskMemFree(path);
    return text;
}

} // namespace

TEST(PathVariables, AppTokensNameTheRunningExecutable)
{
    wchar_t path[MAX_PATH] = {};
    const std::wstring full(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
    const std::size_t slash = full.find_last_of(L'\\');
    const std::wstring binary = full.substr(slash + 1);

    EXPECT_EQ(full.substr(0, slash + 1), expanded(L"$(App.Folder)"));
    EXPECT_EQ(binary, expanded(L"$(App.Binary)"));
    EXPECT_EQ(binary.substr(0, binary.rfind(L'.')), expanded(L"$(App.Name)"));
    EXPECT_EQ(full, expanded(L"$(App.Path)"));
    EXPECT_EQ(L"paths_tests", expanded(L"$(App.Name)"));
}

TEST(PathVariables, TokensThatAreNotVariablesStayAsText)
{
    const std::wstring name = expanded(L"$(App.Name)");
    EXPECT_EQ(L"$(Other.Var)\\x", expanded(L"$(Other.Var)\\x"));
    EXPECT_EQ(L"$(app.folder)", expanded(L"$(app.folder)"));
    EXPECT_EQ(L"$(" + name + L")", expanded(L"$($(App.Name))"));
    EXPECT_EQ(expanded(L"$(App.Folder)") + name, expanded(L"$(App.Folder)$(App.Name)"));
    EXPECT_EQ(L"a$()b$(App.Name", expanded(L"a$()b$(App.Name"));
    EXPECT_EQ(L"x$" + name + L"$", expanded(L"x$$(App.Name)$"));
    EXPECT_EQ(L"", expanded(L""));
}

TEST(PathVariables, LongTextExpandsWithoutLimit)
{
    const std::wstring name = expanded(L"$(App.Name)");
    const std::wstring filler(100000, L'a');
    // An unclosed "$(" followed by a long run must not be a problem either.
    EXPECT_EQ(L"$(" + filler + L"\\" + name, expanded(L"$(" + filler + L"\\$(App.Name)"));
    const std::wstring folder(300, L'f');
    EXPECT_EQ(L"C:\\" + folder + L"\\" + name, expanded(L"C:\\" + folder + L"\\$(App.Name)"));
}

TEST(PathVariables, InstallFolderComesFromTheRegistry)
{
    WardlineTest::HubframeInstallKey key;
    PathHelpers helpers;
    EXPECT_EQ(L"$(Hubframe.InstallDir)\\Courier.dll",
              expanded(helpers, L"$(Hubframe.InstallDir)\\Courier.dll"));

    ASSERT_TRUE(key.set(L"Install Dir", L"C:\\Korvex\\Hubframe"));
    ASSERT_TRUE(key.set(L"Install Dir32", L"C:\\Korvex\\Hubframe32"));
    EXPECT_EQ(L"C:\\Korvex\\Hubframe\\Courier.dll",
              expanded(helpers, L"$(Hubframe.InstallDir)\\Courier.dll"));

    auto wow64 = std::make_shared<FakeOSVersionAPI>();
    wow64->wow64 = true;
    PathHelpers under32(nullptr, PathsTest::osInfoOf(wow64));
    EXPECT_EQ(L"C:\\Korvex\\Hubframe32", expanded(under32, L"$(Hubframe.InstallDir)"));

    // A value that names another variable is taken as it stands.
    ASSERT_TRUE(key.set(L"Install Dir", L"C:\\$(App.Name)"));
    EXPECT_EQ(L"C:\\$(App.Name)\\x", expanded(helpers, L"$(Hubframe.InstallDir)\\x"));

    // An empty value, like a missing one, leaves the token.
    ASSERT_TRUE(key.set(L"Install Dir", L""));
    EXPECT_EQ(L"$(Hubframe.InstallDir)", expanded(helpers, L"$(Hubframe.InstallDir)"));
}

TEST(PathVariables, RegistryStringsLongerThanTheFolderBufferAreRefused)
{
    WardlineTest::HubframeInstallKey key;
    Norvan::RegistryAPI registry;
    std::wstring value = L"unchanged";
    const std::wstring longest(Norvan::RegistryAPI::kMaxStringLength, L'd');

    ASSERT_TRUE(key.set(L"Install Dir", longest));
    EXPECT_EQ(0u, registry.getString(WardlineTest::HubframeInstallKey::kPath, L"Install Dir", value));
    EXPECT_EQ(longest, value);

    ASSERT_TRUE(key.set(L"Install Dir", longest + L"d"));
    value = L"unchanged";
    EXPECT_EQ(Norvan::MODULE_STATUS_UNSUCCESSFUL,
              registry.getString(WardlineTest::HubframeInstallKey::kPath, L"Install Dir", value));
    EXPECT_EQ(L"unchanged", value);
    EXPECT_EQ(L"$(Hubframe.InstallDir)", expanded(L"$(Hubframe.InstallDir)"));

    EXPECT_EQ(Norvan::MODULE_STATUS_UNSUCCESSFUL,
              registry.getString(WardlineTest::HubframeInstallKey::kPath, L"Missing", value));
    DWORD number = 7;
    EXPECT_EQ(Norvan::MODULE_STATUS_UNSUCCESSFUL,
              registry.getDword(WardlineTest::HubframeInstallKey::kPath, L"Install Dir", number));
    EXPECT_EQ(7u, number);
    const DWORD stored = 42;
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, WardlineTest::HubframeInstallKey::kPath,
                                               L"Install Dir32", REG_DWORD, &stored, sizeof(stored)));
    EXPECT_EQ(0u, registry.getDword(WardlineTest::HubframeInstallKey::kPath, L"Install Dir32", number));
    EXPECT_EQ(42u, number);
}

TEST(PathVariables, KnownFolderTokensNameTheirFolders)
{
    const struct
    {
        const wchar_t* token;
        const KNOWNFOLDERID& id;
    } folders[] = {
        {L"$(FOLDERID_Profile)", FOLDERID_Profile},
        {L"$(FOLDERID_Desktop)", FOLDERID_Desktop},
        {L"$(FOLDERID_Documents)", FOLDERID_Documents},
        {L"$(FOLDERID_LocalAppDataLow)", FOLDERID_LocalAppDataLow},
        {L"$(FOLDERID_LocalAppData)", FOLDERID_LocalAppData},
        {L"$(FOLDERID_RoamingAppData)", FOLDERID_RoamingAppData},
        {L"$(FOLDERID_ProgramData)", FOLDERID_ProgramData},
        {L"$(FOLDERID_ProgramFiles)", FOLDERID_ProgramFiles},
        {L"$(FOLDERID_ProgramFilesX64)", FOLDERID_ProgramFilesX64},
        {L"$(FOLDERID_ProgramFilesX86)", FOLDERID_ProgramFilesX86},
        {L"$(FOLDERID_ProgramFilesCommon)", FOLDERID_ProgramFilesCommon},
        {L"$(FOLDERID_ProgramFilesCommonX64)", FOLDERID_ProgramFilesCommonX64},
        {L"$(FOLDERID_ProgramFilesCommonX86)", FOLDERID_ProgramFilesCommonX86},
    };
    PathHelpers helpers;
    for (const auto& folder : folders)
    {
        const std::wstring path = knownFolder(folder.id);
        EXPECT_EQ(path.empty() ? folder.token : path, expanded(helpers, folder.token)) << folder.token;
    }
    EXPECT_EQ(L"C:\\ProgramData\\Korvex", expanded(helpers, L"$(FOLDERID_ProgramData)\\Korvex"));
}

TEST(PathVariables, FailedKnownFolderKeepsTheToken)
{
    auto shell = std::make_shared<MockShlObjAPI>();
    PWSTR handedOut = static_cast<PWSTR>(::CoTaskMemAlloc(16));
    wcscpy_s(handedOut, 8, L"C:\\bad");
    EXPECT_CALL(*shell, getKnownFolderPath(_, 0u, nullptr, _))
        .WillOnce(DoAll(::testing::SetArgPointee<3>(handedOut), Return(E_FAIL)));
    PathHelpers helpers(shell);
    EXPECT_EQ(L"$(FOLDERID_ProgramData)\\x", expanded(helpers, L"$(FOLDERID_ProgramData)\\x"));
}

TEST(PathVariables, PlatformFollowsTheSystemVersion)
{
    const struct
    {
        const wchar_t* version;
        bool readable;
        DWORD platform;
        const wchar_t* expected;
    } cases[] = {
        {L"10.0.19041.1", true, VER_PLATFORM_WIN32_NT, L"x64"},
        {L"5.1.2600", true, VER_PLATFORM_WIN32_NT, L"x64"},
        {L"6.0", true, VER_PLATFORM_WIN32_NT, L"x64"},
        {L"5.0.2195", true, VER_PLATFORM_WIN32_NT, L"win32"},
        {L"4.90.3000", true, VER_PLATFORM_WIN32_WINDOWS, L"win32"},
        {L"", false, VER_PLATFORM_WIN32_NT, L"PlatformUnknown"},
        {L"ten.0", true, VER_PLATFORM_WIN32_NT, L"PlatformUnknown"},
        {L"10", true, VER_PLATFORM_WIN32_NT, L"PlatformUnknown"},
    };
    for (const auto& c : cases)
    {
        auto api = std::make_shared<FakeOSVersionAPI>();
        api->version = c.version;
        api->readable = c.readable;
        api->platform = c.platform;
        PathHelpers helpers(nullptr, PathsTest::osInfoOf(api));
        EXPECT_EQ(c.expected, expanded(helpers, L"$(OS.Platform)")) << c.version;
    }
    // A platform code the table does not name has no value: the token stays.
    struct OtherPlatform : Plinth::OSInfo
    {
        Plinth::internal::PlatformCode GetPlatform() override
        {
            return static_cast<Plinth::internal::PlatformCode>(3);
        }
    };
    PathHelpers other(nullptr, std::make_shared<OtherPlatform>());
    EXPECT_EQ(L"$(OS.Platform)\\x", expanded(other, L"$(OS.Platform)\\x"));
    // This machine: a 64-bit NT system.
    EXPECT_EQ(L"x64", expanded(L"$(OS.Platform)"));
    EXPECT_FALSE(Plinth::OSInfo().IsWow64());
}
