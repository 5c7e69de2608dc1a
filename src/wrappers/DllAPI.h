#pragma once

#include <windows.h>

namespace Norvan
{

// The system's library functions behind an object, so that tests can replace
// them. Loading goes through the trust validator: only a file with a trusted
// signature is ever loaded.
class DllAPI
{
public:
    virtual ~DllAPI() = default;

    // LoadTrustedLibrary (path, 0); the handle, or null, goes to `module`.
    virtual bool loadLibrary(const wchar_t* path, HMODULE* module);
    virtual FARPROC getProcAddress(HMODULE module, const char* name);
    // The path is not empty and IsFileTrusted accepts it.
    virtual bool isTrusted(const wchar_t* path);
    virtual bool freeLibrary(HMODULE module);
    virtual bool getModuleHandleEx(DWORD flags, const wchar_t* name, HMODULE* module);
};

} // namespace Norvan
