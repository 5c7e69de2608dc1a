// What an attacker plants: a library that says in the process's environment
// that it was loaded ("WARDLINE_PLANTED_LOADED" = its path), with the four
// exports of a host library so that it can pose as one. Built as wl_dep.dll,
// the import of importer.dll.

#include <windows.h>

#include <cstdint>

extern "C"
{
    __declspec(dllexport) int WardlineDependencyAnswer()
    {
        return 42;
    }

    __declspec(dllexport) const void* CreateObject(std::uint32_t)
    {
        static std::uint32_t table = 0;
        return &table;
    }

    __declspec(dllexport) void ReleaseObject() {}

    __declspec(dllexport) const char* GetVersionStr()
    {
        return "6.6.6.6";
    }

    __declspec(dllexport) std::uint32_t GetVersionNum()
    {
        return 6006006;
    }
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        wchar_t path[MAX_PATH] = {};
        ::GetModuleFileNameW(self, path, MAX_PATH);
        ::SetEnvironmentVariableW(L"WARDLINE_PLANTED_LOADED", path);
    }
    return TRUE;
}
