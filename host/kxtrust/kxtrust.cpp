// kxtrust.dll stand-in: hands out the validation control as
// "KxtValidationControl2" (generation 2) or "KxtValidationControl"
// (generation 1). Its verdicts are steered by the registry so that tests can
// decide what the library says:
//
//   HKCU\Software\Wardline\Tests\kxtrust
//     Status   (DWORD)  status word returned by Validate (default 0)
//     Verdict  (DWORD)  verdict word returned by Validate (default 0)
//     Refuse   (DWORD)  1: NotComDllGetInterface refuses every name;
//                       2: it refuses "KxtValidationControl2" only
//   written by Validate for the test to read:
//     LastPath (REG_SZ), LastFlags (DWORD), Calls (DWORD)
//
// With no values the library examines nothing and trusts nothing, so the
// caller falls back to its own checks.
//
// Built with KXTRUST_OBJECT_WITH_ERROR it misbehaves: for every name it
// writes an object to `out` and still returns an error, and it does not pin
// itself, so the object is gone once the caller frees the library.

#include <windows.h>

#include <cstring>

#include "trust/KxtValidationControl.h"

namespace
{

constexpr wchar_t kControlKey[] = L"Software\\Wardline\\Tests\\kxtrust";

DWORD readDword(const wchar_t* name, DWORD fallback)
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, kControlKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS)
    {
        return fallback;
    }
    return value;
}

void recordCall(const wchar_t* path, DWORD flags)
{
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kControlKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                          nullptr) != ERROR_SUCCESS)
    {
        return;
    }
    const wchar_t* text = path ? path : L"";
    ::RegSetValueExW(key, L"LastPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                     static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    ::RegSetValueExW(key, L"LastFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags), sizeof(flags));
    const DWORD calls = readDword(L"Calls", 0) + 1;
    ::RegSetValueExW(key, L"Calls", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&calls), sizeof(calls));
    ::RegCloseKey(key);
}

class ValidationControl final : public Norvan::IKxtValidationControl
{
public:
    explicit ValidationControl(DWORD generation) : generation_(generation) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
        {
            return E_POINTER;
        }
        if (riid == IID_IUnknown)
        {
            *object = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
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
    DWORD STDMETHODCALLTYPE GetGeneration() override { return generation_; }
    DWORD STDMETHODCALLTYPE GetValidateCount() override { return static_cast<DWORD>(calls_); }
    DWORD STDMETHODCALLTYPE Validate(const wchar_t* path, DWORD flags,
                                     Norvan::KxtValidationResult* result) override
    {
        ::InterlockedIncrement(&calls_);
        recordCall(path, flags);
        if (!result)
        {
            return ERROR_INVALID_PARAMETER;
        }
        result->status = readDword(L"Status", 0);
        result->verdict = readDword(L"Verdict", 0);
        return ERROR_SUCCESS;
    }

private:
    volatile LONG refs_ = 1;
    volatile LONG calls_ = 0;
    DWORD generation_;
};

} // namespace

extern "C" __declspec(dllexport) DWORD WINAPI NotComDllGetInterface(const char* interfaceName, void** out)
{
    if (!out)
    {
        return ERROR_INVALID_PARAMETER;
    }
    *out = nullptr;
    if (!interfaceName)
    {
        return ERROR_INVALID_PARAMETER;
    }
#ifdef KXTRUST_OBJECT_WITH_ERROR
    *out = static_cast<Norvan::IKxtValidationControl*>(new ValidationControl(2));
    return ERROR_GEN_FAILURE;
#endif
    const DWORD refuse = readDword(L"Refuse", 0);
    DWORD generation = 0;
    if (std::strcmp(interfaceName, "KxtValidationControl2") == 0 && refuse == 0)
    {
        generation = 2;
    }
    else if (std::strcmp(interfaceName, "KxtValidationControl") == 0 && refuse != 1)
    {
        generation = 1;
    }
    if (generation == 0)
    {
        return ERROR_NOT_SUPPORTED;
    }
    // The caller keeps no handle to this library, so it pins itself for the
    // life of the process once it has an object out.
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&NotComDllGetInterface), &self);
    *out = static_cast<Norvan::IKxtValidationControl*>(new ValidationControl(generation));
    return ERROR_SUCCESS;
}
