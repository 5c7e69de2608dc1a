#pragma once

#include <string>

namespace Norvan::internal
{

// A path that names one place whatever the current directory and drive are:
// "X:\..." (either separator), "\\server\share\..." or "\\?\...".
inline bool isFullPath(const std::wstring& path)
{
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 3 && path[1] == L':' && separator(path[2]))
    {
        const wchar_t drive = path[0];
        return (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
    }
    return path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
}

} // namespace Norvan::internal
