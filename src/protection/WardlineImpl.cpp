#include "protection/WardlineImpl.h"

#include "Logging/Log.h"
#include "message/JSONParser.h"
#include "message/Message.h"
#include "module/CallGuarded.h"

namespace Norvan
{

namespace
{
constexpr const wchar_t kLogFile[] = L"WardlineImpl";

constexpr const wchar_t kRefreshState[] = L"Core.Protection.RefreshState";
constexpr const wchar_t kInternalState[] = L"Core.Internal.Protection.State";
constexpr const wchar_t kIgnoreFirewall[] = L"Core.Protection.IgnoreFirewall";
constexpr const wchar_t kInternalIgnoreStatus[] = L"Core.Internal.Protection.IgnoreStatus";
constexpr const wchar_t kPublishedState[] = L"Core.Protection.State";
constexpr const wchar_t kStateKey[] = L"state";
} // namespace

WardlineImpl::WardlineImpl(std::shared_ptr<Plinth::IOCContainer> container) : BaseModule(std::move(container))
{
}

WardlineImpl::~WardlineImpl()
{
    // The handlers use this object's members, which are gone by the time the
    // base class gives the bus back: withdraw them while the members live.
    // The bus lets a handler that is already running finish first; an
    // ignore request still waiting for the protection manager stops waiting.
    abandonServiceCalls();
    for (const std::wstring& name : subscribed_)
    {
        callGuarded([&] { return unsubscribe(name); });
    }
}

ModuleStatus WardlineImpl::initialize()
{
    using Handler = ModuleStatus (WardlineImpl::*)(std::shared_ptr<Message>);
    struct Subscription
    {
        const wchar_t* name;
        Handler handler;
    };
    static const Subscription subscriptions[] = {
        {kRefreshState, nullptr}, // answered by publishState, which ignores the message
        {kInternalState, &WardlineImpl::handlerInternalState},
        {kIgnoreFirewall, &WardlineImpl::ignoreFirewallAlert},
        {kInternalIgnoreStatus, &WardlineImpl::internalIgnoreStatus},
    };

    for (const Subscription& subscription : subscriptions)
    {
        MessageHandler handler;
        if (subscription.handler == nullptr)
        {
            handler = [this](std::shared_ptr<Message>) { return publishState(); };
        }
        else
        {
            handler = [this, member = subscription.handler](std::shared_ptr<Message> message)
            { return (this->*member)(std::move(message)); };
        }

        const ModuleStatus status = subscribe(subscription.name, std::move(handler));
        if (status != MODULE_STATUS_SUCCESS)
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::WardlineImpl::initialize",
                   L"subscription to '%s' failed. Status: 0x%08X", subscription.name, status);
            return status;
        }
        subscribed_.emplace_back(subscription.name);
        WL_LOG(ETWLogging::LevelNormal, kLogFile, L"Norvan::WardlineImpl::initialize",
               L"subscribed to '%s' successfully", subscription.name);
    }

    WL_LOG(ETWLogging::LevelNormal, kLogFile, L"Norvan::WardlineImpl::initialize", L"successfully");
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus WardlineImpl::stateMessage(const std::wstring& state, std::shared_ptr<Message>& message) const
{
    JSONParser document;
    document.setString(kStateKey, state);
    std::wstring payload;
    document.toString(payload);
    return createMessage(message, kPublishedState, name(), std::move(payload));
}

ModuleStatus WardlineImpl::publishState()
{
    std::shared_ptr<Message> message;
    std::lock_guard<recursive_mutex> guard(lock_);
    ModuleStatus status = stateMessage(state_, message);
    if (status == MODULE_STATUS_SUCCESS)
    {
        status = publish(message);
    }
    published_ = true;
    return status;
}

ModuleStatus WardlineImpl::handlerInternalState(std::shared_ptr<Message> message)
{
    constexpr const wchar_t* kFunction = L"Norvan::WardlineImpl::handlerInternalState";
    if (!message)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kFunction, L"Incoming data is NULL");
        return MODULE_STATUS_DATA_ERROR;
    }

    const std::wstring& payload = message->getPayload();
    JSONParser document;
    if (!document.parse(payload))
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kFunction, L"could not parse JSON '%s'", payload.c_str());
        return MODULE_STATUS_DATA_ERROR;
    }

    std::wstring reported;
    if (!document.getString(kStateKey, reported))
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kFunction,
               L"could not get value for key '%s' from JSON '%s'", kStateKey, payload.c_str());
        return MODULE_STATUS_DATA_ERROR;
    }

    // The publication and the old state are freed after the lock is released.
    std::shared_ptr<Message> publication;
    std::lock_guard<recursive_mutex> guard(lock_);
    if (published_ && reported == state_)
    {
        return MODULE_STATUS_SUCCESS;
    }
    // Built before the state changes: when memory runs out, the state stays
    // the one last published, and the same report is published when it comes
    // again.
    const ModuleStatus built = stateMessage(reported, publication);
    if (built != MODULE_STATUS_SUCCESS)
    {
        return built;
    }
    state_.swap(reported);
    published_ = true;
    return publish(publication);
}

} // namespace Norvan
