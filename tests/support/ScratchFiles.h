#pragma once

// File-system and registry places of the tests that touch the real ones:
// each test names a folder or value that no other test uses, and everything
// is removed before and after.

#include "common/Path.h"
#include "wrappers/PathAPI.h"

#include <windows.h>

#include <string>

namespace WardlineTest
{

// A folder of its own under the temporary folder.
class ScratchFolder
{
public:
    explicit ScratchFolder(const std::wstring& name)
    {
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        path_ = std::wstring(temp, length) + L"wardline-" + name;
        Norvan::PathAPI().removeDirectory(path_);
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { Norvan::PathAPI().removeDirectory(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

    // Creates a file (and nothing else: its folder must exist).
    bool write(const std::wstring& relative, const std::string& content = "x") const
    {
        HANDLE file = ::CreateFileW((*this / relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
        {
            return false;
        }
        DWORD written = 0;
        const BOOL ok =
            ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        ::CloseHandle(file);
        return ok && written == content.size();
    }
    bool makeFolder(const std::wstring& relative) const
    {
        return ::CreateDirectoryW((*this / relative).c_str(), nullptr) != FALSE;
    }
    bool copyFrom(const std::wstring& source, const std::wstring& relative) const
    {
        return ::CopyFileW(source.c_str(), (*this / relative).c_str(), FALSE) != FALSE;
    }

private:
    std::wstring path_;
};

// The current directory, changed for a scope.
class CurrentDirectory
{
public:
    explicit CurrentDirectory(const std::wstring& folder)
    {
        wchar_t previous[MAX_PATH] = {};
        ::GetCurrentDirectoryW(MAX_PATH, previous);
        previous_ = previous;
        ::SetCurrentDirectoryW(folder.c_str());
    }
    ~CurrentDirectory() { ::SetCurrentDirectoryW(previous_.c_str()); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::wstring previous_;
};

// Deletes an HKLM key that holds neither values nor subkeys: what a test
// created on the way to its own values, and nobody else uses.
inline void removeKeyIfEmpty(const wchar_t* path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return;
    }
    DWORD subkeys = 1;
    DWORD values = 1;
    const LSTATUS status = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr);
    ::RegCloseKey(key);
    if (status == ERROR_SUCCESS && subkeys == 0 && values == 0)
    {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    }
}

// The host framework's install folder values under HKLM
// "SOFTWARE\KORVEX\HUBFRM". No test but the loader's uses them; both values
// are removed at the start and at the end.
class HubframeInstallKey
{
public:
    static constexpr const wchar_t* kPath = L"SOFTWARE\\KORVEX\\HUBFRM";

    HubframeInstallKey() { clear(); }
    ~HubframeInstallKey()
    {
        clear();
        removeKeyIfEmpty(kPath);
    }
    HubframeInstallKey(const HubframeInstallKey&) = delete;
    HubframeInstallKey& operator=(const HubframeInstallKey&) = delete;

    bool set(const wchar_t* name, const std::wstring& value) const
    {
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr) != ERROR_SUCCESS)
        {
            return false;
        }
        const LSTATUS status =
            ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
        return status == ERROR_SUCCESS;
    }

private:
    static void clear()
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS)
        {
            ::RegDeleteValueW(key, L"Install Dir");
            ::RegDeleteValueW(key, L"Install Dir32");
            ::RegCloseKey(key);
        }
    }
};

// Folder of the running executable, with its trailing backslash.
inline std::wstring executableFolder()
{
    return Norvan::internal::folderOf(Norvan::internal::moduleFileName(nullptr)) + L"\\";
}

} // namespace WardlineTest
