#pragma once

#include "message/MessageBusFunctions.h"
#include "message/MessageBusShim.h"

namespace Norvan
{

// MessageBusShim over a host bus handle and function table. It holds nothing
// else: subscriptions, pending requests and locking belong to the bus client.
// The handle is not released here; whoever obtained it gives it back.
class MessageBusShimImpl : public MessageBusShim
{
public:
    // Throws ModuleException for a null handle or table.
    MessageBusShimImpl(MessageBusHandle handle, const MessageBusFunctionTable* functions);
    // Withdraws the reply callback from the host.
    ~MessageBusShimImpl() override;

    MessageBusShimImpl(const MessageBusShimImpl&) = delete;
    MessageBusShimImpl& operator=(const MessageBusShimImpl&) = delete;

    ModuleStatus publish(const std::shared_ptr<Message>& message, bool extended) override;
    ModuleStatus request(const std::shared_ptr<Message>& message, std::uint64_t requestIndex,
                         void* replyContext, const std::chrono::milliseconds& timeout,
                         bool extended) override;
    ModuleStatus removeReplyCallback() override;
    std::uint32_t subscribe(const std::wstring& name, void* handlerContext) override;
    std::uint32_t subscribeFilter(const std::wstring& pattern, void* handlerContext) override;
    ModuleStatus unsubscribe(std::uint32_t subscriptionId) override;

    // The callbacks handed to the host, exposed so that tests and benchmarks
    // can play the host's part.
    static std::uint32_t messageCallback(void* handlerContext, const void* contextRecord, const wchar_t* name,
                                         const wchar_t* source, const wchar_t* payload);
    static std::uint32_t replyCallback(void* replyContext, std::uint64_t requestIndex,
                                       const void* contextRecord, const wchar_t* name, const wchar_t* source,
                                       const wchar_t* payload, std::uint32_t status);

private:
    MessageBusHandle handle_;
    const MessageBusFunctionTable* functions_;
};

} // namespace Norvan
