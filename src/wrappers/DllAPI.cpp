#include "wrappers/DllAPI.h"

#include "Logging/Log.h"
#include "trust/TrustValidator.h"

namespace Norvan
{

bool DllAPI::loadLibrary(const wchar_t* path, HMODULE* module)
{
    const HMODULE loaded = LoadTrustedLibrary(path, 0);
    if (module != nullptr)
    {
        *module = loaded;
    }
    if (loaded == nullptr)
    {
        const DWORD error = ::GetLastError();
        WL_LOG(ETWLogging::LevelError, L"wrappers\\DllAPI", L"Norvan::DllAPI::loadLibrary",
               L"LoadLibrary Failed. GLE: %lu", error);
        return false;
    }
    return true;
}

FARPROC DllAPI::getProcAddress(HMODULE module, const char* name)
{
    return ::GetProcAddress(module, name);
}

bool DllAPI::isTrusted(const wchar_t* path)
{
    return path != nullptr && *path != L'\0' && IsFileTrusted(path) == 0;
}

bool DllAPI::freeLibrary(HMODULE module)
{
    return ::FreeLibrary(module) != FALSE;
}

bool DllAPI::getModuleHandleEx(DWORD flags, const wchar_t* name, HMODULE* module)
{
    return ::GetModuleHandleExW(flags, name, module) != FALSE;
}

} // namespace Norvan
