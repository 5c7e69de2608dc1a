#include "trust/KvCreateInstanceNoAuth.h"

#include "wrappers/UniqueResource.h"

namespace Norvan
{

const IID IID_IKvClassFactoryNoAuth = {0xFD542581, 0x722E, 0x45BE, {0xBE, 0xD4, 0x62, 0xA1, 0xBE, 0x46, 0xAF, 0x03}};
const IID IID_IKvClassFactoryNoAuth2 = {0x6058502E, 0x6069, 0x43F4, {0xB7, 0x33, 0x12, 0x86, 0x49, 0xA2, 0x0B, 0xD5}};

HRESULT KvCreateInstanceNoAuth(REFCLSID clsid, IUnknown* /*outer*/, DWORD classContext, REFIID riid, void** object)
{
    if (object == nullptr)
    {
        return E_POINTER;
    }
    *object = nullptr;

    com_ptr<IKvClassFactoryNoAuth> factory;
    HRESULT hr = ::CoGetClassObject(clsid, classContext, nullptr, IID_IKvClassFactoryNoAuth, factory.put_void());
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
