#pragma once

#include <windows.h>
#include <unknwn.h>

namespace Norvan
{

// What the trust library's Validate reports: a status word and a verdict
// word. The validator reads status bit 2 (the file was examined) and verdict
// bit 8 (platform above 15.4) or bit 1 (15.4 and older).
struct KxtValidationResult
{
    DWORD status;
    DWORD verdict;
};

// Request flags of Validate: which verdict the caller's platform reads.
constexpr DWORD kKxtValidateFlagsCurrent = 512;
constexpr DWORD kKxtValidateFlagsLegacy = 4;
constexpr DWORD kKxtStatusExamined = 2;
constexpr DWORD kKxtVerdictTrustedCurrent = 8;
constexpr DWORD kKxtVerdictTrustedLegacy = 1;

// The validation control that "kxtrust.dll" hands out as
// "KxtValidationControl2" or "KxtValidationControl". Only Validate (slot 5)
// is used by the module; the library keeps itself loaded while it has
// objects alive, because the caller does not hold a handle to it.
struct IKxtValidationControl : public IUnknown
{
    // Slot 3: the interface generation (1 or 2).
    virtual DWORD STDMETHODCALLTYPE GetGeneration() = 0;
    // Slot 4: number of Validate calls served by this object.
    virtual DWORD STDMETHODCALLTYPE GetValidateCount() = 0;
    // Slot 5.
    virtual DWORD STDMETHODCALLTYPE Validate(const wchar_t* path, DWORD flags,
                                             KxtValidationResult* result) = 0;
};

// Export of the trust library: (ASCII interface name, out interface) -> error.
typedef DWORD(WINAPI* NotComDllGetInterfaceFn)(const char* interfaceName, void** out);

} // namespace Norvan
