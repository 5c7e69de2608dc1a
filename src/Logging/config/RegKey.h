#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

namespace Plinth
{

namespace internal
{
class CRegKeyImpl;
}

// Reader of one registry key. A facade over an implementation object, so
// that the plain reader and the scrambled-value reader share one shape and
// callers can hold either through a CRegKey.
//
// Results are Windows error numbers: 0 on success; the registry's own error
// (2 for a missing key or value, 5 for denied access, ...); 6 when the key is
// not open; 1630 (ERROR_UNSUPPORTED_TYPE) when the value has a type the
// operation does not read; 13 (ERROR_INVALID_DATA) when the data is
// malformed (wrong DWORD size, bad GUID text, values over 1 MiB, refused
// scrambled values); 14 when memory runs out. On any failure the out value
// is left unchanged.
//
// Accepted value forms:
// - ReadDword: REG_DWORD (exactly 4 bytes).
// - ReadString: REG_SZ or REG_EXPAND_SZ (not expanded); the text ends at the
//   first NUL or at the end of the data, whichever comes first.
// - ReadGuid: a REG_SZ / REG_EXPAND_SZ text of 32 hexadecimal digits in the
//   8-4-4-4-12 grouping, with or without one pair of surrounding braces
//   ("{E16CA450-55CC-11E0-B8AF-0800200C9A66}"), digits in either case, nothing
//   else around it; or a REG_BINARY of exactly 16 bytes in GUID memory layout.
class CRegKey
{
public:
    CRegKey();
    virtual ~CRegKey();
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // Opens root\path with the access mask, closing any key opened before.
    // A null root gives 6.
    virtual DWORD Open(HKEY root, const wchar_t* path, REGSAM access);
    virtual void Close();
    // The open key (to open subkeys below it), or null.
    virtual HKEY Handle() const;

    // A null or empty name reads the key's default value.
    virtual DWORD ReadDword(const wchar_t* name, DWORD& value);
    virtual DWORD ReadString(const wchar_t* name, std::wstring& value);
    virtual DWORD ReadGuid(const wchar_t* name, GUID& value);

    // Parses the GUID text forms that ReadGuid accepts.
    static bool ParseGuid(const wchar_t* text, std::size_t length, GUID& value);

protected:
    explicit CRegKey(std::unique_ptr<internal::CRegKeyImpl> impl);

private:
    std::unique_ptr<internal::CRegKeyImpl> impl_;
};

// The same reader, which also accepts values that the product's tools stored
// in the scrambled form (see ScrambledValue.h), in addition to every plain
// form CRegKey reads:
// - ReadDword: a REG_SZ / REG_EXPAND_SZ holding the text form, or a
//   REG_BINARY holding the blob, of a scrambled DWORD;
// - ReadString: the same carrying a scrambled string;
// - ReadGuid: the same carrying a scrambled string that is GUID text.
// A value in the scrambled shape that fails its checks, or names the other
// type, gives 13 and is never handed out as plain text.
class CObfuscatedRegKey : public CRegKey
{
public:
    CObfuscatedRegKey();
};

} // namespace Plinth
