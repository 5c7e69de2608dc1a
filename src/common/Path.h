#pragma once

#include <windows.h>

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

// The full path of a loaded module (nullptr: the process's executable), as
// long as the system makes it; empty when it cannot be had.
inline std::wstring moduleFileName(HMODULE module)
{
    std::wstring name(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD written = ::GetModuleFileNameW(module, &name[0], static_cast<DWORD>(name.size()));
        if (written == 0)
        {
            return std::wstring();
        }
        if (written < name.size())
        {
            name.resize(written);
            return name;
        }
        if (name.size() >= 32768)
        {
            return std::wstring();
        }
        name.resize(name.size() * 2);
    }
}

} // namespace Norvan::internal
