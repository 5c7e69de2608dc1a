#include "dll/DllLoader.h"

#include "LoaderTestSupport.h"
#include "support/LogCapture.h"
#include "wrappers/FileVersionInfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

using LoaderTest::fixture;
using LoaderTest::MockDllAPI;
using Norvan::DllLoader;
using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgPointee;
using WardlineTest::LogCapture;

TEST(DllLoader, NullOutHandleIsRefusedBeforeAnyCall)
{
    auto api = std::make_shared<::testing::StrictMock<MockDllAPI>>();
    DllLoader loader(api);
    LogCapture log;
    EXPECT_FALSE(loader.loadDLL(L"C:\\x.dll", nullptr));
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(2u, log.lines()[0].level);
    EXPECT_EQ(L"Invalid pHandle specified. Exiting.", log.lines()[0].text);
    EXPECT_EQ(L"dll\\DllLoader", log.lines()[0].file);
}

TEST(DllLoader, LibraryOfTheProcessIsTakenWithoutTrustCheckOrLoad)
{
    auto api = std::make_shared<::testing::StrictMock<MockDllAPI>>();
    const HMODULE existing = LoaderTest::FakeLoader::handle();
    EXPECT_CALL(*api, getModuleHandleEx(0u, ::testing::StrEq(L"C:\\x.dll"), _))
        .WillOnce(DoAll(SetArgPointee<2>(existing), Return(true)));
    DllLoader loader(api);
    HMODULE module = nullptr;
    EXPECT_TRUE(loader.loadDLL(L"C:\\x.dll", &module));
    EXPECT_EQ(existing, module);
}

TEST(DllLoader, FailedOrThrowingLoadGivesFalseWithTheStatus)
{
    auto api = std::make_shared<MockDllAPI>();
    EXPECT_CALL(*api, getModuleHandleEx(_, _, _)).WillRepeatedly(Return(false));
    EXPECT_CALL(*api, loadLibrary(_, _))
        .WillOnce(Return(false))
        .WillOnce(::testing::Throw(std::runtime_error("boom")));
    DllLoader loader(api);
    HMODULE module = nullptr;
    LogCapture log;
    EXPECT_FALSE(loader.loadDLL(L"C:\\x.dll", &module));
    EXPECT_FALSE(loader.loadDLL(L"C:\\x.dll", &module));
    EXPECT_EQ(nullptr, module);
    ASSERT_EQ(2u, log.count());
    EXPECT_EQ(L"Failed to load library. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650).",
              log.lines()[0].text);
    EXPECT_EQ(L"Failed to load library. Error code: MODULE_STATUS_UNKNOWN_EXCEPTION(2147483663).",
              log.lines()[1].text);
    EXPECT_EQ(4u, log.lines()[1].level);
    EXPECT_EQ(L"Norvan::DllLoader::loadDLL", log.lines()[1].function);
}

TEST(DllLoader, MissingSymbolIsLoggedAndNull)
{
    auto api = std::make_shared<MockDllAPI>();
    const FARPROC found = reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&::GetTickCount));
    EXPECT_CALL(*api, getProcAddress(_, ::testing::StrEq("There"))).WillOnce(Return(found));
    EXPECT_CALL(*api, getProcAddress(_, ::testing::StrEq("Missing"))).WillOnce(Return(nullptr));
    EXPECT_CALL(*api, getProcAddress(_, ::testing::StrEq("Throwing")))
        .WillOnce(::testing::Throw(std::runtime_error("boom")));
    DllLoader loader(api);
    LogCapture log;
    EXPECT_EQ(found, loader.getProcAddress(nullptr, "There"));
    EXPECT_EQ(0u, log.count());
    EXPECT_EQ(nullptr, loader.getProcAddress(nullptr, "Missing"));
    EXPECT_EQ(nullptr, loader.getProcAddress(nullptr, "Throwing"));
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(2u, log.lines()[0].level);
    EXPECT_EQ(L"getProcAddress was unsuccessful in finding the handle's address", log.lines()[0].text);
    EXPECT_EQ(0u, log.lines()[0].function.rfind(L"Norvan::DllLoader::getProcAddress::", 0));
}

TEST(DllAPI, LoadsAndTrustsOnlySignedFiles)
{
    Norvan::DllAPI api;
    EXPECT_FALSE(api.isTrusted(nullptr));
    EXPECT_FALSE(api.isTrusted(L""));
    EXPECT_TRUE(api.isTrusted(fixture(L"plugin.dll").c_str()));
    EXPECT_FALSE(api.isTrusted(fixture(L"plugin-unsigned.dll").c_str()));
    EXPECT_FALSE(api.isTrusted(fixture(L"plugin-tampered.dll").c_str()));

    LogCapture log;
    HMODULE module = reinterpret_cast<HMODULE>(1);
    EXPECT_FALSE(api.loadLibrary(fixture(L"plugin-unsigned.dll").c_str(), &module));
    EXPECT_EQ(nullptr, module);
    EXPECT_FALSE(api.loadLibrary(L"", &module));
    ASSERT_EQ(2u, log.count());
    EXPECT_EQ(L"LoadLibrary Failed. GLE: 5", log.lines()[0].text);
    EXPECT_EQ(L"LoadLibrary Failed. GLE: 87", log.lines()[1].text);
    EXPECT_EQ(L"Norvan::DllAPI::loadLibrary", log.lines()[1].function);

    ASSERT_TRUE(api.loadLibrary(fixture(L"plugin.dll").c_str(), &module));
    EXPECT_NE(nullptr, api.getProcAddress(module, "GetVersionNum"));
    HMODULE again = nullptr;
    EXPECT_TRUE(api.getModuleHandleEx(0, fixture(L"plugin.dll").c_str(), &again));
    EXPECT_EQ(module, again);
    EXPECT_TRUE(api.freeLibrary(again));
    EXPECT_TRUE(api.freeLibrary(module));
    EXPECT_FALSE(LoaderTest::isLoaded(fixture(L"plugin.dll")));
}

TEST(FileVersionInfo, ReadsStringsOfTheFirstTranslation)
{
    Plinth::FileVersionInfo info;
    std::wstring text = L"old";
    info.GetString(text, L"FileVersion");
    EXPECT_EQ(L"", text);

    ASSERT_TRUE(info.Load(fixture(L"plugin.dll")));
    info.GetString(text, L"FileVersion");
    EXPECT_EQ(L"1.2.3.4", text);
    info.GetString(text, L"FileDescription");
    EXPECT_EQ(L"Loader test library", text);
    info.GetString(text, L"NoSuchString");
    EXPECT_EQ(L"", text);

    // One reader, one file.
    EXPECT_FALSE(info.Load(fixture(L"noexport.dll")));
    info.GetString(text, L"FileVersion");
    EXPECT_EQ(L"1.2.3.4", text);
}

TEST(FileVersionInfo, FilesWithoutUsableResourceGiveNothing)
{
    std::wstring text = L"old";
    Plinth::FileVersionInfo none;
    EXPECT_FALSE(none.Load(fixture(L"noversion.dll")));
    none.GetString(text, L"FileVersion");
    EXPECT_EQ(L"", text);

    Plinth::FileVersionInfo missing;
    EXPECT_FALSE(missing.Load(fixture(L"no-such-file.dll")));

    Plinth::FileVersionInfo untranslated;
    ASSERT_TRUE(untranslated.Load(fixture(L"notranslation.dll")));
    text = L"old";
    untranslated.GetString(text, L"FileVersion");
    EXPECT_EQ(L"", text);
}
