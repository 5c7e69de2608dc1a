#pragma once

#include <windows.h>
#include <objbase.h>

namespace WardlineTest
{

// COM on the current thread for the object's lifetime. Only an
// initialisation that succeeded is undone: CoUninitialize after a failed one
// would take away what the thread's other users set up.
class ScopedCom
{
public:
    explicit ScopedCom(DWORD model = COINIT_MULTITHREADED) noexcept : hr_(::CoInitializeEx(nullptr, model)) {}
    ~ScopedCom()
    {
        if (SUCCEEDED(hr_))
        {
            ::CoUninitialize();
        }
    }
    ScopedCom(const ScopedCom&) = delete;
    ScopedCom& operator=(const ScopedCom&) = delete;

    bool initialized() const noexcept { return SUCCEEDED(hr_); }
    HRESULT result() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

} // namespace WardlineTest
