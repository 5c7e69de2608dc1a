#pragma once

#include "dll/DllLoader.h"
#include "support/ScratchFiles.h"
#include "wrappers/DllAPI.h"

#include <gmock/gmock.h>

#include <map>
#include <string>
#include <vector>

namespace LoaderTest
{

// The libraries made for these tests, beside the test executable.
inline std::wstring fixture(const std::wstring& name)
{
    return WardlineTest::executableFolder() + L"fixtures\\" + name;
}

inline bool isLoaded(const std::wstring& path)
{
    return ::GetModuleHandleW(path.c_str()) != nullptr;
}

// The host's block list for one library, HKLM
// "SOFTWARE\Korvex\Hubfrm\List\<name>", removed before and after.
class BlockList
{
public:
    explicit BlockList(const std::wstring& lowerCaseName)
        : path_(L"SOFTWARE\\Korvex\\Hubfrm\\List\\" + lowerCaseName)
    {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
    }
    ~BlockList()
    {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
        WardlineTest::removeKeyIfEmpty(L"SOFTWARE\\Korvex\\Hubfrm\\List");
        WardlineTest::removeKeyIfEmpty(L"SOFTWARE\\Korvex\\Hubfrm");
    }
    BlockList(const BlockList&) = delete;
    BlockList& operator=(const BlockList&) = delete;

    bool set(const wchar_t* name, const std::wstring& value) const
    {
        return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, path_.c_str(), name, REG_SZ, value.c_str(),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

private:
    std::wstring path_;
};

class MockDllAPI : public Norvan::DllAPI
{
public:
    MOCK_METHOD(bool, loadLibrary, (const wchar_t*, HMODULE*), (override));
    MOCK_METHOD(FARPROC, getProcAddress, (HMODULE, const char*), (override));
    MOCK_METHOD(bool, isTrusted, (const wchar_t*), (override));
    MOCK_METHOD(bool, freeLibrary, (HMODULE), (override));
    MOCK_METHOD(bool, getModuleHandleEx, (DWORD, const wchar_t*, HMODULE*), (override));
};

// A loader whose "library" is a set of functions of this executable: loading
// hands out a made-up handle, and every step is recorded in `events`.
class FakeLoader : public Norvan::DllLoader
{
public:
    static HMODULE handle() { return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x5EED0000)); }

    template <typename Function> void provide(const char* name, Function function)
    {
        exports[name] = reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
    }

    bool loadDLL(const std::wstring& path, HMODULE* module) override
    {
        loadedPath = path;
        events.push_back("load");
        *module = handle();
        return true;
    }
    FARPROC getProcAddress(HMODULE module, const char* name) override
    {
        const auto found = exports.find(name);
        return module == handle() && found != exports.end() ? found->second : nullptr;
    }
    bool freeDLL(HMODULE module) override
    {
        events.push_back("unload");
        return module == handle() && freeSucceeds;
    }

    std::map<std::string, FARPROC> exports;
    std::vector<std::string> events;
    std::wstring loadedPath;
    bool freeSucceeds = true;
};

} // namespace LoaderTest
