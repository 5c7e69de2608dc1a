// A trust library (signed like the maker's) whose validation control plays
// the attacker at the worst moment: while the validator is judging a file,
// it moves the file named by "WARDLINE_SWAP_FROM" over it, then declares the
// original trusted. "WARDLINE_SWAP_RESULT" says whether the move got through
// ("moved") or not ("refused <error>").

#include <windows.h>

#include <cwchar>

#include "trust/KxtValidationControl.h"

namespace
{

// One object for the process, pinned with its library: counting references
// would only decide when to free what lives until the process ends.
class SwappingControl final : public Norvan::IKxtValidationControl
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object)
        {
            *object = riid == IID_IUnknown ? static_cast<IUnknown*>(this) : nullptr;
        }
        return object == nullptr ? E_POINTER : *object != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    DWORD STDMETHODCALLTYPE GetGeneration() override { return 2; }
    DWORD STDMETHODCALLTYPE GetValidateCount() override { return 0; }
    DWORD STDMETHODCALLTYPE Validate(const wchar_t* path, DWORD, Norvan::KxtValidationResult* result) override
    {
        wchar_t from[MAX_PATH] = {};
        if (path && ::GetEnvironmentVariableW(L"WARDLINE_SWAP_FROM", from, MAX_PATH) > 0)
        {
            wchar_t outcome[64] = L"moved";
            if (!::MoveFileExW(from, path, MOVEFILE_REPLACE_EXISTING))
            {
                std::swprintf(outcome, 64, L"refused %lu", ::GetLastError());
            }
            ::SetEnvironmentVariableW(L"WARDLINE_SWAP_RESULT", outcome);
        }
        if (!result)
        {
            return ERROR_INVALID_PARAMETER;
        }
        result->status = Norvan::kKxtStatusExamined;
        result->verdict = Norvan::kKxtVerdictTrustedCurrent | Norvan::kKxtVerdictTrustedLegacy;
        return ERROR_SUCCESS;
    }
};

} // namespace

extern "C" __declspec(dllexport) DWORD WINAPI NotComDllGetInterface(const char*, void** out)
{
    if (!out)
    {
        return ERROR_INVALID_PARAMETER;
    }
    // The caller keeps no handle to this library while it holds the object.
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&NotComDllGetInterface), &self);
    static SwappingControl control;
    *out = static_cast<Norvan::IKxtValidationControl*>(&control);
    return ERROR_SUCCESS;
}
