// A library that uses the heap in its teardown, as the static destructors of
// every C++ library do: at process exit that runs after the loader ended the
// process's other threads, wherever they were.
#include <windows.h>

#include <cstdlib>

namespace
{
void* volatile g_block;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_DETACH)
    {
        g_block = std::malloc(16);
        std::free(g_block);
    }
    return TRUE;
}
