#include "dll/SharedLibrary.h"

#include "LoaderTestSupport.h"
#include "module/ModuleException.h"
#include "support/LogCapture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using LoaderTest::BlockList;
using LoaderTest::fixture;
using LoaderTest::isLoaded;
using Norvan::LibraryDescription;
using Norvan::ModuleException;
using Norvan::SharedLibrary;
using WardlineTest::LogCapture;
using WardlineTest::ScratchFolder;

namespace
{

std::shared_ptr<SharedLibrary> load(const std::wstring& fileName, std::vector<std::wstring> folders,
                                    std::shared_ptr<Norvan::DllLoader> loader = nullptr,
                                    std::shared_ptr<Plinth::CRegKey> key = nullptr)
{
    return std::make_shared<SharedLibrary>(LibraryDescription{fileName, std::move(folders)},
                                           std::move(loader), nullptr, nullptr, nullptr, std::move(key));
}

// The exception's text, or "" when the library loaded.
std::string failureOf(const std::wstring& fileName, std::vector<std::wstring> folders)
{
    try
    {
        load(fileName, std::move(folders));
    }
    catch (const ModuleException& error)
    {
        return error.what();
    }
    return "";
}

void expectLine(const LogCapture& log, DWORD level, const wchar_t* file, const std::wstring& text)
{
    const auto lines = log.exactly(text);
    ASSERT_EQ(1u, lines.size()) << "line: " << std::string(text.begin(), text.end());
    EXPECT_EQ(level, lines[0].level);
    EXPECT_EQ(file, lines[0].file);
}

class MockRegKey : public Plinth::CRegKey
{
public:
    MOCK_METHOD(DWORD, Open, (HKEY, const wchar_t*, REGSAM), (override));
    MOCK_METHOD(DWORD, ReadString, (const wchar_t*, std::wstring&), (override));
};

} // namespace

TEST(SharedLibrary, LoadsFromTheFirstFolderThatHoldsItAndImportsTheExports)
{
    ScratchFolder install(L"loader-second-folder");
    ASSERT_TRUE(install.copyFrom(fixture(L"plugin.dll"), L"plugin.dll"));
    WardlineTest::HubframeInstallKey key;
    ASSERT_TRUE(key.set(L"Install Dir", install.path()));
    const std::wstring path = install / L"plugin.dll";

    LogCapture log;
    auto library = load(L"plugin.dll", {L"$(App.Folder)", L"$(Hubframe.InstallDir)"});
    expectLine(log, 1, L"dll\\SharedLibrary", L"Loading plugin.dll from " + install.path() + L".");
    EXPECT_EQ(L"Norvan::SharedLibrary::loadLibrary",
              log.exactly(L"Loading plugin.dll from " + install.path() + L".")[0].function);
    EXPECT_TRUE(isLoaded(path));

    const Norvan::HostLibraryFunctions* functions = library->getFunctions();
    ASSERT_NE(nullptr, functions->CreateObject);
    ASSERT_NE(nullptr, functions->ReleaseObject);
    EXPECT_EQ(1002003u, functions->GetVersionNum());
    EXPECT_STREQ("1.2.3.4", functions->GetVersionStr());
    EXPECT_EQ(2001000u, *static_cast<const std::uint32_t*>(functions->CreateObject(2001000)));

    library.reset();
    EXPECT_FALSE(isLoaded(path));
}

TEST(SharedLibrary, BlockedVersionIsRefusedWhateverTheNameCase)
{
    ScratchFolder folder(L"loader-blocked");
    ASSERT_TRUE(folder.copyFrom(fixture(L"plugin.dll"), L"plugin.dll"));
    ASSERT_TRUE(folder.makeFolder(L"mixed") && folder.copyFrom(fixture(L"plugin.dll"), L"mixed\\Plugin.DLL"));
    BlockList list(L"plugin.dll");

    // Listed under another version, or with other data: loads.
    ASSERT_TRUE(list.set(L"1.2.3.5", L"1.2.3.5"));
    ASSERT_TRUE(list.set(L"1.2.3.4", L"1.2.3.4 "));
    EXPECT_EQ("", failureOf(L"plugin.dll", {folder.path()}));

    ASSERT_TRUE(list.set(L"1.2.3.4", L"1.2.3.4"));
    {
        LogCapture log;
        EXPECT_EQ("Failed to load library", failureOf(L"plugin.dll", {folder.path()}));
        expectLine(log, 3, L"dll\\SharedLibrary", L"Blocked library: " + folder.path() + L"\\plugin.dll.");
        expectLine(log, 4, L"dll\\SharedLibrary",
                   L"Failed to load library: plugin.dll. Throwing ModuleException.");
        EXPECT_EQ(L"Norvan::SharedLibrary::SharedLibrary",
                  log.exactly(L"Failed to load library: plugin.dll. Throwing ModuleException.")[0].function);
        EXPECT_FALSE(isLoaded(folder / L"plugin.dll"));
    }
    EXPECT_EQ("Failed to load library", failureOf(L"Plugin.DLL", {folder / L"mixed"}));
    EXPECT_FALSE(isLoaded(folder / L"mixed\\Plugin.DLL"));
}

TEST(SharedLibrary, VersionlessLibrariesAreNeverBlocked)
{
    ScratchFolder folder(L"loader-versionless");
    ASSERT_TRUE(folder.copyFrom(fixture(L"noversion.dll"), L"plugin.dll"));
    ASSERT_TRUE(folder.makeFolder(L"t") && folder.copyFrom(fixture(L"notranslation.dll"), L"t\\plugin.dll"));
    BlockList list(L"plugin.dll");
    ASSERT_TRUE(list.set(L"1.2.3.4", L"1.2.3.4"));
    EXPECT_EQ("", failureOf(L"plugin.dll", {folder.path()}));
    EXPECT_EQ("", failureOf(L"plugin.dll", {folder / L"t"}));

    // A resource without translations reads as an empty FileVersion, which
    // is looked up as the key's default value.
    ASSERT_TRUE(list.set(nullptr, L""));
    EXPECT_EQ("Failed to load library", failureOf(L"plugin.dll", {folder / L"t"}));
    EXPECT_EQ("", failureOf(L"plugin.dll", {folder.path()}));
}

TEST(SharedLibrary, BlockListIsReadUnderTheLowerCaseNameAndNeverForHostLibraries)
{
    ScratchFolder folder(L"loader-exempt");
    ASSERT_TRUE(folder.copyFrom(fixture(L"plugin.dll"), L"Courier.dll"));
    ASSERT_TRUE(folder.copyFrom(fixture(L"plugin.dll"), L"Plugin.DLL"));
    auto key = std::make_shared<MockRegKey>();
    EXPECT_CALL(*key, Open(HKEY_LOCAL_MACHINE,
                           ::testing::StrEq(L"SOFTWARE\\Korvex\\Hubfrm\\List\\plugin.dll"), 0x20019u))
        .WillOnce(::testing::Return(0u));
    EXPECT_CALL(*key, ReadString(::testing::StrEq(L"1.2.3.4"), ::testing::_))
        .WillOnce(::testing::Return(static_cast<DWORD>(ERROR_FILE_NOT_FOUND)));
    load(L"Courier.dll", {folder.path()}, nullptr, key);
    load(L"Plugin.DLL", {folder.path()}, nullptr, key);

    for (const wchar_t* name : {L"watchpost.dll", L"prefvault.dll", L"unitwarden.dll", L"courier.dll"})
    {
        EXPECT_TRUE(SharedLibrary::isExempt(name));
    }
    EXPECT_FALSE(SharedLibrary::isExempt(L"Courier.dll"));
}

TEST(SharedLibrary, MissingFileThrowsAfterItsLines)
{
    ScratchFolder folder(L"loader-missing");
    ASSERT_TRUE(folder.makeFolder(L"plugin.dll"));
    LogCapture log;
    EXPECT_EQ("Failed to load library", failureOf(L"plugin.dll", {folder.path(), L"$(Unknown.Var)"}));
    expectLine(log, 4, L"dll\\SharedLibrary", L"Failed to find valid path for library: plugin.dll.");
    expectLine(log, 4, L"dll\\SharedLibrary",
               L"Failed to load library: plugin.dll. Throwing ModuleException.");
}

TEST(SharedLibrary, RefusedFolderExpansionThrowsBeforeAnySearch)
{
    // The real expander never refuses; one that does stops the load at the
    // folder it refused, before the folders are searched.
    struct RefusingExpander : Norvan::PathHelpers
    {
        bool expandVariables(std::wstring& path) override { return path != L"$(Refused)"; }
    };
    auto search = std::make_shared<Norvan::PathSearch>();
    LogCapture log;
    try
    {
        SharedLibrary(LibraryDescription{L"plugin.dll", {L"C:\\first", L"$(Refused)", L"C:\\third"}}, nullptr,
                      std::make_shared<RefusingExpander>(), search, nullptr, nullptr);
        FAIL() << "loaded with a folder that could not be expanded";
    }
    catch (const ModuleException& error)
    {
        EXPECT_STREQ("Failed to load library", error.what());
    }
    expectLine(log, 4, L"dll\\SharedLibrary", L"Failed to resolve file path, $(Refused), for library: plugin.dll.");
    expectLine(log, 4, L"dll\\SharedLibrary", L"Failed to load library: plugin.dll. Throwing ModuleException.");
    EXPECT_TRUE(search->getSearchPaths().empty());
    EXPECT_TRUE(log.find(L"findFilePath").empty());
}

TEST(SharedLibrary, UntrustedLibrariesAreNotLoaded)
{
    for (const wchar_t* variant : {L"plugin-unsigned.dll", L"plugin-tampered.dll"})
    {
        ScratchFolder folder(L"loader-untrusted");
        ASSERT_TRUE(folder.copyFrom(fixture(variant), L"plugin.dll"));
        LogCapture log;
        EXPECT_EQ("Failed to load library", failureOf(L"plugin.dll", {folder.path()})) << variant;
        expectLine(log, 4, L"wrappers\\DllAPI", L"LoadLibrary Failed. GLE: 5");
        expectLine(log, 4, L"dll\\DllLoader",
                   L"Failed to load library. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650).");
        expectLine(log, 4, L"dll\\SharedLibrary", L"Failed to load library: plugin.dll.");
        expectLine(log, 4, L"dll\\SharedLibrary",
                   L"Failed to load library: plugin.dll. Throwing ModuleException.");
        EXPECT_FALSE(isLoaded(folder / L"plugin.dll"));
    }
}

TEST(SharedLibrary, MissingExportUnloadsAndThrows)
{
    ScratchFolder folder(L"loader-noexport");
    ASSERT_TRUE(folder.copyFrom(fixture(L"noexport.dll"), L"noexport.dll"));
    LogCapture log;
    try
    {
        load(L"noexport.dll", {folder.path()});
        FAIL() << "loaded a library without GetVersionNum";
    }
    catch (const ModuleException& error)
    {
        EXPECT_STREQ("Failed to import functions from library", error.what());
    }
    expectLine(log, 2, L"dll\\DllLoader", L"getProcAddress was unsuccessful in finding the handle's address");
    expectLine(log, 4, L"dll\\SharedLibrary",
               L"Failed to load GetVersionNum function from library: noexport.dll.");
    expectLine(log, 4, L"dll\\SharedLibrary",
               L"Failed to import functions from library: noexport.dll. Throwing ModuleException.");
    EXPECT_FALSE(isLoaded(folder / L"noexport.dll"));
}

TEST(SharedLibrary, AlreadyLoadedLibraryIsTakenOverAsItIs)
{
    // Loaded by the process itself, unsigned: taken over without a check.
    ScratchFolder folder(L"loader-takeover");
    ASSERT_TRUE(folder.copyFrom(fixture(L"plugin-unsigned.dll"), L"plugin.dll"));
    const std::wstring path = folder / L"plugin.dll";
    HMODULE own = ::LoadLibraryW(path.c_str());
    ASSERT_NE(nullptr, own);
    {
        LogCapture log;
        auto library = load(L"plugin.dll", {folder.path()});
        EXPECT_EQ(1002003u, library->getFunctions()->GetVersionNum());
        EXPECT_TRUE(log.find(L"LoadLibrary").empty());
    }
    // Its own reference is still there, and only that one.
    EXPECT_TRUE(isLoaded(path));
    EXPECT_TRUE(::FreeLibrary(own));
    EXPECT_FALSE(isLoaded(path));
}

TEST(SharedLibrary, FailedUnloadIsLoggedNotThrown)
{
    ScratchFolder folder(L"loader-free-fails");
    ASSERT_TRUE(folder.write(L"fake.dll"));
    auto loader = std::make_shared<LoaderTest::FakeLoader>();
    loader->provide(
        "CreateObject", +[](std::uint32_t) -> const void* { return nullptr; });
    loader->provide(
        "ReleaseObject", +[]() {});
    loader->provide(
        "GetVersionStr", +[]() -> const char* { return "1"; });
    loader->provide(
        "GetVersionNum", +[]() -> std::uint32_t { return 1; });
    loader->freeSucceeds = false;
    auto library = load(L"fake.dll", {folder.path()}, loader);
    EXPECT_EQ(folder / L"fake.dll", loader->loadedPath);

    LogCapture log;
    EXPECT_NO_THROW(library.reset());
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(4u, log.lines()[0].level);
    EXPECT_EQ(L"Failed to free library: fake.dll.", log.lines()[0].text);
    EXPECT_EQ(0u, log.lines()[0].function.rfind(L"Norvan::SharedLibrary::unloadLibrary::", 0));
}
