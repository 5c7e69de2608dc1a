#pragma once

#include <windows.h>
#include <objbase.h>

namespace Norvan
{

// COM on the current thread for the object's lifetime. Only an
// initialisation that succeeded is undone: CoUninitialize after a failed one
// would take away what the thread's other users set up.
class ComApartment
{
public:
    explicit ComApartment(DWORD model = COINIT_MULTITHREADED) noexcept : hr_(::CoInitializeEx(nullptr, model))
    {
    }
    ~ComApartment()
    {
        if (SUCCEEDED(hr_))
        {
            ::CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    bool initialized() const noexcept { return SUCCEEDED(hr_); }
    HRESULT result() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

} // namespace Norvan
