#include "protection/ProtectionManager.h"

#include "Logging/Log.h"
#include "trust/KvCreateInstanceNoAuth.h"
#include "wrappers/ComApartment.h"
#include "wrappers/UniqueResource.h"

#include <memory>

namespace Norvan
{

namespace
{
constexpr const wchar_t kLogFile[] = L"ProtectionManager";
constexpr const wchar_t kCreateFunction[] = L"Norvan::ProtectionManager::CreateProtectionManager2";
constexpr const wchar_t kTakeFunction[] = L"Norvan::ProtectionManager::takeAlertAction";
constexpr const wchar_t kWithinFunction[] = L"Norvan::ProtectionManager::takeAlertActionWithin";

// Calls whose waiter gave up and that are still in the service.
volatile LONG g_unanswered = 0;

// One call on its thread. The waiter frees it, unless it gave up first: then
// the thread does, when the service finally answers.
struct AlertCall
{
    enum : LONG
    {
        Running,
        Finished,
        Abandoned,
    };

    explicit AlertCall(const std::wstring& name) : alert(name) {}

    std::wstring alert;
    HRESULT result = E_UNEXPECTED;
    volatile LONG state = Running;
    // The thread's own reference to this library: a host may unload it while
    // the thread still waits in the service, and the thread must come back
    // to loaded code.
    HMODULE library = nullptr;
};

HRESULT callOnThisThread(const std::wstring& alert) noexcept
{
    try
    {
        const ComApartment com;
        if (!com.initialized())
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, kWithinFunction,
                   L"Error initializing CoInitializeEx: hr 0x%x", com.result());
            return com.result();
        }
        return ProtectionManager::takeAlertAction(alert);
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
}

DWORD WINAPI alertCallThread(void* parameter)
{
    auto* const call = static_cast<AlertCall*>(parameter);
    const HMODULE library = call->library;
    const HRESULT result = callOnThisThread(call->alert);
    call->result = result;
    if (::InterlockedCompareExchange(&call->state, AlertCall::Finished, AlertCall::Running) ==
        AlertCall::Abandoned)
    {
        delete call;
        ::InterlockedDecrement(&g_unanswered);
        WL_LOG(ETWLogging::LevelInformation, kLogFile, kWithinFunction,
               L"The protection manager answered a request given up on: hr 0x%x", result);
    }
    ::FreeLibraryAndExitThread(library, 0);
}

DWORD waitMilliseconds(std::chrono::milliseconds limit) noexcept
{
    if (limit.count() <= 0)
    {
        return 0;
    }
    return limit.count() >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(limit.count());
}

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

HRESULT ProtectionManager::takeAlertActionWithin(const std::wstring& alert, std::chrono::milliseconds limit,
                                                 HANDLE abandon)
{
    if (g_unanswered > 0)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kWithinFunction,
               L"The protection manager has not answered an earlier request yet");
        return RPC_E_TIMEOUT;
    }

    auto call = std::make_unique<AlertCall>(alert);
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&alertCallThread), &call->library))
    {
        const DWORD error = ::GetLastError();
        WL_LOG(ETWLogging::LevelError, kLogFile, kWithinFunction,
               L"Could not start the protection manager call: error %lu", error);
        return HRESULT_FROM_WIN32(error);
    }
    unique_handle thread(::CreateThread(nullptr, 0, &alertCallThread, call.get(), 0, nullptr));
    if (!thread)
    {
        const DWORD error = ::GetLastError();
        ::FreeLibrary(call->library);
        WL_LOG(ETWLogging::LevelError, kLogFile, kWithinFunction,
               L"Could not start the protection manager call: error %lu", error);
        return HRESULT_FROM_WIN32(error);
    }

    // An answer in time: the thread has ended (and given its reference
    // back) before the caller goes on.
    const HANDLE waitFor[] = {thread.get(), abandon};
    DWORD waited =
        ::WaitForMultipleObjects(abandon != nullptr ? 2 : 1, waitFor, FALSE, waitMilliseconds(limit));
    if (waited == WAIT_FAILED)
    {
        waited = ::WaitForSingleObject(thread.get(), waitMilliseconds(limit));
    }
    if (waited == WAIT_OBJECT_0)
    {
        return call->result;
    }

    // Counted before the thread can see the call abandoned, so that its
    // decrement never comes first.
    ::InterlockedIncrement(&g_unanswered);
    if (::InterlockedCompareExchange(&call->state, AlertCall::Abandoned, AlertCall::Running) ==
        AlertCall::Running)
    {
        call.release(); // the thread's now
        if (waited == WAIT_OBJECT_0 + 1)
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, kWithinFunction,
                   L"Stopped waiting for the protection manager: the module is going away");
        }
        else
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, kWithinFunction,
                   L"The protection manager did not answer within %lu ms", waitMilliseconds(limit));
        }
        return RPC_E_TIMEOUT;
    }
    // It answered in the same moment; the thread no longer uses the call.
    ::InterlockedDecrement(&g_unanswered);
    return call->result;
}

} // namespace Norvan
