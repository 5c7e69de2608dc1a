#pragma once

namespace Plinth
{

// Value of one hexadecimal digit (either case), or -1 for anything else.
constexpr int HexDigitValue(wchar_t c) noexcept
{
    if (c >= L'0' && c <= L'9')
    {
        return c - L'0';
    }
    if (c >= L'A' && c <= L'F')
    {
        return c - L'A' + 10;
    }
    if (c >= L'a' && c <= L'f')
    {
        return c - L'a' + 10;
    }
    return -1;
}

// Upper-case digit for the low four bits of `value`.
constexpr wchar_t HexDigitChar(unsigned value) noexcept
{
    return L"0123456789ABCDEF"[value & 0x0F];
}

} // namespace Plinth
