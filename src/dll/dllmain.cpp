#include <windows.h>

#include "dll/DllLifecycle.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason)
    {
    case DLL_PROCESS_ATTACH:
        Norvan::onProcessAttach(instance);
        break;
    case DLL_PROCESS_DETACH:
        Norvan::onProcessDetach();
        break;
    default:
        break;
    }
    return TRUE;
}
