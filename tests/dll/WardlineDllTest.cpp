#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace
{

std::wstring besideThisExe(const wchar_t* fileName)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    folder.resize(folder.rfind(L'\\') + 1);
    return folder + fileName;
}

class WardlineDll : public ::testing::Test
{
protected:
    void SetUp() override
    {
        path_ = besideThisExe(L"Wardline.dll");
        module_ = LoadLibraryW(path_.c_str());
        ASSERT_NE(nullptr, module_) << "LoadLibraryW failed with " << GetLastError();
    }
    void TearDown() override
    {
        if (module_)
        {
            FreeLibrary(module_);
        }
    }

    std::wstring path_;
    HMODULE module_ = nullptr;
};

std::wstring queryVersionString(const std::vector<BYTE>& block, const wchar_t* key)
{
    struct Translation
    {
        WORD language;
        WORD codePage;
    }* translations = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &size) ||
        size < sizeof(Translation))
    {
        return L"<no translation>";
    }
    wchar_t query[128];
    swprintf_s(query, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language, translations[0].codePage, key);
    wchar_t* value = nullptr;
    if (!VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&value), &size) || value == nullptr)
    {
        return L"<missing>";
    }
    return value;
}

} // namespace

TEST_F(WardlineDll, VersionResourceNamesVersion210)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
    ASSERT_NE(0u, size) << "GetFileVersionInfoSizeW failed with " << GetLastError();
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, block.data()));

    EXPECT_EQ(L"2.1.0.0", queryVersionString(block, L"FileVersion"));
    EXPECT_EQ(L"2.1.0.0", queryVersionString(block, L"ProductVersion"));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    EXPECT_EQ(MAKELONG(1, 2), fixed->dwFileVersionMS);
    EXPECT_EQ(0u, fixed->dwFileVersionLS);
}

TEST_F(WardlineDll, ExportsAnswerWithTheModuleVersion)
{
    using VersionNum = std::uint32_t (*)();
    using VersionStr = const char* (*)();
    using Release = void (*)();
    auto versionNum = reinterpret_cast<VersionNum>(reinterpret_cast<void*>(GetProcAddress(module_, "GetVersionNum")));
    auto versionStr = reinterpret_cast<VersionStr>(reinterpret_cast<void*>(GetProcAddress(module_, "GetVersionStr")));
    auto release = reinterpret_cast<Release>(reinterpret_cast<void*>(GetProcAddress(module_, "ReleaseObject")));
    ASSERT_NE(nullptr, versionNum);
    ASSERT_NE(nullptr, versionStr);
    ASSERT_NE(nullptr, release);

    EXPECT_EQ(2001000u, versionNum());
    EXPECT_STREQ("2.1.0", versionStr());
    using Create = const void* (*)();
    auto create = reinterpret_cast<Create>(reinterpret_cast<void*>(GetProcAddress(module_, "CreateObject")));
    ASSERT_NE(nullptr, create);
    const void* table = create();
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(table, create()) << "one static table for every caller";

    release(); // has no effect, and must not take the answers with it
    EXPECT_EQ(table, create());
    EXPECT_EQ(2001000u, versionNum());
    EXPECT_STREQ("2.1.0", versionStr());
}

TEST_F(WardlineDll, LoadsAndUnloadsRepeatedly)
{
    // Each full unload runs the detach path and the library's static
    // teardown; each load runs the attach path and the once-only set-up again.
    ASSERT_TRUE(FreeLibrary(module_));
    module_ = nullptr;
    for (int i = 0; i < 3; ++i)
    {
        HMODULE again = LoadLibraryW(path_.c_str());
        ASSERT_NE(nullptr, again) << "load " << i << " failed with " << GetLastError();
        EXPECT_NE(nullptr, GetProcAddress(again, "GetVersionNum"));
        EXPECT_TRUE(FreeLibrary(again));
        EXPECT_EQ(nullptr, GetModuleHandleW(path_.c_str())) << "still loaded after unload " << i;
    }
}

// The stack protector's canary is seeded without a cryptographic provider,
// which the library's attach would load under the loader lock (and free at once).
TEST(StackGuard, TheLibrarysAttachLoadsNoCryptographicProvider)
{
    using Library = struct { ULONG flags; const UNICODE_STRING *path, *name; };
    using Listener = void(CALLBACK*)(ULONG, const Library*, void*);
    auto listen = reinterpret_cast<LONG(NTAPI*)(ULONG, Listener, void*, void**)>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification")));
    auto stop = reinterpret_cast<LONG(NTAPI*)(void*)>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrUnregisterDllNotification")));
    std::wstring seen; // the libraries loaded and unloaded meanwhile
    void* cookie = nullptr;
    ASSERT_EQ(0, listen(0, [](ULONG, const Library* library, void* names) {
        *static_cast<std::wstring*>(names) += std::wstring(library->name->Buffer, library->name->Length / 2) + L' ';
    }, &seen, &cookie));
    FreeLibrary(LoadLibraryW(besideThisExe(L"Wardline.dll").c_str()));
    stop(cookie);
    EXPECT_NE(std::wstring::npos, seen.find(L"Wardline.dll")) << seen;
    EXPECT_EQ(std::wstring::npos, seen.find(L"rsaenh.dll")) << seen;
}
