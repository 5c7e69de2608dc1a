#pragma once

#include "message/MessageBus.h"
#include "message/MessageBusShim.h"
#include "wrappers/ProcessAPI.h"
#include "wrappers/Promise.h"
#include "wrappers/Sync.h"

#include <regex>
#include <unordered_map>
#include <vector>

namespace Norvan
{

// The module's bus: its subscriptions, its publications, and its requests
// with the matching of each reply to its request. The subscription mutex and
// the reply mutex are never held together, and neither is held while a
// handler or a completion runs on the host's delivery path, nor while the
// host withdraws a subscription.
class MessageBusClient : public MessageBus
{
public:
    // A client that finds and loads the host's bus itself; throws
    // ModuleException when it cannot.
    MessageBusClient();
    // Takes both over; an empty ProcessAPI gets the real one. Throws
    // ModuleException for an empty shim.
    MessageBusClient(std::shared_ptr<MessageBusShim> shim, std::shared_ptr<ProcessAPI> processApi);
    // Ends every subscription and withdraws the reply callback; requests
    // still pending are abandoned (their replies end as data errors).
    ~MessageBusClient() override;

    MessageBusClient(const MessageBusClient&) = delete;
    MessageBusClient& operator=(const MessageBusClient&) = delete;

    ModuleStatus publish(const std::shared_ptr<Message>& message) override;
    ModuleStatus publishEx(const std::shared_ptr<Message>& message) override;
    ModuleStatus request(const std::shared_ptr<Message>& message, RequestCompletion completion,
                         const std::chrono::milliseconds& timeout) override;
    ModuleStatus request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                         const std::chrono::milliseconds& timeout) override;
    ModuleStatus requestEx(const std::shared_ptr<Message>& message, RequestCompletion completion,
                           const std::chrono::milliseconds& timeout) override;
    ModuleStatus requestEx(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                           const std::chrono::milliseconds& timeout) override;
    ModuleStatus subscribe(const std::wstring& name, const std::wstring& alias,
                           MessageHandler handler) override;
    ModuleStatus subscribe(const std::wstring& name, MessageHandler handler) override;
    ModuleStatus subscribeSession(const std::wstring& name, const std::wstring& alias,
                                  MessageHandler handler) override;
    ModuleStatus subscribeSession(const std::wstring& name, MessageHandler handler) override;
    ModuleStatus subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                 MessageHandler handler) override;
    ModuleStatus subscribeFilter(const std::wstring& pattern, MessageHandler handler) override;
    ModuleStatus subscribeFilterSession(const std::wstring& pattern, const std::wstring& alias,
                                        MessageHandler handler) override;
    ModuleStatus subscribeFilterSession(const std::wstring& pattern, MessageHandler handler) override;
    ModuleStatus unsubscribe(const std::wstring& alias) override;

    // Where the host's reply for a request index ends up. 0, or
    // MODULE_STATUS_NOT_FOUND for an index that is not (or no longer) pending.
    ModuleStatus replyCallback(std::uint64_t requestIndex, const std::shared_ptr<Message>& message,
                               ModuleStatus status);

    // Hands a message the host sent directly to this module's own matching
    // subscriptions, without the host's bus, on the calling thread. Handler
    // results are ignored; a handler's exception ends the delivery with it.
    // Holds the subscription mutex throughout: the handlers must not
    // subscribe or unsubscribe on this client.
    ModuleStatus deliverLocally(const std::shared_ptr<Message>& message);

    DWORD getSessionId() const noexcept { return sessionId_; }

private:
    struct NameSubscription
    {
        std::uint32_t id = 0;
        std::wstring name;
        // What the host calls: its address is the handler context.
        std::shared_ptr<MessageHandler> handler;
    };
    struct PatternSubscription
    {
        std::uint32_t id = 0;
        std::wstring pattern;
        std::wregex compiled;
        std::shared_ptr<MessageHandler> handler;
    };
    struct AliasEntry
    {
        std::vector<NameSubscription> names;
        std::vector<PatternSubscription> patterns;
    };
    struct PendingReply
    {
        promise<std::shared_ptr<Message>> promise;
        // Only for requests answered through a completion.
        bool hasCompletion = false;
        future<std::shared_ptr<Message>> future;
        RequestCompletion completion;
    };

    ModuleStatus internalPublish(const std::shared_ptr<Message>& message, bool extended);
    ModuleStatus internalRequest(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                 const std::chrono::milliseconds& timeout, bool extended);
    ModuleStatus internalRequest(const std::shared_ptr<Message>& message, RequestCompletion completion,
                                 const std::chrono::milliseconds& timeout, bool extended);
    ModuleStatus sendRequest(const std::shared_ptr<Message>& message,
                             const std::chrono::milliseconds& timeout, bool extended, bool withCompletion,
                             RequestCompletion completion, future<std::shared_ptr<Message>>& future);
    MessageHandler sessionFiltered(MessageHandler handler) const;
    // Never under subscriptionMutex_: the host waits for running handlers.
    void releaseHostSubscriptions(const AliasEntry& entry);

    // Destroyed in reverse: pending requests first (breaking their promises),
    // then the reply function, the subscriptions, processApi_ and shim_.
    std::shared_ptr<MessageBusShim> shim_;
    std::shared_ptr<ProcessAPI> processApi_;
    srw_mutex subscriptionMutex_;
    std::unordered_map<std::wstring, AliasEntry> subscriptions_;
    std::uint64_t nextRequestIndex_ = 0;
    // Its address is the reply context of every request.
    ReplyFunction replyFunction_;
    srw_mutex replyMutex_;
    std::unordered_map<std::uint64_t, PendingReply> pending_;
    DWORD sessionId_ = 0;
};

} // namespace Norvan
