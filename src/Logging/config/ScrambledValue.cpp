#include "Logging/config/ScrambledValue.h"

#include "Logging/config/SipHash.h"
#include "common/Hex.h"

#include <cstring>
#include <new>

namespace Plinth
{
namespace
{

using details::SipHash128;
using details::SipHash64;

constexpr BYTE kMagic[3] = {'K', 'V', 'S'};
constexpr BYTE kVersion = 0x01;
constexpr std::size_t kNonceOffset = 5;
constexpr std::size_t kNonceBytes = 8;

// Built-in keys. Changing any of them makes every stored value unreadable.
constexpr std::uint8_t kCipherKey[16] = {0x3A, 0x91, 0x5C, 0xE7, 0x08, 0xB4, 0x6F, 0x22,
                                         0xD1, 0x47, 0x8E, 0x13, 0xA9, 0x60, 0xF5, 0x2B};
constexpr std::uint8_t kCheckKey[16] = {0xC4, 0x1D, 0x72, 0x9B, 0x35, 0xE0, 0x4A, 0x86,
                                        0x5F, 0xBB, 0x07, 0x6C, 0x93, 0x28, 0xDE, 0x11};
constexpr std::uint8_t kNonceKey[16] = {0x6E, 0xA2, 0x19, 0xF0, 0x84, 0x3D, 0xC7, 0x5B,
                                        0x20, 0x9A, 0xE3, 0x4F, 0x71, 0x0C, 0xB8, 0xD6};

void Crypt(const BYTE* nonce, BYTE* data, std::size_t length) noexcept
{
    BYTE block[16];
    std::memcpy(block, nonce, kNonceBytes);
    for (std::size_t offset = 0; offset < length; offset += 8)
    {
        const std::uint64_t counter = offset / 8;
        for (int i = 0; i < 8; ++i)
        {
            block[8 + i] = static_cast<BYTE>(counter >> (8 * i));
        }
        const std::uint64_t stream = SipHash64(kCipherKey, block, sizeof(block));
        for (std::size_t i = 0; i < 8 && offset + i < length; ++i)
        {
            data[offset + i] ^= static_cast<BYTE>(stream >> (8 * i));
        }
    }
}

bool Encode(CScrambledValue::Type type, const BYTE* value, std::size_t length, std::vector<BYTE>& blob)
{
    blob.clear();
    try
    {
        std::vector<BYTE> nonceInput;
        nonceInput.reserve(2 + length);
        nonceInput.push_back(kVersion);
        nonceInput.push_back(static_cast<BYTE>(type));
        nonceInput.insert(nonceInput.end(), value, value + length);
        BYTE nonce[16];
        SipHash128(kNonceKey, nonceInput.data(), nonceInput.size(), nonce);

        blob.reserve(CScrambledValue::kHeaderBytes + length + CScrambledValue::kCheckBytes);
        blob.insert(blob.end(), kMagic, kMagic + 3);
        blob.push_back(kVersion);
        blob.push_back(static_cast<BYTE>(type));
        blob.insert(blob.end(), nonce, nonce + kNonceBytes);
        blob.insert(blob.end(), value, value + length);
        Crypt(blob.data() + kNonceOffset, blob.data() + CScrambledValue::kHeaderBytes, length);

        BYTE check[16];
        SipHash128(kCheckKey, blob.data(), blob.size(), check);
        blob.insert(blob.end(), check, check + CScrambledValue::kCheckBytes);
        return true;
    }
    catch (const std::bad_alloc&)
    {
        blob.clear();
        return false;
    }
}

} // namespace

bool CScrambledValue::EncodeDword(DWORD value, std::vector<BYTE>& blob)
{
    BYTE bytes[4];
    for (int i = 0; i < 4; ++i)
    {
        bytes[i] = static_cast<BYTE>(value >> (8 * i));
    }
    return Encode(TypeDword, bytes, sizeof(bytes), blob);
}

bool CScrambledValue::EncodeString(const std::wstring& value, std::vector<BYTE>& blob)
{
    blob.clear();
    if (value.size() > kMaxStringChars || value.find(L'\0') != std::wstring::npos)
    {
        return false;
    }
    std::vector<BYTE> bytes;
    try
    {
        bytes.reserve(value.size() * 2);
        for (wchar_t c : value)
        {
            bytes.push_back(static_cast<BYTE>(c & 0xff));
            bytes.push_back(static_cast<BYTE>((c >> 8) & 0xff));
        }
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    return Encode(TypeString, bytes.data(), bytes.size(), blob);
}

std::wstring CScrambledValue::ToText(const std::vector<BYTE>& blob)
{
    std::wstring text;
    if (blob.empty())
    {
        return text;
    }
    try
    {
        text.reserve(blob.size() * 2 + 2);
        BYTE sum = 0;
        for (BYTE b : blob)
        {
            text.push_back(HexDigitChar(b >> 4));
            text.push_back(HexDigitChar(b));
            sum = static_cast<BYTE>(sum + b);
        }
        text.push_back(HexDigitChar(sum >> 4));
        text.push_back(HexDigitChar(sum));
    }
    catch (const std::bad_alloc&)
    {
        text.clear();
    }
    return text;
}

std::wstring CScrambledValue::ScrambleDword(DWORD value)
{
    std::vector<BYTE> blob;
    return EncodeDword(value, blob) ? ToText(blob) : std::wstring();
}

std::wstring CScrambledValue::ScrambleString(const std::wstring& value)
{
    std::vector<BYTE> blob;
    return EncodeString(value, blob) ? ToText(blob) : std::wstring();
}

bool CScrambledValue::LooksLikeText(const wchar_t* text, std::size_t length)
{
    static const wchar_t header[] = L"4B565301";
    if (text == nullptr || length < kMinTextChars || length % 2 != 0)
    {
        return false;
    }
    for (std::size_t i = 0; i < 8; ++i)
    {
        if (HexDigitValue(text[i]) != HexDigitValue(header[i]))
        {
            return false;
        }
    }
    for (std::size_t i = 8; i < length; ++i)
    {
        if (HexDigitValue(text[i]) < 0)
        {
            return false;
        }
    }
    return true;
}

bool CScrambledValue::LooksLikeBlob(const BYTE* data, std::size_t length)
{
    return data != nullptr && length >= kHeaderBytes + kCheckBytes && std::memcmp(data, kMagic, 3) == 0 &&
           data[3] == kVersion;
}

DWORD CScrambledValue::DecodeText(const wchar_t* text, std::size_t length, CScrambledValue& out)
{
    if (!LooksLikeText(text, length))
    {
        return ERROR_INVALID_DATA;
    }
    std::vector<BYTE> blob;
    try
    {
        blob.reserve(length / 2);
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_INVALID_DATA;
    }
    BYTE sum = 0;
    for (std::size_t i = 0; i + 2 < length; i += 2)
    {
        const BYTE b = static_cast<BYTE>(HexDigitValue(text[i]) * 16 + HexDigitValue(text[i + 1]));
        blob.push_back(b);
        sum = static_cast<BYTE>(sum + b);
    }
    const BYTE stored =
        static_cast<BYTE>(HexDigitValue(text[length - 2]) * 16 + HexDigitValue(text[length - 1]));
    if (stored != sum)
    {
        return ERROR_INVALID_DATA;
    }
    return DecodeBlob(blob.data(), blob.size(), out);
}

DWORD CScrambledValue::DecodeBlob(const BYTE* data, std::size_t length, CScrambledValue& out)
{
    if (!LooksLikeBlob(data, length))
    {
        return ERROR_INVALID_DATA;
    }
    const BYTE type = data[4];
    const std::size_t valueBytes = length - kHeaderBytes - kCheckBytes;
    if (type == TypeDword)
    {
        if (valueBytes != 4)
        {
            return ERROR_INVALID_DATA;
        }
    }
    else if (type == TypeString)
    {
        if (valueBytes % 2 != 0 || valueBytes / 2 > kMaxStringChars)
        {
            return ERROR_INVALID_DATA;
        }
    }
    else
    {
        return ERROR_INVALID_DATA;
    }

    BYTE check[16];
    SipHash128(kCheckKey, data, kHeaderBytes + valueBytes, check);
    if (std::memcmp(check, data + kHeaderBytes + valueBytes, kCheckBytes) != 0)
    {
        return ERROR_INVALID_DATA;
    }

    std::vector<BYTE> value;
    std::wstring text;
    try
    {
        value.assign(data + kHeaderBytes, data + kHeaderBytes + valueBytes);
        Crypt(data + kNonceOffset, value.data(), value.size());
        if (type == TypeString)
        {
            text.reserve(valueBytes / 2);
            for (std::size_t i = 0; i < valueBytes; i += 2)
            {
                const wchar_t c = static_cast<wchar_t>(value[i] | (value[i + 1] << 8));
                if (c == L'\0')
                {
                    return ERROR_INVALID_DATA;
                }
                text.push_back(c);
            }
        }
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_INVALID_DATA;
    }

    if (type == TypeDword)
    {
        out.type = TypeDword;
        out.dword = static_cast<DWORD>(value[0]) | (static_cast<DWORD>(value[1]) << 8) |
                    (static_cast<DWORD>(value[2]) << 16) | (static_cast<DWORD>(value[3]) << 24);
        out.text.clear();
    }
    else
    {
        out.type = TypeString;
        out.dword = 0;
        out.text.swap(text);
    }
    return 0;
}

} // namespace Plinth
