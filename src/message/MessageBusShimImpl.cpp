#include "message/MessageBusShimImpl.h"

#include "Logging/Log.h"
#include "module/CallGuarded.h"
#include "module/ModuleException.h"

namespace Norvan
{

namespace
{

constexpr const wchar_t* kLogFile = L"MessageBusShimImpl";

const wchar_t* orEmpty(const wchar_t* text) noexcept
{
    return text != nullptr ? text : L"";
}

// The message a host callback describes. The strings are copied once, here,
// and moved through the factory into the message.
ModuleStatus messageFromHost(std::shared_ptr<Message>& message, const void* contextRecord,
                             const wchar_t* name, const wchar_t* source, const wchar_t* payload)
{
    const ModuleStatus status = createMessage(message, std::wstring(orEmpty(name)),
                                              std::wstring(orEmpty(source)), std::wstring(orEmpty(payload)));
    if (status != MODULE_STATUS_SUCCESS)
    {
        return status;
    }
    copyContext(*message, contextRecord);
    return MODULE_STATUS_SUCCESS;
}

std::uint64_t hostTimeout(const std::chrono::milliseconds& timeout) noexcept
{
    // The host takes an unsigned count: a negative time-out would become
    // hundreds of millions of years there, while the reply gives up at once.
    return timeout.count() > 0 ? static_cast<std::uint64_t>(timeout.count()) : 0;
}

} // namespace

MessageBusShimImpl::MessageBusShimImpl(MessageBusHandle handle, const MessageBusFunctionTable* functions)
    : handle_(handle), functions_(functions)
{
    if (handle_ == nullptr)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusShimImpl::MessageBusShimImpl",
               L"Invalid message bus handle. Throwing ModuleException.");
        throw ModuleException("Invalid message bus handle");
    }
    if (functions_ == nullptr)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusShimImpl::MessageBusShimImpl",
               L"Invalid message bus functions object. Throwing ModuleException.");
        throw ModuleException("Invalid message bus functions object");
    }
}

MessageBusShimImpl::~MessageBusShimImpl()
{
    callGuarded([this] { return removeReplyCallback(); });
}

// A host table with an empty entry is answered as "not implemented" rather
// than by a jump to address zero.

ModuleStatus MessageBusShimImpl::publish(const std::shared_ptr<Message>& message, bool extended)
{
    if (!message)
    {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    const auto entry = extended ? functions_->publishEx : functions_->publish;
    if (entry == nullptr)
    {
        return MODULE_STATUS_NOT_IMPLEMENTED;
    }
    return entry(handle_, message->getContext(), message->getName().c_str(), message->getSource().c_str(),
                 message->getPayload().c_str());
}

ModuleStatus MessageBusShimImpl::request(const std::shared_ptr<Message>& message, std::uint64_t requestIndex,
                                         void* replyContext, const std::chrono::milliseconds& timeout,
                                         bool extended)
{
    if (!message)
    {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    const auto entry = extended ? functions_->requestEx : functions_->request;
    if (entry == nullptr)
    {
        return MODULE_STATUS_NOT_IMPLEMENTED;
    }
    return entry(handle_, requestIndex, replyContext, &MessageBusShimImpl::replyCallback,
                 message->getContext(), message->getName().c_str(), message->getSource().c_str(),
                 message->getPayload().c_str(), hostTimeout(timeout));
}

ModuleStatus MessageBusShimImpl::removeReplyCallback()
{
    if (functions_->removeReplyCallback == nullptr)
    {
        return MODULE_STATUS_NOT_IMPLEMENTED;
    }
    return functions_->removeReplyCallback(handle_, &MessageBusShimImpl::replyCallback);
}

std::uint32_t MessageBusShimImpl::subscribe(const std::wstring& name, void* handlerContext)
{
    if (functions_->subscribe == nullptr)
    {
        return 0;
    }
    return functions_->subscribe(handle_, handlerContext, &MessageBusShimImpl::messageCallback, name.c_str());
}

std::uint32_t MessageBusShimImpl::subscribeFilter(const std::wstring& pattern, void* handlerContext)
{
    if (functions_->subscribeFilter == nullptr)
    {
        return 0;
    }
    return functions_->subscribeFilter(handle_, handlerContext, &MessageBusShimImpl::messageCallback,
                                       pattern.c_str());
}

ModuleStatus MessageBusShimImpl::unsubscribe(std::uint32_t subscriptionId)
{
    if (functions_->unsubscribe == nullptr)
    {
        return MODULE_STATUS_NOT_IMPLEMENTED;
    }
    return functions_->unsubscribe(handle_, subscriptionId);
}

std::uint32_t MessageBusShimImpl::messageCallback(void* handlerContext, const void* contextRecord,
                                                  const wchar_t* name, const wchar_t* source,
                                                  const wchar_t* payload)
{
    return callGuarded(
        [&]() -> ModuleStatus
        {
            if (handlerContext == nullptr)
            {
                return MODULE_STATUS_INVALID_PARAMETER;
            }
            std::shared_ptr<Message> message;
            const ModuleStatus status = messageFromHost(message, contextRecord, name, source, payload);
            if (status != MODULE_STATUS_SUCCESS)
            {
                return status;
            }
            return (*static_cast<MessageHandler*>(handlerContext))(message);
        });
}

std::uint32_t MessageBusShimImpl::replyCallback(void* replyContext, std::uint64_t requestIndex,
                                                const void* contextRecord, const wchar_t* name,
                                                const wchar_t* source, const wchar_t* payload,
                                                std::uint32_t status)
{
    return callGuarded(
        [&]() -> ModuleStatus
        {
            std::shared_ptr<Message> message;
            // A message that cannot be built reaches the client as an empty
            // reply, which its waiter sees as a data error.
            if (status == MODULE_STATUS_SUCCESS)
            {
                messageFromHost(message, contextRecord, name, source, payload);
            }
            if (replyContext == nullptr)
            {
                return MODULE_STATUS_INVALID_PARAMETER;
            }
            return (*static_cast<ReplyFunction*>(replyContext))(requestIndex, message, status);
        });
}

} // namespace Norvan
