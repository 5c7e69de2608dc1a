#include "dll/ThreadRuntime.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace
{

// The first attempt holds the static's guard until told to go on, then throws.
int initialise(HANDLE entered, HANDLE goOn)
{
    static int attempts = 0;
    if (++attempts == 1)
    {
        SetEvent(entered);
        WaitForSingleObject(goOn, INFINITE);
        throw std::runtime_error("first attempt");
    }
    return 42;
}

int g_onceRuns = 0;
void onceRoutine(bool fail)
{
    if (++g_onceRuns, fail)
    {
        throw std::runtime_error("once");
    }
}

struct alignas(64) Line
{
    char text[64];
};
thread_local Line t_line = {"aligned"};

// (GCC 12 leaves a thread_local variable template with a dynamic initialiser
// at zero, whatever the runtime: a class template's member works.)
template <int Factor> struct PerThread
{
    static thread_local int value;
};
volatile int g_seven = 7;
template <int Factor> thread_local int PerThread<Factor>::value = Factor* g_seven;

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
    try
    {
        std::call_once(flag, onceRoutine, fail);
    }
    catch (const std::runtime_error&)
    {
        return -g_onceRuns;
    }
    return g_onceRuns;
}

// The load's first use of thread storage, between a SetLastError and a
// GetLastError.
extern "C" __declspec(dllexport) DWORD ThreadLocals(DWORD error, const Line** line, int* value)
{
    SetLastError(error);
    *line = &t_line;
    error = GetLastError();
    *value = PerThread<6>::value;
    return error;
}

// For rundll32: what the exit handler below does when the library goes, at
// FreeLibrary ("thread-local", "throw") or at ExitProcess while another
// thread is inside a static's initialiser ("exit-while-initialising").
extern "C" __declspec(dllexport) void CALLBACK AtExit(HWND, HINSTANCE, LPSTR what, int)
{
    std::strncpy(g_atExit, what, sizeof(g_atExit) - 1);
    if (std::strcmp(what, "exit-while-initialising") == 0)
    {
        g_events[0] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_events[1] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CreateThread(
            nullptr, 0, [](void*) -> DWORD { return GuardedStatic(g_events[0], g_events[1]); }, nullptr, 0,
            nullptr);
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
                t_line.text[0] = 0;
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
