#pragma once

#include <windows.h>
#include <shlobj.h>

namespace Norvan
{

// The shell's known folders behind an object, so that tests can replace it.
class ShlObjAPI
{
public:
    virtual ~ShlObjAPI() = default;

    // SHGetKnownFolderPath; the caller frees `path` with CoTaskMemFree
    // whatever the result.
    virtual HRESULT getKnownFolderPath(REFKNOWNFOLDERID folder, DWORD flags, HANDLE token, PWSTR* path);
};

} // namespace Norvan
