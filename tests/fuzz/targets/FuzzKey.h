#pragma once

#include "Fuzz.h"

#include <string>

namespace WardlineFuzz
{

constexpr wchar_t kLoggingRoot[] = L"SOFTWARE\\Korvex.logging";

// A key of the fuzz run under HKLM, removed before and after.
class FuzzKey
{
public:
    explicit FuzzKey(const std::wstring& relative) : path_(std::wstring(kLoggingRoot) + L"\\" + relative)
    {
        remove();
    }
    ~FuzzKey() { remove(); }
    const std::wstring& path() const { return path_; }
    void remove() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str()); }
    bool set(const std::wstring& subkey, const wchar_t* name, DWORD type, const std::string& data)
    {
        HKEY key = nullptr;
        const std::wstring full = subkey.empty() ? path_ : path_ + L"\\" + subkey;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr) != ERROR_SUCCESS)
        {
            return false;
        }
        // For a string type the system reads the character after the count,
        // to add a terminator the count left out: the bytes handed over are
        // followed by zeros, so that it reads them and not what lies beyond.
        const std::string padded = data + std::string(2, '\0');
        const LSTATUS status = ::RegSetValueExW(
            key, name, 0, type, reinterpret_cast<const BYTE*>(padded.data()), static_cast<DWORD>(data.size()));
        ::RegCloseKey(key);
        return status == ERROR_SUCCESS;
    }

    bool setText(const std::wstring& subkey, const wchar_t* name, const std::wstring& text)
    {
        return set(subkey, name, REG_SZ, utf16Bytes(text) + std::string(2, '\0'));
    }

private:
    std::wstring path_;
};

} // namespace WardlineFuzz
