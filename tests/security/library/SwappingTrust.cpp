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

class SwappingControl final : public Norvan::IKxtValidationControl
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
        {
            return E_POINTER;
        }
        *object = nullptr;
        if (riid != IID_IUnknown)
        {
            return E_NOINTERFACE;
        }
        *object = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = ::InterlockedDecrement(&refs_);
        if (left == 0)
        {
            delete this;
        }
        return static_cast<ULONG>(left);
    }
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

private:
    volatile LONG refs_ = 1;
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
    *out = static_cast<Norvan::IKxtValidationControl*>(new SwappingControl());
    return ERROR_SUCCESS;
}
