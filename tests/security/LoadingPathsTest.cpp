// The loading paths as an attacker sees them: each test plays one attack on
// the real loader, trust validator, registry and files under Wine, and
// proves that nothing the attacker brought is loaded. docs/trust.md maps
// every threat to the test that covers it.

#include "dll/SharedLibrary.h"
#include "loader/LoaderTestSupport.h"
#include "module/ModuleException.h"
#include "support/LogCapture.h"
#include "trust/TrustValidator.h"

#include <gtest/gtest.h>

using LoaderTest::BlockList;
using LoaderTest::isLoaded;
using WardlineTest::ScratchFolder;

namespace
{

std::wstring fixture(const std::wstring& name)
{
    return WardlineTest::executableFolder() + L"fixtures\\" + name;
}

std::wstring environment(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length < MAX_PATH ? std::wstring(value, length) : std::wstring(L"(too long)");
}

// The planted library (fixtures "planted.dll") names itself in the
// environment when anything loads it.
class PlantedMarker
{
public:
    PlantedMarker() { ::SetEnvironmentVariableW(kName, nullptr); }
    ~PlantedMarker() { ::SetEnvironmentVariableW(kName, nullptr); }
    PlantedMarker(const PlantedMarker&) = delete;
    PlantedMarker& operator=(const PlantedMarker&) = delete;

    std::wstring loaded() const { return environment(kName); }

private:
    static constexpr const wchar_t* kName = L"WARDLINE_PLANTED_LOADED";
};

// The maker's platform component, HKLM "Software\Korvex\Bedrock" in the
// 32-bit view, naming the folder of the trust library.
class BedrockKey
{
public:
    explicit BedrockKey(const std::wstring& installDir)
    {
        remove();
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr,
                              &key, nullptr) == ERROR_SUCCESS)
        {
            ::RegSetValueExW(key, L"szInstallDir64", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(installDir.c_str()),
                             static_cast<DWORD>((installDir.size() + 1) * sizeof(wchar_t)));
            ::RegCloseKey(key);
        }
    }
    ~BedrockKey() { remove(); }
    BedrockKey(const BedrockKey&) = delete;
    BedrockKey& operator=(const BedrockKey&) = delete;

private:
    static void remove() { ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPath, KEY_WOW64_32KEY, 0); }
    static constexpr const wchar_t* kPath = L"Software\\Korvex\\Bedrock";
};

// A validator as the process builds it, with the trust library of the
// Bedrock key, but no installed trusted list.
Norvan::TrustValidator::Configuration withTrustLibrary()
{
    Norvan::TrustValidator::Configuration config;
    config.trustedListPath = L"C:\\wardline-security-tests-no-such-folder\\trusted.js";
    return config;
}

// The process's own validator (LoadTrustedLibrary, IsFileTrusted) never sees
// a trust library that a test has put in the Bedrock key.
const bool g_offlineInstance = []
{
    Norvan::TrustValidator::Configuration config = withTrustLibrary();
    config.readPlatform = false;
    Norvan::TrustValidator::configureInstanceForTesting(config);
    return true;
}();

} // namespace

TEST(PlantedImports, ImportsOfAVerifiedLibraryAreNeverTakenFromTheCurrentFolder)
{
    // importer.dll carries the maker's signature; its import wl_dep.dll
    // is verified by nobody.
    ScratchFolder library(L"security-imports");
    ScratchFolder current(L"security-imports-current");
    ASSERT_TRUE(library.copyFrom(fixture(L"importer.dll"), L"importer.dll"));
    ASSERT_TRUE(current.copyFrom(fixture(L"planted.dll"), L"wl_dep.dll"));
    const std::wstring importer = library / L"importer.dll";
    WardlineTest::CurrentDirectory cwd(current.path());
    PlantedMarker marker;

    EXPECT_EQ(nullptr, Norvan::LoadTrustedLibrary(importer.c_str(), 0));
    // The trust library's loader asks for the altered search order, which
    // ends in the current folder too.
    void* out = nullptr;
    EXPECT_NE(0u, Norvan::GetTrustInterface(importer.c_str(), "KxtValidationControl2", &out));
    EXPECT_EQ(L"", marker.loaded()) << "an import was loaded from the current folder";
    EXPECT_FALSE(isLoaded(importer));

    // Beside the library its import is found.
    ASSERT_TRUE(library.copyFrom(fixture(L"planted.dll"), L"wl_dep.dll"));
    HMODULE module = Norvan::LoadTrustedLibrary(importer.c_str(), 0);
    ASSERT_NE(nullptr, module) << ::GetLastError();
    EXPECT_EQ(library / L"wl_dep.dll", marker.loaded());
    ::FreeLibrary(module);
}

TEST(TrustLibrary, OnlyTheMakersSignatureMakesATrustLibrary)
{
    // The trust library's verdict decides on every file, so a library that
    // WinVerifyTrust accepts (a root the machine trusts, or under Wine any
    // signature) is not enough.
    for (const wchar_t* signer : {L"otherchain", L"unlisted"})
    {
        const std::wstring folder = fixture(std::wstring(L"kxtrust-") + signer);
        BedrockKey key(folder);
        Norvan::TrustValidator validator(withTrustLibrary());
        EXPECT_EQ(nullptr, validator.validationControl()) << signer;
        void* out = nullptr;
        EXPECT_EQ(static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED),
                  Norvan::GetTrustInterface(L"kxtrust.dll", "KxtValidationControl2", &out))
            << signer;
        EXPECT_EQ(nullptr, out);
        EXPECT_FALSE(isLoaded(folder + L"\\kxtrust.dll")) << signer;
    }
    // The maker's certificate that has since expired is still taken, as
    // WinVerifyTrust's rule for the trust library takes it.
    BedrockKey key(fixture(L"kxtrust-expired"));
    Norvan::TrustValidator validator(withTrustLibrary());
    EXPECT_NE(nullptr, validator.validationControl());
}

namespace
{

// Plays the attacker right after the block check has read the version: moves
// another file over the one that was judged.
class SwapAfterReading : public Plinth::FileVersionInfo
{
public:
    explicit SwapAfterReading(std::wstring replacement) : replacement_(std::move(replacement)) {}

    bool Load(const std::wstring& path) override
    {
        const bool loaded = Plinth::FileVersionInfo::Load(path);
        tried = true;
        moved = ::MoveFileExW(replacement_.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        return loaded;
    }

    bool tried = false;
    bool moved = false;

private:
    std::wstring replacement_;
};

// Whether the version resource of a loaded image (not of the file now at its
// path) holds the text.
bool imageVersionHolds(const Norvan::SharedLibrary& library, const std::wstring& text)
{
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(library.getFunctions()->GetVersionNum), &module))
    {
        return false;
    }
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    HGLOBAL data = resource ? ::LoadResource(module, resource) : nullptr;
    const auto* bytes = static_cast<const wchar_t*>(data ? ::LockResource(data) : nullptr);
    if (!bytes)
    {
        return false;
    }
    const std::wstring block(bytes, ::SizeofResource(module, resource) / sizeof(wchar_t));
    return block.find(text) != std::wstring::npos;
}

std::shared_ptr<Norvan::SharedLibrary> loadPlugin(
    const std::wstring& fileName, const std::wstring& folder,
    std::shared_ptr<Plinth::FileVersionInfo> versionInfo = nullptr)
{
    return std::make_shared<Norvan::SharedLibrary>(Norvan::LibraryDescription{fileName, {folder}}, nullptr,
                                                   nullptr, nullptr, std::move(versionInfo), nullptr);
}

} // namespace

TEST(BlockList, ABlockedVersionCannotBeSwappedInAfterTheVersionWasRead)
{
    // Both versions carry the maker's signature: only the block list keeps
    // the old one out.
    ScratchFolder folder(L"security-block-swap");
    ASSERT_TRUE(folder.copyFrom(fixture(L"plugin-newer.dll"), L"plugin.dll"));
    ASSERT_TRUE(folder.copyFrom(fixture(L"plugin.dll"), L"blocked.tmp"));
    BlockList list(L"plugin.dll");
    ASSERT_TRUE(list.set(L"1.2.3.4", L"1.2.3.4"));

    auto attacker = std::make_shared<SwapAfterReading>(folder / L"blocked.tmp");
    auto library = loadPlugin(L"plugin.dll", folder.path(), attacker);
    ASSERT_TRUE(attacker->tried);
    EXPECT_FALSE(attacker->moved) << "the file was replaced between the block check and the load";
    EXPECT_TRUE(imageVersionHolds(*library, L"1.2.3.5"));
    EXPECT_FALSE(imageVersionHolds(*library, L"1.2.3.4"));
}

TEST(BlockList, TheVersionJudgedIsThatOfTheFileLoadedAlsoInACaseSensitiveFolder)
{
    // "case" holds Plugin.DLL (the blocked 1.2.3.4) and plugin.dll (1.2.3.5),
    // made by the build on the Linux side: Wine opens the exact name first.
    const std::wstring folder = fixture(L"case");
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW((folder + L"\\*.dll").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    int files = 1;
    while (::FindNextFileW(search, &found))
    {
        ++files;
    }
    ::FindClose(search);
    ASSERT_EQ(2, files) << "the file system folds case: nothing to show here";

    BlockList list(L"plugin.dll");
    ASSERT_TRUE(list.set(L"1.2.3.4", L"1.2.3.4"));
    WardlineTest::LogCapture log;
    EXPECT_THROW(loadPlugin(L"Plugin.DLL", folder), Norvan::ModuleException);
    EXPECT_EQ(1u, log.exactly(L"Blocked library: " + folder + L"\\Plugin.DLL.").size());
    EXPECT_FALSE(isLoaded(folder + L"\\Plugin.DLL"));
}

TEST(BlockList, AFileThatOthersMayStillChangeIsNotLoaded)
{
    // A handle that may write or rename the file would let it change after
    // the block check: the loader refuses it rather than judge it unprotected.
    ScratchFolder folder(L"security-block-unheld");
    ASSERT_TRUE(folder.copyFrom(fixture(L"plugin-newer.dll"), L"plugin.dll"));
    HANDLE writer = ::CreateFileW((folder / L"plugin.dll").c_str(), GENERIC_WRITE | DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    {
        WardlineTest::LogCapture log;
        auto reader = std::make_shared<SwapAfterReading>(folder / L"no-such-file");
        EXPECT_THROW(loadPlugin(L"plugin.dll", folder.path(), reader), Norvan::ModuleException);
        EXPECT_FALSE(reader->tried) << "the version was read from a file that could still change";
        EXPECT_EQ(1u, log.exactly(L"Failed to load library: plugin.dll.").size());
        EXPECT_FALSE(isLoaded(folder / L"plugin.dll"));
    }
    ::CloseHandle(writer);
    EXPECT_NO_THROW(loadPlugin(L"plugin.dll", folder.path())) << "refused for the handle only";
}

TEST(Swap, AFileSwappedWhileItsSignatureIsJudgedIsNotLoaded)
{
    // The trust library of this test moves a planted file over the one it is
    // asked about, then calls the original trusted: the worst moment for the
    // swap, between the verdict and the load.
    BedrockKey key(fixture(L"swapping-trust"));
    Norvan::TrustValidator validator(withTrustLibrary());
    ASSERT_NE(nullptr, validator.validationControl());
    ScratchFolder folder(L"security-swap");
    ASSERT_TRUE(folder.copyFrom(fixture(L"plugin.dll"), L"plugin.dll"));
    ASSERT_TRUE(folder.copyFrom(fixture(L"planted.dll"), L"planted.tmp"));
    const std::wstring path = folder / L"plugin.dll";
    PlantedMarker marker;

    ::SetEnvironmentVariableW(L"WARDLINE_SWAP_FROM", (folder / L"planted.tmp").c_str());
    HMODULE module = validator.loadTrustedLibrary(path.c_str(), 0);
    ::SetEnvironmentVariableW(L"WARDLINE_SWAP_FROM", nullptr);
    const std::wstring swap = environment(L"WARDLINE_SWAP_RESULT");
    ::SetEnvironmentVariableW(L"WARDLINE_SWAP_RESULT", nullptr);

    EXPECT_EQ(0u, swap.rfind(L"refused", 0)) << std::string(swap.begin(), swap.end());
    EXPECT_EQ(L"", marker.loaded()) << "the planted file was loaded";
    ASSERT_NE(nullptr, module);
    EXPECT_NE(nullptr, ::GetProcAddress(module, "GetVersionNum"));
    EXPECT_EQ(nullptr, ::GetProcAddress(module, "WardlineDependencyAnswer"));
    ::FreeLibrary(module);
}

TEST(Swap, ALibraryReachedThroughALinkIsLoadedFromWhereTheLinkPointedWhenItWasJudged)
{
    // The loader opens the file again by name after the check: a link on the
    // way (a junction on Windows) re-pointed in between would hand it another
    // file, so the library is verified and loaded at its resolved path.
    // Wine cannot play the re-pointing itself: moving a link to a folder
    // there moves the folder it points to, and Wine lets a folder of a held
    // file be renamed, which Windows refuses.
    const std::wstring path = fixture(L"linked\\current\\plugin.dll");
    ASSERT_TRUE(Norvan::PathAPI().fileExists(path));
    HMODULE module = Norvan::LoadTrustedLibrary(path.c_str(), 0);
    ASSERT_NE(nullptr, module) << ::GetLastError();
    wchar_t loaded[MAX_PATH] = {};
    ::GetModuleFileNameW(module, loaded, MAX_PATH);
    ::FreeLibrary(module);
    EXPECT_EQ(fixture(L"linked\\real\\plugin.dll"), std::wstring(loaded));
}
