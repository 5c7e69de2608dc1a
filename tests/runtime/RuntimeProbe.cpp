#include "dll/ThreadRuntime.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace
{

int g_attempts = 0;

// The first attempt holds the static's guard until told to go on, then throws.
int initialise(HANDLE entered, HANDLE goOn)
{
    if (++g_attempts == 1)
    {
        SetEvent(entered);
        WaitForSingleObject(goOn, INFINITE);
        throw std::runtime_error("first attempt");
    }
    return 42;
}

struct alignas(64) Line
{
    char text[64];
};
thread_local Line t_line = {"aligned"};

int scaled(int factor)
{
    return factor * 7;
}
// (GCC 12 leaves a thread_local variable template with a dynamic
// initialiser at zero, whatever the runtime: a class template's member works.)
template <int Factor> struct PerThread
{
    static thread_local int value;
};
template <int Factor> thread_local int PerThread<Factor>::value = scaled(Factor);

thread_local int t_firstUse = 0;

char g_atExit[32] = "";
HANDLE g_events[2] = {};

} // namespace

extern "C" __declspec(dllexport) int GuardedStatic(HANDLE entered, HANDLE goOn)
{
    try
    {
        static const int value = initialise(entered, goOn);
        return value;
    }
    catch (const std::runtime_error&)
    {
        return -1;
    }
}

// Runs of the once routine so far, negative when this call's run threw.
extern "C" __declspec(dllexport) int OnceRuns(bool fail)
{
    static std::once_flag flag;
    static int runs = 0;
    try
    {
        std::call_once(flag,
                       [fail]
                       {
                           ++runs;
                           if (fail)
                           {
                               throw std::runtime_error("once");
                           }
                       });
    }
    catch (const std::runtime_error&)
    {
        return -runs;
    }
    return runs;
}

extern "C" __declspec(dllexport) const Line* AlignedLine()
{
    return &t_line;
}

extern "C" __declspec(dllexport) int TemplateValue()
{
    return PerThread<6>::value;
}

extern "C" __declspec(dllexport) DWORD LastErrorAfterFirstUse(DWORD error)
{
    SetLastError(error);
    t_firstUse = 1;
    return GetLastError();
}

// For rundll32: what the exit handler below does when the library goes, at
// FreeLibrary ("thread-local", "throw") or at ExitProcess while another
// thread is inside a static's initialiser ("exit-while-initialising").
extern "C" __declspec(dllexport) void CALLBACK AtExit(HWND, HINSTANCE, LPSTR what, int)
{
    std::strncpy(g_atExit, what, sizeof(g_atExit) - 1);
    if (std::strcmp(what, "exit-while-initialising") == 0)
    {
        for (HANDLE& event : g_events)
        {
            event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
        CreateThread(nullptr, 0, [](void*) -> DWORD { return GuardedStatic(g_events[0], g_events[1]); }, nullptr,
                     0, nullptr);
        WaitForSingleObject(g_events[0], INFINITE);
        ExitProcess(0);
    }
}

// Registered before the runtime's own handler, hence run after it.
__attribute__((constructor(100))) void registerExitHandler()
{
    std::atexit(
        []
        {
            if (std::strcmp(g_atExit, "thread-local") == 0)
            {
                t_firstUse = 2;
            }
            else if (std::strcmp(g_atExit, "throw") == 0)
            {
                try
                {
                    throw 1;
                }
                catch (int)
                {
                }
            }
            else if (std::strcmp(g_atExit, "exit-while-initialising") == 0)
            {
                TerminateProcess(GetCurrentProcess(), GuardedStatic(g_events[0], g_events[1]));
            }
        });
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_THREAD_DETACH)
    {
        Norvan::runtime::onThreadDetach();
    }
    else if (reason == DLL_PROCESS_DETACH)
    {
        Norvan::runtime::onProcessDetach(reserved != nullptr);
    }
    return TRUE;
}
