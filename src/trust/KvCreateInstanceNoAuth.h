#pragma once

#include <windows.h>
#include <objbase.h>

namespace Norvan
{

// The class factory that the product's services expose to clients that do
// not authenticate: like IClassFactory, but CreateInstance (slot 3) takes no
// outer object.
struct IKvClassFactoryNoAuth : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(REFIID riid, void** object) = 0;
};

// Asked for first.
inline constexpr IID IID_IKvClassFactoryNoAuth = {
    0xFD542581, 0x722E, 0x45BE, {0xBE, 0xD4, 0x62, 0xA1, 0xBE, 0x46, 0xAF, 0x03}};
// Asked for when the first is refused.
inline constexpr IID IID_IKvClassFactoryNoAuth2 = {
    0x6058502E, 0x6069, 0x43F4, {0xB7, 0x33, 0x12, 0x86, 0x49, 0xA2, 0x0B, 0xD5}};

// Creates an object through the class's unauthenticated factory. The outer
// object is ignored (the factory cannot aggregate). E_POINTER for a null out
// pointer; otherwise *object is set to null first.
HRESULT KvCreateInstanceNoAuth(REFCLSID clsid, IUnknown* outer, DWORD classContext, REFIID riid,
                               void** object);

} // namespace Norvan
