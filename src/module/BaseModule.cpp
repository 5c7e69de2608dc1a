#include "module/BaseModule.h"

#include "Logging/Log.h"
#include "message/MessageBusClient.h"

namespace Norvan
{

namespace
{
constexpr const wchar_t kLogFile[] = L"BaseModule";
constexpr const wchar_t kRegistrationName[] = L"Unnamed registration";
} // namespace

BaseModule::BaseModule(std::shared_ptr<Plinth::IOCContainer> container)
    : container_(container ? std::move(container) : std::make_shared<Plinth::IOCContainer>())
{
}

BaseModule::~BaseModule() = default;

ModuleStatus BaseModule::initialize()
{
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus BaseModule::start()
{
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus BaseModule::stop()
{
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus BaseModule::uninitialize()
{
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus BaseModule::baseInitialize(const std::wstring& name, const std::wstring& secondaryName,
                                        const ModuleProperties& properties,
                                        std::shared_ptr<internal::ModuleManagerShim> moduleManager,
                                        std::shared_ptr<MessageBus> messageBus)
{
    constexpr const wchar_t* kFunction = L"Norvan::BaseModule::baseInitialize";
    if (&name != &name_)
    {
        name_ = name;
    }
    if (&secondaryName != &secondaryName_)
    {
        secondaryName_ = secondaryName;
    }
    if (&properties != &properties_)
    {
        properties_ = properties;
    }

    if (!moduleManager)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kFunction, L"Invalid module manager object passed to base initialize.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    moduleManager_ = std::move(moduleManager);

    if (!messageBus)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kFunction, L"Invalid message bus object passed to base initialize.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    messageBus_ = std::move(messageBus);

    container_->registerInstance<MessageBus>(kRegistrationName, messageBus_);
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus BaseModule::directMessage(const std::shared_ptr<Message>& message)
{
    constexpr const wchar_t* kFunction = L"Norvan::BaseModule::directMessage";
    auto* client = dynamic_cast<MessageBusClient*>(messageBus_.get());
    if (client == nullptr)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kFunction,
               L"Failed to process direct message. Invalid message bus client.");
        return MODULE_STATUS_INVALID_STATE;
    }

    const ModuleStatus status = client->deliverLocally(message);
    if (status != MODULE_STATUS_SUCCESS)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kFunction,
               L"Failed to process direct message. Module: %ls. Module Status: %ls(%lu)", name_.c_str(),
               moduleStatusName(status), status);
        return status;
    }
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus BaseModule::publish(const std::shared_ptr<Message>& message)
{
    return forward([&](MessageBus& bus) { return bus.publish(message); });
}

ModuleStatus BaseModule::publishEx(const std::shared_ptr<Message>& message)
{
    return forward([&](MessageBus& bus) { return bus.publishEx(message); });
}

ModuleStatus BaseModule::request(const std::shared_ptr<Message>& message, RequestCompletion completion,
                                 const std::chrono::milliseconds& timeout)
{
    return forward([&](MessageBus& bus) { return bus.request(message, std::move(completion), timeout); });
}

ModuleStatus BaseModule::request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                 const std::chrono::milliseconds& timeout)
{
    return forward([&](MessageBus& bus) { return bus.request(message, reply, timeout); });
}

ModuleStatus BaseModule::requestEx(const std::shared_ptr<Message>& message, RequestCompletion completion,
                                   const std::chrono::milliseconds& timeout)
{
    return forward([&](MessageBus& bus) { return bus.requestEx(message, std::move(completion), timeout); });
}

ModuleStatus BaseModule::requestEx(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                   const std::chrono::milliseconds& timeout)
{
    return forward([&](MessageBus& bus) { return bus.requestEx(message, reply, timeout); });
}

ModuleStatus BaseModule::subscribe(const std::wstring& name, const std::wstring& alias, MessageHandler handler)
{
    return forward([&](MessageBus& bus) { return bus.subscribe(name, alias, std::move(handler)); });
}

ModuleStatus BaseModule::subscribe(const std::wstring& name, MessageHandler handler)
{
    return forward([&](MessageBus& bus) { return bus.subscribe(name, std::move(handler)); });
}

ModuleStatus BaseModule::subscribeSession(const std::wstring& name, const std::wstring& alias,
                                          MessageHandler handler)
{
    return forward([&](MessageBus& bus) { return bus.subscribeSession(name, alias, std::move(handler)); });
}

ModuleStatus BaseModule::subscribeSession(const std::wstring& name, MessageHandler handler)
{
    return forward([&](MessageBus& bus) { return bus.subscribeSession(name, std::move(handler)); });
}

ModuleStatus BaseModule::subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                         MessageHandler handler)
{
    return forward([&](MessageBus& bus) { return bus.subscribeFilter(pattern, alias, std::move(handler)); });
}

ModuleStatus BaseModule::subscribeFilter(const std::wstring& pattern, MessageHandler handler)
{
    return forward([&](MessageBus& bus) { return bus.subscribeFilter(pattern, std::move(handler)); });
}

ModuleStatus BaseModule::subscribeFilterSession(const std::wstring& pattern, const std::wstring& alias,
                                                MessageHandler handler)
{
    return forward([&](MessageBus& bus) { return bus.subscribeFilterSession(pattern, alias, std::move(handler)); });
}

ModuleStatus BaseModule::subscribeFilterSession(const std::wstring& pattern, MessageHandler handler)
{
    return forward([&](MessageBus& bus) { return bus.subscribeFilterSession(pattern, std::move(handler)); });
}

ModuleStatus BaseModule::unsubscribe(const std::wstring& alias)
{
    return forward([&](MessageBus& bus) { return bus.unsubscribe(alias); });
}

} // namespace Norvan
