#include "Logging/config/RegKey.h"

#include "Logging/config/RegKeyImpl.h"
#include "Logging/config/ScrambledValue.h"
#include "common/Hex.h"

#include <cstring>
#include <new>
#include <utility>

namespace Plinth
{
namespace internal
{

DWORD CRegKeyImpl::Open(HKEY root, const wchar_t* path, REGSAM access)
{
    key_.reset();
    if (root == nullptr)
    {
        return ERROR_INVALID_HANDLE;
    }
    return static_cast<DWORD>(::RegOpenKeyExW(root, path, 0, access, key_.put()));
}

DWORD CRegKeyImpl::QueryRaw(const wchar_t* name, DWORD& type, std::vector<BYTE>& data)
{
    if (!key_)
    {
        return ERROR_INVALID_HANDLE;
    }
    try
    {
        // The value may grow between the size query and the read; try again
        // a few times rather than read a cut value.
        for (int attempt = 0; attempt < 4; ++attempt)
        {
            DWORD size = 0;
            LSTATUS status = ::RegQueryValueExW(key_.get(), name, nullptr, &type, nullptr, &size);
            if (status != ERROR_SUCCESS)
            {
                return static_cast<DWORD>(status);
            }
            if (size > kMaxValueBytes)
            {
                return ERROR_INVALID_DATA;
            }
            data.assign(size + 2, 0);
            DWORD got = size + 2;
            status = ::RegQueryValueExW(key_.get(), name, nullptr, &type, data.data(), &got);
            if (status == ERROR_MORE_DATA)
            {
                continue;
            }
            if (status != ERROR_SUCCESS)
            {
                return static_cast<DWORD>(status);
            }
            data.resize(got);
            return 0;
        }
        return ERROR_MORE_DATA;
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_OUTOFMEMORY;
    }
}

std::wstring CRegKeyImpl::TextOf(const std::vector<BYTE>& data)
{
    std::wstring text;
    const std::size_t chars = data.size() / 2;
    for (std::size_t i = 0; i < chars; ++i)
    {
        const wchar_t c = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (c == L'\0')
        {
            break;
        }
        text.push_back(c);
    }
    return text;
}

DWORD CRegKeyImpl::ToDword(DWORD type, const std::vector<BYTE>& data, DWORD& value)
{
    if (type != REG_DWORD)
    {
        return ERROR_UNSUPPORTED_TYPE;
    }
    if (data.size() != sizeof(DWORD))
    {
        return ERROR_INVALID_DATA;
    }
    value = static_cast<DWORD>(data[0]) | (static_cast<DWORD>(data[1]) << 8) |
            (static_cast<DWORD>(data[2]) << 16) | (static_cast<DWORD>(data[3]) << 24);
    return 0;
}

DWORD CRegKeyImpl::ToString(DWORD type, const std::vector<BYTE>& data, std::wstring& value)
{
    if (!IsStringType(type))
    {
        return ERROR_UNSUPPORTED_TYPE;
    }
    value = TextOf(data);
    return 0;
}

template <typename T, typename Convert>
DWORD CRegKeyImpl::ReadAs(const wchar_t* name, T& value, Convert convert)
{
    try
    {
        DWORD type = 0;
        std::vector<BYTE> data;
        DWORD status = QueryRaw(name, type, data);
        if (status != 0)
        {
            return status;
        }
        T result{};
        status = convert(type, data, result);
        if (status == 0)
        {
            value = std::move(result);
        }
        return status;
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_OUTOFMEMORY;
    }
}

DWORD CRegKeyImpl::ReadDword(const wchar_t* name, DWORD& value)
{
    return ReadAs(name, value,
                  [this](DWORD type, const std::vector<BYTE>& data, DWORD& result)
                  { return ToDword(type, data, result); });
}

DWORD CRegKeyImpl::ReadString(const wchar_t* name, std::wstring& value)
{
    return ReadAs(name, value,
                  [this](DWORD type, const std::vector<BYTE>& data, std::wstring& result)
                  { return ToString(type, data, result); });
}

DWORD CRegKeyImpl::ReadGuid(const wchar_t* name, GUID& value)
{
    return ReadAs(name, value,
                  [this](DWORD type, const std::vector<BYTE>& data, GUID& result) -> DWORD
                  {
                      if (type == REG_BINARY && data.size() == sizeof(GUID))
                      {
                          std::memcpy(&result, data.data(), sizeof(GUID));
                          return 0;
                      }
                      std::wstring text;
                      const DWORD status = ToString(type, data, text);
                      if (status != 0)
                      {
                          return status;
                      }
                      return CRegKey::ParseGuid(text.c_str(), text.size(), result) ? 0 : ERROR_INVALID_DATA;
                  });
}

DWORD CObfuscatedRegKeyImpl::ToDword(DWORD type, const std::vector<BYTE>& data, DWORD& value)
{
    CScrambledValue decoded;
    DWORD status = ERROR_UNSUPPORTED_TYPE;
    if (IsStringType(type))
    {
        const std::wstring text = TextOf(data);
        if (!CScrambledValue::LooksLikeText(text.c_str(), text.size()))
        {
            return ERROR_UNSUPPORTED_TYPE;
        }
        status = CScrambledValue::DecodeText(text.c_str(), text.size(), decoded);
    }
    else if (type == REG_BINARY)
    {
        if (!CScrambledValue::LooksLikeBlob(data.data(), data.size()))
        {
            return ERROR_UNSUPPORTED_TYPE;
        }
        status = CScrambledValue::DecodeBlob(data.data(), data.size(), decoded);
    }
    else
    {
        return CRegKeyImpl::ToDword(type, data, value);
    }
    if (status != 0)
    {
        return status;
    }
    if (decoded.type != CScrambledValue::TypeDword)
    {
        return ERROR_INVALID_DATA;
    }
    value = decoded.dword;
    return 0;
}

DWORD CObfuscatedRegKeyImpl::ToString(DWORD type, const std::vector<BYTE>& data, std::wstring& value)
{
    CScrambledValue decoded;
    DWORD status = 0;
    if (IsStringType(type))
    {
        std::wstring text = TextOf(data);
        if (!CScrambledValue::LooksLikeText(text.c_str(), text.size()))
        {
            value.swap(text);
            return 0;
        }
        status = CScrambledValue::DecodeText(text.c_str(), text.size(), decoded);
    }
    else if (type == REG_BINARY && CScrambledValue::LooksLikeBlob(data.data(), data.size()))
    {
        status = CScrambledValue::DecodeBlob(data.data(), data.size(), decoded);
    }
    else
    {
        return ERROR_UNSUPPORTED_TYPE;
    }
    if (status != 0)
    {
        return status;
    }
    if (decoded.type != CScrambledValue::TypeString)
    {
        return ERROR_INVALID_DATA;
    }
    value.swap(decoded.text);
    return 0;
}

} // namespace internal

namespace
{

// Reads `count` hex digits into an unsigned number; false on a non-digit.
bool ReadHex(const wchar_t* p, int count, unsigned long long& out) noexcept
{
    out = 0;
    for (int i = 0; i < count; ++i)
    {
        const int d = HexDigitValue(p[i]);
        if (d < 0)
        {
            return false;
        }
        out = (out << 4) | static_cast<unsigned>(d);
    }
    return true;
}

} // namespace

bool CRegKey::ParseGuid(const wchar_t* text, std::size_t length, GUID& value)
{
    if (text == nullptr)
    {
        return false;
    }
    if (length == 38)
    {
        if (text[0] != L'{' || text[37] != L'}')
        {
            return false;
        }
        ++text;
        length = 36;
    }
    if (length != 36 || text[8] != L'-' || text[13] != L'-' || text[18] != L'-' || text[23] != L'-')
    {
        return false;
    }
    unsigned long long d1 = 0, d2 = 0, d3 = 0, d4 = 0, d5 = 0;
    if (!ReadHex(text, 8, d1) || !ReadHex(text + 9, 4, d2) || !ReadHex(text + 14, 4, d3) ||
        !ReadHex(text + 19, 4, d4) || !ReadHex(text + 24, 12, d5))
    {
        return false;
    }
    GUID result{};
    result.Data1 = static_cast<unsigned long>(d1);
    result.Data2 = static_cast<unsigned short>(d2);
    result.Data3 = static_cast<unsigned short>(d3);
    result.Data4[0] = static_cast<unsigned char>(d4 >> 8);
    result.Data4[1] = static_cast<unsigned char>(d4);
    for (int i = 0; i < 6; ++i)
    {
        result.Data4[2 + i] = static_cast<unsigned char>(d5 >> (8 * (5 - i)));
    }
    value = result;
    return true;
}

CRegKey::CRegKey() : impl_(new internal::CRegKeyImpl()) {}

CRegKey::CRegKey(std::unique_ptr<internal::CRegKeyImpl> impl) : impl_(std::move(impl)) {}

CRegKey::~CRegKey() = default;

DWORD CRegKey::Open(HKEY root, const wchar_t* path, REGSAM access)
{
    return impl_->Open(root, path, access);
}

void CRegKey::Close()
{
    impl_->Close();
}

HKEY CRegKey::Handle() const
{
    return impl_->Handle();
}

DWORD CRegKey::ReadDword(const wchar_t* name, DWORD& value)
{
    return impl_->ReadDword(name, value);
}

DWORD CRegKey::ReadString(const wchar_t* name, std::wstring& value)
{
    return impl_->ReadString(name, value);
}

DWORD CRegKey::ReadGuid(const wchar_t* name, GUID& value)
{
    return impl_->ReadGuid(name, value);
}

CObfuscatedRegKey::CObfuscatedRegKey()
    : CRegKey(std::unique_ptr<internal::CRegKeyImpl>(new internal::CObfuscatedRegKeyImpl()))
{
}

} // namespace Plinth
