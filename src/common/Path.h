#pragma once

#include <string>

namespace Norvan::internal
{

// The folder part of a path (either separator), without the last separator;
// empty when there is none.
inline std::wstring folderOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

} // namespace Norvan::internal
