#pragma once

#include "message/Message.h"
#include "module/ModuleStatus.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Norvan
{

// What a subscription runs for each delivered message; its status goes back
// to the host.
using MessageHandler = std::function<ModuleStatus(const std::shared_ptr<Message>&)>;

// The bus client's reply function: (request index, reply message or null,
// bus status). Its address is the reply context of every request.
using ReplyFunction =
    std::function<ModuleStatus(std::uint64_t, const std::shared_ptr<Message>&, ModuleStatus)>;

// The module's object view of one host bus (a handle and its function
// table). Handler and reply contexts are addresses of a MessageHandler and of
// a ReplyFunction that the caller keeps alive while the host may use them.
class MessageBusShim
{
public:
    virtual ~MessageBusShim() = default;

    virtual ModuleStatus publish(const std::shared_ptr<Message>& message, bool extended) = 0;
    virtual ModuleStatus request(const std::shared_ptr<Message>& message, std::uint64_t requestIndex,
                                 void* replyContext, const std::chrono::milliseconds& timeout,
                                 bool extended) = 0;
    virtual ModuleStatus removeReplyCallback() = 0;
    // Subscription id, 0 on failure.
    virtual std::uint32_t subscribe(const std::wstring& name, void* handlerContext) = 0;
    virtual std::uint32_t subscribeFilter(const std::wstring& pattern, void* handlerContext) = 0;
    virtual ModuleStatus unsubscribe(std::uint32_t subscriptionId) = 0;
};

} // namespace Norvan
