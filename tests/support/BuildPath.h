#pragma once

#include <string>

namespace WardlineTest
{

// A path of the build tree (as CMake wrote it) seen from Wine: drive Z:.
inline std::wstring fromBuildPath(const char* unixPath)
{
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p)
    {
        path.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
    return path;
}

} // namespace WardlineTest
