#include <windows.h>

#include "dll/DllLifecycle.h"
#include "dll/ThreadRuntime.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason)
    {
    case DLL_PROCESS_ATTACH:
        Norvan::onProcessAttach(instance);
        break;
    case DLL_THREAD_DETACH:
        Norvan::runtime::onThreadDetach();
        break;
    case DLL_PROCESS_DETACH:
        Norvan::onProcessDetach();
        // A non-null `reserved` means the process is exiting, not unloading us.
        Norvan::runtime::onProcessDetach(reserved != nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}
