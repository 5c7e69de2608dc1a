#include "trust/KvCreateInstanceNoAuth.h"

#include "wrappers/UniqueResource.h"

namespace Norvan
{

HRESULT KvCreateInstanceNoAuth(REFCLSID clsid, IUnknown* /*outer*/, DWORD classContext, REFIID riid,
                               void** object)
{
    if (object == nullptr)
    {
        return E_POINTER;
    }
    *object = nullptr;

    com_ptr<IKvClassFactoryNoAuth> factory;
    HRESULT hr =
        ::CoGetClassObject(clsid, classContext, nullptr, IID_IKvClassFactoryNoAuth, factory.put_void());
    if (FAILED(hr) || !factory)
    {
        hr = ::CoGetClassObject(clsid, classContext, nullptr, IID_IKvClassFactoryNoAuth2, factory.put_void());
        if (FAILED(hr))
        {
            return hr;
        }
        if (!factory)
        {
            return E_NOINTERFACE;
        }
    }
    return factory->CreateInstance(riid, object);
}

} // namespace Norvan
