#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace LogConfigTest
{

TestKey::TestKey(const std::wstring& relative) : path_(L"SOFTWARE\\Korvex.logging\\" + relative)
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
}

TestKey::~TestKey()
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
}

std::wstring TestKey::Full(const std::wstring& subkey) const
{
    return subkey.empty() ? path_ : path_ + L"\\" + subkey;
}

void TestKey::Create(const std::wstring& subkey)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Full(subkey).c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ::RegCloseKey(key);
}

void TestKey::SetRaw(const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data,
                     DWORD size)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Full(subkey).c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const LSTATUS status = ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    ::RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, status);
}

void TestKey::SetDword(const std::wstring& subkey, const wchar_t* name, DWORD value)
{
    SetRaw(subkey, name, REG_DWORD, &value, sizeof(value));
}

void TestKey::SetString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                        DWORD type)
{
    SetRaw(subkey, name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void TestKey::WriteRequiredProfileValues(const std::wstring& name)
{
    SetString(L"Session", L"Session ID Guid", L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
    SetString(L"Session", L"Session Name", name + L".Session");
    SetString(L"Provider", L"Provider Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF00}");
    SetString(L"Controller", L"Controller Path", L"");
    SetString(L"Controller", L"Owner Mutex Name", name + L".Owner");
}

void TestKey::Remove(const std::wstring& subkey)
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, Full(subkey).c_str());
}

TempFolder::TempFolder()
{
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"WLCfgTest_" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder_.c_str(), nullptr);
}

TempFolder::~TempFolder()
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder_ + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            {
                ::DeleteFileW((folder_ + L"\\" + data.cFileName).c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(folder_.c_str());
}

std::wstring TempFolder::File(const wchar_t* name) const
{
    return folder_ + L"\\" + name;
}

void TempFolder::Write(const wchar_t* name, const std::vector<BYTE>& bytes) const
{
    HANDLE file = ::CreateFileW(File(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    const BOOL ok =
        bytes.empty() || ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
    ASSERT_TRUE(ok);
}

void TempFolder::WriteAnsi(const wchar_t* name, const std::string& text) const
{
    Write(name, std::vector<BYTE>(text.begin(), text.end()));
}

void TempFolder::WriteUtf16(const wchar_t* name, const std::wstring& text) const
{
    std::vector<BYTE> bytes = {0xFF, 0xFE};
    for (wchar_t c : text)
    {
        bytes.push_back(static_cast<BYTE>(c & 0xff));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    Write(name, bytes);
}

std::vector<BYTE> TempFolder::Read(const wchar_t* name) const
{
    std::vector<BYTE> bytes;
    HANDLE file = ::CreateFileW(File(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return bytes;
    }
    BYTE buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
    {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    ::CloseHandle(file);
    return bytes;
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
    {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

} // namespace LogConfigTest
