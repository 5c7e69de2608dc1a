#include "Text.h"

#include "module/ModuleStatus.h"

#include <windows.h>

#include <cstdio>

namespace hubhost
{

std::wstring fromUtf8(const std::string& text)
{
    if (text.empty())
    {
        return std::wstring();
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
    {
        return std::wstring();
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

std::string toUtf8(const std::wstring& text)
{
    if (text.empty())
    {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    if (size <= 0)
    {
        return std::string();
    }
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], size, nullptr,
                        nullptr);
    return narrow;
}

std::string jsonQuote(const std::wstring& text)
{
    const std::string utf8 = toUtf8(text);
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8)
    {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c)
        {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20)
            {
                char buf[8];
                std::snprintf(buf, sizeof(buf), "\\u%04x", u);
                out += buf;
            }
            else
            {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string hex32(std::uint32_t value)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08X", static_cast<unsigned>(value));
    return buf;
}

std::string hex64(std::uint64_t value)
{
    char buf[24];
    std::snprintf(buf, sizeof(buf), "0x%016llX", static_cast<unsigned long long>(value));
    return buf;
}

std::string statusText(std::uint32_t status)
{
    return hex32(status) + " " + toUtf8(Norvan::moduleStatusName(status));
}

bool parseUnsigned(const std::string& text, std::uint64_t& value)
{
    if (text.empty())
    {
        return false;
    }
    std::size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    {
        base = 16;
        i = 2;
    }
    std::uint64_t result = 0;
    for (; i < text.size(); ++i)
    {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
        {
            digit = static_cast<unsigned>(c - '0');
        }
        else if (base == 16 && c >= 'a' && c <= 'f')
        {
            digit = static_cast<unsigned>(c - 'a' + 10);
        }
        else if (base == 16 && c >= 'A' && c <= 'F')
        {
            digit = static_cast<unsigned>(c - 'A' + 10);
        }
        else
        {
            return false;
        }
        if (result > (UINT64_MAX - digit) / base)
        {
            return false;
        }
        result = result * base + digit;
    }
    value = result;
    return true;
}

bool parseStatus(const std::string& text, std::uint32_t& status)
{
    std::uint64_t number = 0;
    if (parseUnsigned(text, number))
    {
        if (number > 0xFFFFFFFFull)
        {
            return false;
        }
        status = static_cast<std::uint32_t>(number);
        return true;
    }
    const std::string prefix = "MODULE_STATUS_";
    const std::string full = text.compare(0, prefix.size(), prefix) == 0 ? text : prefix + text;
    // Every defined code lies in these two ranges; the name table is the
    // single source of the spellings.
    const auto matches = [&](std::uint32_t candidate)
    { return toUtf8(Norvan::moduleStatusName(candidate)) == full; };
    if (matches(0))
    {
        status = 0;
        return true;
    }
    for (std::uint32_t candidate = 0x80000001u; candidate <= 0x800000FFu; ++candidate)
    {
        if (full != "MODULE_STATUS_UNKNOWN" && matches(candidate))
        {
            status = candidate;
            return true;
        }
    }
    return false;
}

} // namespace hubhost
