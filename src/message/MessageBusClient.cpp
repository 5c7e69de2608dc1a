#include "message/MessageBusClient.h"

#include "Logging/Log.h"
#include "message/DefaultBusShim.h"
#include "message/ReplyImpl.h"
#include "module/CallGuarded.h"
#include "module/ModuleException.h"

#include <system_error>

namespace Norvan
{

namespace
{

constexpr const wchar_t* kLogFile = L"MessageBusClient";

// The pattern compiler and matcher of the C++ library recurse: a pattern of
// a few thousand nested groups, or a match against a name of many thousand
// characters, would overflow a host thread's stack. Patterns are bounded in
// length and nesting, and names longer than a bus takes are matched by no
// pattern (their exact-name subscribers still get them).
constexpr std::size_t kMaxPatternChars = 1024;
constexpr int kMaxPatternNesting = 32;
constexpr std::size_t kMaxMatchedNameChars = 1024;

bool withinPatternBounds(const std::wstring& pattern)
{
    if (pattern.size() > kMaxPatternChars)
    {
        return false;
    }
    int depth = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i)
    {
        if (pattern[i] == L'\\')
        {
            ++i;
        }
        else if (pattern[i] == L'(' && ++depth > kMaxPatternNesting)
        {
            return false;
        }
        else if (pattern[i] == L')' && depth > 0)
        {
            --depth;
        }
    }
    return true;
}

// The C++ library's regex compiler reads the counts of a {n,m} repetition and
// the number of a back-reference (\1) into an int without checking for
// overflow, which is undefined behaviour; a number of more digits than this
// is refused as the bad brace or back-reference it is before the compiler sees
// it.
constexpr unsigned kMaxNumberDigits = 9;

// True, with the regex_error code to refuse it with, when the pattern holds
// an overlong number.
bool overlongNumber(const std::wstring& pattern, std::regex_constants::error_type& error)
{
    const auto isDigit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
    bool inCount = false;
    unsigned digits = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i)
    {
        const wchar_t c = pattern[i];
        digits = inCount && isDigit(c) ? digits + 1 : 0;
        if (digits > kMaxNumberDigits)
        {
            error = std::regex_constants::error_badbrace;
            return true;
        }
        if (c == L'\\')
        {
            std::size_t end = i + 1;
            while (end < pattern.size() && isDigit(pattern[end]))
            {
                ++end;
            }
            if (end - (i + 1) > kMaxNumberDigits)
            {
                error = std::regex_constants::error_backref;
                return true;
            }
            i = end > i + 1 ? end - 1 : i + 1;
        }
        else if (c == L'{' || c == L'}')
        {
            inCount = c == L'{';
        }
    }
    return false;
}

std::shared_ptr<MessageBusShim> checkedShim(std::shared_ptr<MessageBusShim> shim)
{
    // Every operation goes through the shim; a client without one could
    // only crash later, on a bus thread.
    if (!shim)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusClient::MessageBusClient",
               L"Invalid message bus shim. Throwing ModuleException.");
        throw ModuleException("Invalid message bus shim");
    }
    return shim;
}

std::exception_ptr busError(std::errc condition)
{
    // The condition travels in a system_error, which the reply reads.
    return std::make_exception_ptr(std::system_error(std::make_error_code(condition)));
}

// What the host calls through a subscription's context. Each delivery takes
// a reference of its own to the handler before calling it: a handler may
// withdraw its own subscription (the host does not wait for the caller's own
// callback), and the record that owned it is then gone while it still runs.
// After taking that reference the entry touches nothing of its own.
std::shared_ptr<MessageHandler> hostEntry(MessageHandler handler)
{
    auto owned = std::make_shared<const MessageHandler>(std::move(handler));
    return std::make_shared<MessageHandler>(
        [owned = std::move(owned)](const std::shared_ptr<Message>& message) -> ModuleStatus
        {
            // A copy on purpose: the handler may withdraw its own subscription,
            // which destroys `owned` while it runs.
            // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
            const std::shared_ptr<const MessageHandler> held = owned;
            return (*held)(message);
        });
}

} // namespace

MessageBusClient::MessageBusClient() : MessageBusClient(internal::createDefaultMessageBusShim(), nullptr) {}

MessageBusClient::MessageBusClient(std::shared_ptr<MessageBusShim> shim,
                                   std::shared_ptr<ProcessAPI> processApi)
    : shim_(checkedShim(std::move(shim))), processApi_(std::move(processApi))
{
    if (!processApi_)
    {
        processApi_ = std::make_shared<ProcessAPI>();
    }
    replyFunction_ = [this](std::uint64_t requestIndex, const std::shared_ptr<Message>& message,
                            ModuleStatus status) { return replyCallback(requestIndex, message, status); };

    const DWORD processId = processApi_->GetCurrentProcessId();
    DWORD sessionId = 0;
    if (processApi_->ProcessIdToSessionId(processId, &sessionId))
    {
        sessionId_ = sessionId;
        WL_LOG(ETWLogging::LevelNormal, kLogFile, L"Norvan::MessageBusClient::MessageBusClient",
               L"Found session id %ld for process %ld", sessionId_, processId);
    }
    else
    {
        sessionId_ = 0;
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusClient::MessageBusClient",
               L"Failed to get the session id for process %ld - defaulting to %ld", processId, 0L);
    }
}

MessageBusClient::~MessageBusClient()
{
    callGuarded(
        [this]() -> ModuleStatus
        {
            // Withdrawn outside the lock, as in unsubscribe.
            std::unordered_map<std::wstring, AliasEntry> withdrawn;
            {
                lock_guard<srw_mutex> lock(subscriptionMutex_);
                withdrawn.swap(subscriptions_);
            }
            for (const auto& aliasEntry : withdrawn)
            {
                releaseHostSubscriptions(aliasEntry.second);
            }
            withdrawn.clear();
            return shim_->removeReplyCallback();
        });
}

ModuleStatus MessageBusClient::publish(const std::shared_ptr<Message>& message)
{
    return internalPublish(message, false);
}

ModuleStatus MessageBusClient::publishEx(const std::shared_ptr<Message>& message)
{
    return internalPublish(message, true);
}

ModuleStatus MessageBusClient::request(const std::shared_ptr<Message>& message, RequestCompletion completion,
                                       const std::chrono::milliseconds& timeout)
{
    return internalRequest(message, std::move(completion), timeout, false);
}

ModuleStatus MessageBusClient::request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                       const std::chrono::milliseconds& timeout)
{
    return internalRequest(message, reply, timeout, false);
}

ModuleStatus MessageBusClient::requestEx(const std::shared_ptr<Message>& message,
                                         RequestCompletion completion,
                                         const std::chrono::milliseconds& timeout)
{
    return internalRequest(message, std::move(completion), timeout, true);
}

ModuleStatus MessageBusClient::requestEx(const std::shared_ptr<Message>& message,
                                         std::shared_ptr<Reply>& reply,
                                         const std::chrono::milliseconds& timeout)
{
    return internalRequest(message, reply, timeout, true);
}

ModuleStatus MessageBusClient::subscribe(const std::wstring& name, const std::wstring& alias,
                                         MessageHandler handler)
{
    lock_guard<srw_mutex> lock(subscriptionMutex_);
    auto& names = subscriptions_[alias].names;
    names.push_back(NameSubscription{0, name, hostEntry(std::move(handler))});
    NameSubscription& record = names.back();
    record.id = shim_->subscribe(name, record.handler.get());
    if (record.id != 0)
    {
        return MODULE_STATUS_SUCCESS;
    }
    WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusClient::subscribe",
           L"Failed to subscribe. Alias: %ls Message name: %ls", alias.c_str(), name.c_str());
    names.pop_back();
    return MODULE_STATUS_UNSUCCESSFUL;
}

ModuleStatus MessageBusClient::subscribe(const std::wstring& name, MessageHandler handler)
{
    return subscribe(name, name, std::move(handler));
}

ModuleStatus MessageBusClient::subscribeSession(const std::wstring& name, const std::wstring& alias,
                                                MessageHandler handler)
{
    return subscribe(name, alias, sessionFiltered(std::move(handler)));
}

ModuleStatus MessageBusClient::subscribeSession(const std::wstring& name, MessageHandler handler)
{
    return subscribeSession(name, name, std::move(handler));
}

ModuleStatus MessageBusClient::subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                               MessageHandler handler)
{
    if (!withinPatternBounds(pattern))
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusClient::subscribeFilter",
               L"subscribeFilter failed. Pattern too long or too deeply nested (%zu characters)",
               pattern.size());
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    try
    {
        // The host matches on the text; compiling here only refuses patterns
        // that are not valid before the host ever sees them.
        std::regex_constants::error_type error{};
        if (overlongNumber(pattern, error))
        {
            throw std::regex_error(error);
        }
        std::wregex compiled(pattern, std::regex_constants::ECMAScript | std::regex_constants::nosubs |
                                          std::regex_constants::optimize);

        lock_guard<srw_mutex> lock(subscriptionMutex_);
        auto& patterns = subscriptions_[alias].patterns;
        patterns.push_back(
            PatternSubscription{0, pattern, std::move(compiled), hostEntry(std::move(handler))});
        PatternSubscription& record = patterns.back();
        record.id = shim_->subscribeFilter(pattern, record.handler.get());
        if (record.id != 0)
        {
            return MODULE_STATUS_SUCCESS;
        }
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusClient::subscribeFilter",
               L"Failed to subscribeFilter. Alias: %ls Message nameRegex: %ls", alias.c_str(),
               pattern.c_str());
        patterns.pop_back();
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    catch (const std::regex_error& error)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusClient::subscribeFilter",
               L"subscribeFilter failed. Regex error with regex \"%ls\" [caught: %hs]", pattern.c_str(),
               error.what());
        return MODULE_STATUS_INVALID_PARAMETER;
    }
}

ModuleStatus MessageBusClient::subscribeFilter(const std::wstring& pattern, MessageHandler handler)
{
    return subscribeFilter(pattern, pattern, std::move(handler));
}

ModuleStatus MessageBusClient::subscribeFilterSession(const std::wstring& pattern, const std::wstring& alias,
                                                      MessageHandler handler)
{
    return subscribeFilter(pattern, alias, sessionFiltered(std::move(handler)));
}

ModuleStatus MessageBusClient::subscribeFilterSession(const std::wstring& pattern, MessageHandler handler)
{
    return subscribeFilterSession(pattern, pattern, std::move(handler));
}

ModuleStatus MessageBusClient::unsubscribe(const std::wstring& alias)
{
    // The host's withdrawal waits for the subscription's running handlers,
    // and those may subscribe or unsubscribe on this client: the entry leaves
    // the table under the lock, and is withdrawn and destroyed after it.
    AliasEntry withdrawn;
    {
        lock_guard<srw_mutex> lock(subscriptionMutex_);
        const auto found = subscriptions_.find(alias);
        if (found == subscriptions_.end())
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, L"Norvan::MessageBusClient::unsubscribe",
                   L"Subscription not found. Alias: %ls.", alias.c_str());
            return MODULE_STATUS_SUCCESS;
        }
        withdrawn = std::move(found->second);
        subscriptions_.erase(found);
    }
    releaseHostSubscriptions(withdrawn);
    return MODULE_STATUS_SUCCESS;
}

void MessageBusClient::releaseHostSubscriptions(const AliasEntry& entry)
{
    for (const auto& subscription : entry.names)
    {
        shim_->unsubscribe(subscription.id);
    }
    for (const auto& subscription : entry.patterns)
    {
        shim_->unsubscribe(subscription.id);
    }
}

MessageHandler MessageBusClient::sessionFiltered(MessageHandler handler) const
{
    if (sessionId_ == 0)
    {
        return handler;
    }
    return [handler = std::move(handler),
            sessionId = sessionId_](const std::shared_ptr<Message>& message) -> ModuleStatus
    {
        if (message)
        {
            const MessageContext* context = message->getContext();
            if (context->version == kMessageContextVersion2 && context->sessionId != 0 &&
                context->sessionId != sessionId)
            {
                return MODULE_STATUS_SUCCESS; // another session's message: not ours to handle
            }
        }
        return handler(message);
    };
}

ModuleStatus MessageBusClient::internalPublish(const std::shared_ptr<Message>& message, bool extended)
{
    if (!message)
    {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    // A reply published by the module also goes, as a plain message, to the
    // ordinary subscribers of its name, once per message object.
    MessageContext* context = message->getContext();
    const std::uint32_t flagsBefore = context->flags;
    const bool copyDue = (flagsBefore & kMessageFlagReply) != 0 &&
                         (flagsBefore & (kMessageFlagNoCopy | kMessageFlagCopyPublished)) == 0;
    if (copyDue)
    {
        context->flags |= kMessageFlagCopyPublished;
    }

    const ModuleStatus status = shim_->publish(message, extended);
    if (status != MODULE_STATUS_SUCCESS)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusClient::internalPublish",
               L"Failed to publish message. Error code %lu.", status);
        // Nothing went out, so nothing is marked as sent: publishing the
        // same message again must still produce its copy.
        context->flags = flagsBefore;
        return status;
    }
    if (!copyDue)
    {
        return MODULE_STATUS_SUCCESS;
    }

    context->flags &= ~kMessageFlagReply;
    context->replyRouting = 0;
    const ModuleStatus copyStatus = shim_->publish(message, extended);
    if (copyStatus != MODULE_STATUS_SUCCESS)
    {
        WL_LOG(ETWLogging::LevelWarning, kLogFile, L"Norvan::MessageBusClient::internalPublish",
               L"Failed to publish non-reply copy of the message. Error code %lu.", copyStatus);
    }
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus MessageBusClient::sendRequest(const std::shared_ptr<Message>& message,
                                           const std::chrono::milliseconds& timeout, bool extended,
                                           bool withCompletion, RequestCompletion completion,
                                           future<std::shared_ptr<Message>>& future)
{
    std::uint64_t requestIndex = 0;
    {
        lock_guard<srw_mutex> lock(replyMutex_);
        requestIndex = nextRequestIndex_++;
        const auto inserted = pending_.try_emplace(requestIndex);
        if (!inserted.second)
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusClient::internalRequest",
                   L"Unable to create reply promise. Returning.");
            return MODULE_STATUS_UNSUCCESSFUL;
        }
        PendingReply& pending = inserted.first->second;
        if (withCompletion)
        {
            pending.hasCompletion = true;
            pending.future = pending.promise.get_future();
            pending.completion = std::move(completion);
        }
        else
        {
            future = pending.promise.get_future();
        }
    }

    const ModuleStatus status = shim_->request(message, requestIndex, &replyFunction_, timeout, extended);
    if (status != MODULE_STATUS_SUCCESS)
    {
        // The entry goes away with its completion uncalled, destroyed
        // outside the lock since the completion is the caller's object.
        PendingReply abandoned;
        {
            lock_guard<srw_mutex> lock(replyMutex_);
            const auto found = pending_.find(requestIndex);
            if (found != pending_.end())
            {
                abandoned = std::move(found->second);
                pending_.erase(found);
            }
        }
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::MessageBusClient::internalRequest",
               L"Failed to make request. Error code %lu.", status);
        return status;
    }
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus MessageBusClient::internalRequest(const std::shared_ptr<Message>& message,
                                               std::shared_ptr<Reply>& reply,
                                               const std::chrono::milliseconds& timeout, bool extended)
{
    future<std::shared_ptr<Message>> future;
    const ModuleStatus status = sendRequest(message, timeout, extended, false, RequestCompletion(), future);
    if (status != MODULE_STATUS_SUCCESS)
    {
        return status;
    }
    reply = std::make_shared<ReplyImpl>(std::move(future), timeout);
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus MessageBusClient::internalRequest(const std::shared_ptr<Message>& message,
                                               RequestCompletion completion,
                                               const std::chrono::milliseconds& timeout, bool extended)
{
    future<std::shared_ptr<Message>> unused;
    return sendRequest(message, timeout, extended, true, std::move(completion), unused);
}

ModuleStatus MessageBusClient::replyCallback(std::uint64_t requestIndex,
                                             const std::shared_ptr<Message>& message, ModuleStatus status)
{
    PendingReply pending;
    {
        lock_guard<srw_mutex> lock(replyMutex_);
        const auto found = pending_.find(requestIndex);
        if (found == pending_.end())
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, L"Norvan::MessageBusClient::replyCallback",
                   L"Reply index not found. Returning");
            return MODULE_STATUS_NOT_FOUND;
        }
        pending = std::move(found->second);
        pending_.erase(found);
    }

    if (status == MODULE_STATUS_SUCCESS)
    {
        pending.promise.set_value(message);
    }
    else if (status == MODULE_STATUS_TIMEOUT)
    {
        pending.promise.set_exception(busError(std::errc::operation_canceled));
    }
    else
    {
        pending.promise.set_exception(busError(std::errc::no_message_available));
    }

    if (pending.hasCompletion)
    {
        callGuarded(
            [&pending]() -> ModuleStatus
            {
                auto reply =
                    std::make_shared<ReplyImpl>(std::move(pending.future), std::chrono::milliseconds(0));
                reply->wait();
                if (pending.completion)
                {
                    pending.completion(reply);
                }
                return MODULE_STATUS_SUCCESS;
            });
    }
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus MessageBusClient::deliverLocally(const std::shared_ptr<Message>& message)
{
    if (!message)
    {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    const std::wstring& name = message->getName();
    const bool matchable = name.size() <= kMaxMatchedNameChars;
    lock_guard<srw_mutex> lock(subscriptionMutex_);
    for (const auto& aliasEntry : subscriptions_)
    {
        for (const auto& subscription : aliasEntry.second.names)
        {
            if (subscription.name == name)
            {
                (*subscription.handler)(message);
            }
        }
        for (const auto& subscription : aliasEntry.second.patterns)
        {
            if (matchable && std::regex_match(name, subscription.compiled))
            {
                (*subscription.handler)(message);
            }
        }
    }
    return MODULE_STATUS_SUCCESS;
}

} // namespace Norvan
