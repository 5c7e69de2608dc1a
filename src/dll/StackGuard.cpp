// Seeds the stack protector's canary in every binary of the tree before
// libssp would. libssp seeds it in a constructor of its own through
// CryptAcquireContext, which loads a cryptographic provider: in a DLL that
// runs from the attach, under the loader lock, where loading a library may
// deadlock. Found set, the canary is left alone by libssp's constructor.
// cmake/BuildFlags.cmake links this into every executable and DLL.
#include <windows.h>

#include <ntsecapi.h>

#include <cstdint>

extern "C" std::uintptr_t __stack_chk_guard;

namespace
{

// Priority 101 runs before every constructor of default priority, libssp's
// among them. The function has no canary itself: the one it would check on
// return is the value it replaces.
__attribute__((constructor(101), no_stack_protector)) void seedStackGuard()
{
    if (__stack_chk_guard != 0)
    {
        return;
    }
    std::uintptr_t value = 0;
    // RtlGenRandom (advapi32's SystemFunction036, a forward to cryptbase.dll
    // on newer systems) is bound by the loader with the binary's imports.
    if (!RtlGenRandom(&value, sizeof value) || value == 0)
    {
        // The sources the Visual C++ runtime mixes for its own cookie.
        LARGE_INTEGER counter{};
        QueryPerformanceCounter(&counter);
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        value = static_cast<std::uintptr_t>(counter.QuadPart) ^
                (static_cast<std::uintptr_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) ^
                (static_cast<std::uintptr_t>(GetCurrentProcessId()) << 32) ^ GetCurrentThreadId() ^
                reinterpret_cast<std::uintptr_t>(&value);
    }
    __stack_chk_guard = value;
}

} // namespace
