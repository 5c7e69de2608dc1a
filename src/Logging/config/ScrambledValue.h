#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace Plinth
{

// The scrambled form in which the product's own tools store configuration
// values (registry values and "log.ini" values). It keeps casual readers and
// editors away from a value and refuses any value that was changed by hand;
// it is not a secret: the key is built into every binary that reads it.
//
// Binary form (the "blob"), all integers little-endian:
//
//   offset  size  content
//   0       3     magic 'K' 'V' 'S' (0x4B 0x56 0x53)
//   3       1     form version, 0x01
//   4       1     value type: 0x01 string, 0x04 DWORD
//   5       8     nonce
//   13      n     enciphered value: a DWORD as 4 bytes; a string as its
//                 UTF-16LE characters without terminator (n even, at most
//                 kMaxStringChars characters, no NUL character)
//   13+n    16    check
//
// The value is enciphered by XOR with a key stream whose 8-byte block i is
// SipHash-2-4(cipher key, nonce || i as 64-bit). The nonce is the first 8
// bytes of SipHash-2-4-128(nonce key, version || type || value), so the same
// value always scrambles to the same text. The check is
// SipHash-2-4-128(check key, bytes 0 to 13+n-1). The three 128-bit keys are
// built in.
//
// Text form: the blob as upper-case hexadecimal digits, two per byte, followed
// by two digits of the low byte of the sum of the blob's bytes. This is
// exactly what WritePrivateProfileStructW writes for the blob, so an INI value
// written that way is in text form. The text always starts with "4B565301"
// and is at least 60 digits long; a decimal number never contains 'B', and
// readers treat a text as scrambled only when it is hexadecimal throughout,
// of even length, at least that long and starts with that header. Readers
// accept upper- and lower-case digits.
//
// Where scrambled values are accepted:
// - REG_SZ / REG_EXPAND_SZ values holding the text form, and REG_BINARY
//   values holding the blob (CObfuscatedRegKey);
// - "log.ini" values holding the text form (CObfuscatedIniReader).
// A value in the scrambled shape that fails any check (checksum, check bytes,
// length, type, magic) is refused as a data error; it is never returned as a
// value.
class CScrambledValue
{
public:
    enum Type : BYTE
    {
        TypeString = 1,
        TypeDword = 4,
    };

    static constexpr std::size_t kHeaderBytes = 13;
    static constexpr std::size_t kCheckBytes = 16;
    static constexpr std::size_t kMaxStringChars = 32767;
    static constexpr std::size_t kMinTextChars = 2 * (kHeaderBytes + kCheckBytes + 1);

    Type type = TypeDword;
    DWORD dword = 0;   // the value when type is TypeDword
    std::wstring text; // the value when type is TypeString

    // Build the blob of a value. A string longer than kMaxStringChars or
    // holding a NUL character gives false and an empty blob.
    static bool EncodeDword(DWORD value, std::vector<BYTE>& blob);
    static bool EncodeString(const std::wstring& value, std::vector<BYTE>& blob);

    // The text form of a blob (hex digits and checksum).
    static std::wstring ToText(const std::vector<BYTE>& blob);

    // Convenience: the text form of a value in one step; empty on failure.
    static std::wstring ScrambleDword(DWORD value);
    static std::wstring ScrambleString(const std::wstring& value);

    // True when the data has the shape of the scrambled form (header and
    // length), whether or not its checks hold. Values of that shape are
    // never taken as plain values.
    static bool LooksLikeText(const wchar_t* text, std::size_t length);
    static bool LooksLikeBlob(const BYTE* data, std::size_t length);

    // Unscramble. 0 on success; ERROR_INVALID_DATA when anything is wrong,
    // with out left unchanged.
    static DWORD DecodeText(const wchar_t* text, std::size_t length, CScrambledValue& out);
    static DWORD DecodeBlob(const BYTE* data, std::size_t length, CScrambledValue& out);
};

} // namespace Plinth
