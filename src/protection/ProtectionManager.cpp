#include "protection/ProtectionManager.h"

#include "Logging/Log.h"
#include "trust/KvCreateInstanceNoAuth.h"
#include "wrappers/UniqueResource.h"

namespace Norvan
{

namespace
{
constexpr const wchar_t kLogFile[] = L"ProtectionManager";
constexpr const wchar_t kCreateFunction[] = L"Norvan::ProtectionManager::CreateProtectionManager2";
constexpr const wchar_t kTakeFunction[] = L"Norvan::ProtectionManager::takeAlertAction";
} // namespace

HRESULT ProtectionManager::CreateProtectionManager2(IKvProtectionManager2** manager)
{
    if (manager == nullptr)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kCreateFunction, L"Error: Invalid argument");
        return E_INVALIDARG;
    }
    *manager = nullptr;

    // A step that reports success without its object is a failed step; its
    // (success) HRESULT is what the log line and the caller get.
    com_ptr<IKvSurrogateBroker> broker;
    HRESULT hr = KvCreateInstanceNoAuth(CLSID_KvSurrogateBroker, nullptr, CLSCTX_LOCAL_SERVER,
                                        IID_IKvSurrogateBroker, broker.put_void());
    if (FAILED(hr) || !broker)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kCreateFunction,
               L"We failed in KvCreateInstanceNoAuth for surrogate helper with Error %x", hr);
        return hr;
    }

    com_ptr<IKvLaunchedObject> launched;
    hr = broker->LaunchObject(&KvLaunchedObjectId, launched.put());
    if (FAILED(hr) || !launched)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kCreateFunction, L"We failed in LaunchObject Error %x", hr);
        return hr;
    }

    com_ptr<IKvProtectionManager2> created;
    hr = launched->CreateObject(&KvProtectionManager2Id, created.put());
    if (FAILED(hr) || !created)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kCreateFunction,
               L"We failed in CreateObject for surrogate with Error %x", hr);
        return hr;
    }
    *manager = created.detach();
    return hr;
}

HRESULT ProtectionManager::takeAlertAction(const std::wstring& alert)
{
    const LONG action = IgnoreAction;
    WL_LOG(ETWLogging::LevelInformation, kLogFile, kTakeFunction, L"Alert '%s' with Action '%d'",
           alert.c_str(), action);

    com_ptr<IKvProtectionManager2> manager;
    const HRESULT created = CreateProtectionManager2(manager.put());
    // Success without an interface cannot be called: it counts as a failed
    // creation, like any other.
    if (FAILED(created) || !manager)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kTakeFunction,
               L"Error creating IKvProtectionManager2: hr 0x%x", created);
        return E_FAIL;
    }

    // The service gets its own copy, valid for the whole call.
    const std::wstring name(alert.c_str());
    const HRESULT hr = manager->TakeAlertAction(name.c_str(), action);
    if (FAILED(hr))
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kTakeFunction,
               L"Error IKvProtectionManager2->TakeAlertAction: hr 0x%x", hr);
    }
    return hr;
}

} // namespace Norvan
