#include "TestClass.h"

#include "trust/KvCreateInstanceNoAuth.h"

namespace
{

volatile LONG g_objects = 0;

class TestObject final : public TrustTestClass::ITestObject
{
public:
    explicit TestObject(DWORD factory) : factory_(factory) { ::InterlockedIncrement(&g_objects); }
    ~TestObject() { ::InterlockedDecrement(&g_objects); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (!out)
        {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == TrustTestClass::IID_ITestObject)
        {
            *out = static_cast<ITestObject*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
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
    DWORD STDMETHODCALLTYPE FactoryInterface() override { return factory_; }

private:
    volatile LONG refs_ = 1;
    DWORD factory_;
};

class Factory final : public Norvan::IKvClassFactoryNoAuth
{
public:
    Factory(bool first, bool second) : first_(first), second_(second) { ::InterlockedIncrement(&g_objects); }
    ~Factory() { ::InterlockedDecrement(&g_objects); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (!out)
        {
            return E_POINTER;
        }
        *out = nullptr;
        if (riid == IID_IUnknown || (riid == Norvan::IID_IKvClassFactoryNoAuth && first_))
        {
            used_ = 1;
        }
        else if (riid == Norvan::IID_IKvClassFactoryNoAuth2 && second_)
        {
            used_ = 2;
        }
        else
        {
            return E_NOINTERFACE;
        }
        *out = static_cast<IKvClassFactoryNoAuth*>(this);
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
    HRESULT STDMETHODCALLTYPE CreateInstance(REFIID riid, void** out) override
    {
        if (!out)
        {
            return E_POINTER;
        }
        TestObject* object = new TestObject(used_);
        const HRESULT hr = object->QueryInterface(riid, out);
        object->Release();
        return hr;
    }

private:
    volatile LONG refs_ = 1;
    bool first_;
    bool second_;
    DWORD used_ = 0;
};

} // namespace

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out)
{
    if (!out)
    {
        return E_POINTER;
    }
    *out = nullptr;
    Factory* factory = nullptr;
    if (clsid == TrustTestClass::kBothFactories)
    {
        factory = new Factory(true, true);
    }
    else if (clsid == TrustTestClass::kSecondFactoryOnly)
    {
        factory = new Factory(false, true);
    }
    else if (clsid == TrustTestClass::kNoFactory)
    {
        factory = new Factory(false, false);
    }
    else if (clsid == TrustTestClass::kNullFactory)
    {
        return S_OK;
    }
    else
    {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    const HRESULT hr = factory->QueryInterface(riid, out);
    factory->Release();
    return hr;
}

extern "C" HRESULT WINAPI DllCanUnloadNow()
{
    return g_objects == 0 ? S_OK : S_FALSE;
}
