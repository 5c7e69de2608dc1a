#include "Matching.h"

#include "Json.h"

namespace hubhost
{

bool nameMatches(const std::wstring& pattern, const std::wstring& name)
{
    // Classic wildcard walk with one backtrack point: linear enough for names.
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t star = std::wstring::npos;
    std::size_t resume = 0;
    while (n < name.size())
    {
        if (p < pattern.size() && pattern[p] == L'*')
        {
            star = p++;
            resume = n;
        }
        else if (p < pattern.size() && pattern[p] == name[n])
        {
            ++p;
            ++n;
        }
        else if (star != std::wstring::npos)
        {
            p = star + 1;
            n = ++resume;
        }
        else
        {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
    {
        ++p;
    }
    return p == pattern.size();
}

bool payloadMatches(const std::wstring& expected, const std::wstring& actual)
{
    if (expected.empty() || expected == L"*")
    {
        return true;
    }
    if (expected == actual)
    {
        return true;
    }
    WideDocument want;
    WideDocument got;
    if (!parseJson(expected, want) || !parseJson(actual, got))
    {
        return false;
    }
    return want == got;
}

} // namespace hubhost
