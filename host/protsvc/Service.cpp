#include "Service.h"

#include "protsvc/ServiceControl.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace ProtSvc
{

namespace
{

// Wine's stubs hand the service an interface id where their buffer holds it,
// not always on the four-byte boundary a GUID has; binding a reference to it
// (as operator== does) is undefined. Each call reads it into a copy first,
// through its address only.
GUID idAt(const void* id)
{
    GUID copy;
    std::memcpy(&copy, id, sizeof copy);
    return copy;
}

volatile LONG g_liveObjects = 0;
volatile LONG g_createdObjects = 0;
volatile LONG g_callsInProgress = 0;
volatile LONG g_factoryConnections = 0;

// What this process did with each alert, for GetAlertAction and
// GetActionCount. The record file is the lasting account.
std::mutex g_alertsLock;
std::map<std::wstring, LONG> g_alerts;
DWORD g_actionCount = 0;

// One call of a step, from its start to its answer: the service does not end
// while a call is still to be answered.
class CallInProgress
{
public:
    CallInProgress() { ::InterlockedIncrement(&g_callsInProgress); }
    ~CallInProgress() { ::InterlockedDecrement(&g_callsInProgress); }
    CallInProgress(const CallInProgress&) = delete;
    CallInProgress& operator=(const CallInProgress&) = delete;
};

// Asks the control key whether the step must hang, and hangs while it says
// so; then whether the step must fail. Writes the record entry for the call
// either way. Returns true when the step must fail, with the result to give.
bool toldToFail(Step step, const std::wstring& subject, LONG action, HRESULT& result)
{
    Entry entry;
    entry.processId = ::GetCurrentProcessId();
    entry.step = step;
    entry.subject = subject;
    entry.action = action;
    if (readHang() == step)
    {
        entry.hanging = true;
        appendRecord(entry);
        entry.hanging = false;
        const DWORD start = ::GetTickCount();
        while (readHang() == step && ::GetTickCount() - start < kHangLimitMs)
        {
            ::Sleep(50);
        }
    }

    const Failure failure = readFailure();
    entry.toldToFail = failure.step == step;
    if (entry.toldToFail)
    {
        result = failure.result;
    }
    entry.result = result;
    appendRecord(entry);
    return entry.toldToFail;
}

HRESULT serviceProcessId(DWORD* processId)
{
    if (processId == nullptr)
    {
        return E_POINTER;
    }
    *processId = ::GetCurrentProcessId();
    return S_OK;
}

// Reference counting and QueryInterface for one interface; every object
// counts as live from construction to destruction.
template <typename Interface> class Object : public Interface
{
public:
    Object()
    {
        ::InterlockedIncrement(&g_liveObjects);
        ::InterlockedIncrement(&g_createdObjects);
    }
    virtual ~Object() { ::InterlockedDecrement(&g_liveObjects); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID wanted, void** out) override
    {
        if (out == nullptr)
        {
            return E_POINTER;
        }
        const GUID riid = idAt(&wanted);
        if (riid == IID_IUnknown || riid == iid())
        {
            *out = static_cast<Interface*>(this);
            this->AddRef();
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

protected:
    virtual const IID& iid() const = 0;

private:
    volatile LONG refs_ = 1;
};

class ProtectionManager final : public Object<IKvProtectionManager2>
{
public:
    HRESULT STDMETHODCALLTYPE GetServiceProcessId(DWORD* processId) override
    {
        return serviceProcessId(processId);
    }
    HRESULT STDMETHODCALLTYPE GetAlertAction(LPCWSTR alert, LONG* action) override
    {
        if (alert == nullptr || action == nullptr)
        {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(g_alertsLock);
        const auto found = g_alerts.find(alert);
        *action = found == g_alerts.end() ? 0 : found->second;
        return found == g_alerts.end() ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetActionCount(DWORD* count) override
    {
        if (count == nullptr)
        {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(g_alertsLock);
        *count = g_actionCount;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE TakeAlertAction(LPCWSTR alert, LONG action) override
    {
        const CallInProgress call;
        if (alert == nullptr)
        {
            return E_POINTER;
        }
        HRESULT hr = S_OK;
        if (toldToFail(Step::TakeAlertAction, alert, action, hr))
        {
            return hr;
        }
        std::lock_guard<std::mutex> guard(g_alertsLock);
        g_alerts[alert] = action;
        ++g_actionCount;
        return S_OK;
    }

protected:
    const IID& iid() const override { return IID_IKvProtectionManager2; }
};

class LaunchedObject final : public Object<IKvLaunchedObject>
{
public:
    HRESULT STDMETHODCALLTYPE CreateObject(REFGUID wantedId, IKvProtectionManager2** manager) override
    {
        const CallInProgress call;
        if (manager == nullptr)
        {
            return E_POINTER;
        }
        *manager = nullptr;
        const GUID id = idAt(&wantedId);
        HRESULT hr = id == kProtectionManagerId ? S_OK : E_NOINTERFACE;
        if (toldToFail(Step::CreateObject, guidText(id), 0, hr) || FAILED(hr))
        {
            return hr;
        }
        *manager = new ProtectionManager;
        return S_OK;
    }

protected:
    const IID& iid() const override { return IID_IKvLaunchedObject; }
};

class SurrogateBroker final : public Object<IKvSurrogateBroker>
{
public:
    HRESULT STDMETHODCALLTYPE GetServiceProcessId(DWORD* processId) override
    {
        return serviceProcessId(processId);
    }
    HRESULT STDMETHODCALLTYPE LaunchObject(REFGUID wantedId, IKvLaunchedObject** object) override
    {
        const CallInProgress call;
        if (object == nullptr)
        {
            return E_POINTER;
        }
        *object = nullptr;
        const GUID id = idAt(&wantedId);
        HRESULT hr = id == kLaunchedObjectId ? S_OK : CLASS_E_CLASSNOTAVAILABLE;
        if (toldToFail(Step::LaunchObject, guidText(id), 0, hr) || FAILED(hr))
        {
            return hr;
        }
        *object = new LaunchedObject;
        return S_OK;
    }

protected:
    const IID& iid() const override { return IID_IKvSurrogateBroker; }
};

// COM tells the factory through IExternalConnection whether clients outside
// the process hold it: a client may take the class object and call
// CreateInstance only later, so holding it keeps the service serving.
class BrokerFactory final : public IKvClassFactoryNoAuth, public IExternalConnection
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID wanted, void** out) override
    {
        if (out == nullptr)
        {
            return E_POINTER;
        }
        const GUID riid = idAt(&wanted);
        if (riid == IID_IUnknown || riid == IID_IKvClassFactoryNoAuth)
        {
            *out = static_cast<IKvClassFactoryNoAuth*>(this);
            return S_OK;
        }
        if (riid == IID_IExternalConnection)
        {
            *out = static_cast<IExternalConnection*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    DWORD STDMETHODCALLTYPE AddConnection(DWORD type, DWORD) override
    {
        return (type & EXTCONN_STRONG) != 0
                   ? static_cast<DWORD>(::InterlockedIncrement(&g_factoryConnections))
                   : 0;
    }
    DWORD STDMETHODCALLTYPE ReleaseConnection(DWORD type, DWORD, BOOL) override
    {
        return (type & EXTCONN_STRONG) != 0
                   ? static_cast<DWORD>(::InterlockedDecrement(&g_factoryConnections))
                   : 0;
    }
    // Static: the process owns the factory.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(REFIID wanted, void** object) override
    {
        const CallInProgress call;
        if (object == nullptr)
        {
            return E_POINTER;
        }
        const GUID riid = idAt(&wanted);
        *object = nullptr;
        HRESULT hr = riid == IID_IUnknown || riid == IID_IKvSurrogateBroker ? S_OK : E_NOINTERFACE;
        if (toldToFail(Step::CreateInstance, guidText(riid), 0, hr) || FAILED(hr))
        {
            return hr;
        }
        SurrogateBroker* broker = new SurrogateBroker;
        hr = broker->QueryInterface(riid, object);
        broker->Release();
        return hr;
    }
};

BrokerFactory g_factory;

} // namespace

IKvClassFactoryNoAuth* brokerFactory()
{
    return &g_factory;
}

LONG liveObjects()
{
    return g_liveObjects;
}

LONG createdObjects()
{
    return g_createdObjects;
}

LONG callsInProgress()
{
    return g_callsInProgress;
}

LONG factoryConnections()
{
    return g_factoryConnections;
}

} // namespace ProtSvc
