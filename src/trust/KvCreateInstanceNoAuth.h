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

// {FD542581-722E-45BE-BED4-62A1BE46AF03}: asked for first.
extern const IID IID_IKvClassFactoryNoAuth;
// {6058502E-6069-43F4-B733-128649A20BD5}: asked for when the first is refused.
extern const IID IID_IKvClassFactoryNoAuth2;

// Creates an object through the class's unauthenticated factory. The outer
// object is ignored (the factory cannot aggregate). E_POINTER for a null out
// pointer; otherwise *object is set to null first.
HRESULT KvCreateInstanceNoAuth(REFCLSID clsid, IUnknown* outer, DWORD classContext, REFIID riid, void** object);

} // namespace Norvan
