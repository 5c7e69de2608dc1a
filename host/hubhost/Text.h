#pragma once

#include <cstdint>
#include <string>

// Conversions and formatting shared by the host's printer and script reader.
namespace hubhost
{

// Invalid sequences become U+FFFD in either direction, so that no input can
// make a line vanish or stop the host.
std::wstring fromUtf8(const std::string& text);
std::string toUtf8(const std::wstring& text);

// A JSON string literal (quotes included) for any text, control characters
// escaped.
std::string jsonQuote(const std::wstring& text);

// "0x8000000E MODULE_STATUS_NO_SUBSCRIBERS"
std::string statusText(std::uint32_t status);
std::string hex32(std::uint32_t value);
std::string hex64(std::uint64_t value);

// Accepts 0x-hex, decimal, "MODULE_STATUS_X" and the short "X" form. False
// for anything else, including numbers that do not fit in 32 bits.
bool parseStatus(const std::string& text, std::uint32_t& status);
bool parseUnsigned(const std::string& text, std::uint64_t& value);

} // namespace hubhost
