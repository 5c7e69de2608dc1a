#pragma once

#include "message/Message.h"
#include "message/MessageBusShim.h"
#include "message/Reply.h"
#include "module/ModuleStatus.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace Norvan
{

// Runs when the outcome of a request is known, on the bus thread that
// delivered it; the reply's wait returns at once there.
using RequestCompletion = std::function<void(std::shared_ptr<Reply>)>;

// The module's view of the host bus. Every operation returns a module status.
// Handlers run on the host's bus threads, possibly several at once.
class MessageBus
{
public:
    virtual ~MessageBus() = default;

    virtual ModuleStatus publish(const std::shared_ptr<Message>& message) = 0;
    virtual ModuleStatus publishEx(const std::shared_ptr<Message>& message) = 0;
    virtual ModuleStatus request(const std::shared_ptr<Message>& message, RequestCompletion completion,
                                 const std::chrono::milliseconds& timeout) = 0;
    virtual ModuleStatus request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                 const std::chrono::milliseconds& timeout) = 0;
    virtual ModuleStatus requestEx(const std::shared_ptr<Message>& message, RequestCompletion completion,
                                   const std::chrono::milliseconds& timeout) = 0;
    virtual ModuleStatus requestEx(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                   const std::chrono::milliseconds& timeout) = 0;
    virtual ModuleStatus subscribe(const std::wstring& name, const std::wstring& alias,
                                   MessageHandler handler) = 0;
    virtual ModuleStatus subscribe(const std::wstring& name, MessageHandler handler) = 0;
    // Only messages of this process's Windows session, or of none.
    virtual ModuleStatus subscribeSession(const std::wstring& name, const std::wstring& alias,
                                          MessageHandler handler) = 0;
    virtual ModuleStatus subscribeSession(const std::wstring& name, MessageHandler handler) = 0;
    // Message names matching an ECMAScript regular expression (matched by the host).
    virtual ModuleStatus subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                         MessageHandler handler) = 0;
    virtual ModuleStatus subscribeFilter(const std::wstring& pattern, MessageHandler handler) = 0;
    virtual ModuleStatus subscribeFilterSession(const std::wstring& pattern, const std::wstring& alias,
                                                MessageHandler handler) = 0;
    virtual ModuleStatus subscribeFilterSession(const std::wstring& pattern, MessageHandler handler) = 0;
    // Ends every subscription filed under the alias.
    virtual ModuleStatus unsubscribe(const std::wstring& alias) = 0;
};

} // namespace Norvan
