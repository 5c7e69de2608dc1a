#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Registry and file fixtures of the logging configuration tests. Keys live
// under HKLM "SOFTWARE\Korvex.logging\WLCfgTest_*", files under a folder of
// the temp folder; both are removed before and after each use.
namespace LogConfigTest
{

class TestKey
{
public:
    // relative: below HKLM "SOFTWARE\Korvex.logging".
    explicit TestKey(const std::wstring& relative);
    ~TestKey();
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    const std::wstring& Path() const { return path_; }
    // Creates root path + "\" + subkey (or the key itself for empty).
    void Create(const std::wstring& subkey = L"");
    void SetDword(const std::wstring& subkey, const wchar_t* name, DWORD value);
    void SetString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                   DWORD type = REG_SZ);
    void SetRaw(const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data, DWORD size);
    void Remove(const std::wstring& subkey);
    // The values a profile key must hold: session, provider and controller,
    // named after `name` where a name is asked for.
    void WriteRequiredProfileValues(const std::wstring& name);

private:
    std::wstring Full(const std::wstring& subkey) const;
    std::wstring path_;
};

class TempFolder
{
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::wstring File(const wchar_t* name) const;
    void Write(const wchar_t* name, const std::vector<BYTE>& bytes) const;
    void WriteAnsi(const wchar_t* name, const std::string& text) const;
    void WriteUtf16(const wchar_t* name, const std::wstring& text) const;
    std::vector<BYTE> Read(const wchar_t* name) const;

private:
    std::wstring folder_;
};

std::string Narrow(const std::wstring& text);

} // namespace LogConfigTest
