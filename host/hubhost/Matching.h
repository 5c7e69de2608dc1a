#pragma once

#include <string>

namespace hubhost
{

// How `expect` and `expect-reply` compare what they were given with what
// the bus carried.

// A name with '*' is a pattern where '*' stands for any run of characters.
bool nameMatches(const std::wstring& pattern, const std::wstring& name);

// Empty or "*" matches anything; two JSON texts match when they are the
// same JSON value (member order and spacing aside); anything else must be the
// same text.
bool payloadMatches(const std::wstring& expected, const std::wstring& actual);

} // namespace hubhost
