#pragma once

#include "message/MessageBus.h"

#include <mutex>
#include <string>
#include <vector>

namespace WardlineTest
{

// A MessageBus that carries nothing: each operation answers a status of its
// own, one the host never defines, so that a caller handing back another
// operation's answer is caught. It writes down which operation was called
// with which name. Fakes derive from it and override what they model.
class NullMessageBus : public Norvan::MessageBus
{
public:
    enum Operation
    {
        Publish,
        PublishEx,
        RequestWithCompletion,
        RequestWithReply,
        RequestExWithCompletion,
        RequestExWithReply,
        SubscribeWithAlias,
        Subscribe,
        SubscribeSessionWithAlias,
        SubscribeSession,
        SubscribeFilterWithAlias,
        SubscribeFilter,
        SubscribeFilterSessionWithAlias,
        SubscribeFilterSession,
        Unsubscribe,
    };
    struct Call
    {
        Operation operation;
        std::wstring name; // the message's, the name or pattern, or the alias unsubscribed
        bool operator==(const Call& other) const
        {
            return operation == other.operation && name == other.name;
        }
    };

    static Norvan::ModuleStatus answerOf(Operation operation) { return 0x80000100u + operation; }

    std::vector<Call> calls() const
    {
        std::lock_guard<std::mutex> guard(callsMutex_);
        return calls_;
    }

    Norvan::ModuleStatus publish(const std::shared_ptr<Norvan::Message>& message) override
    {
        return answer(Publish, message);
    }
    Norvan::ModuleStatus publishEx(const std::shared_ptr<Norvan::Message>& message) override
    {
        return answer(PublishEx, message);
    }
    Norvan::ModuleStatus request(const std::shared_ptr<Norvan::Message>& message, Norvan::RequestCompletion,
                                 const std::chrono::milliseconds&) override
    {
        return answer(RequestWithCompletion, message);
    }
    Norvan::ModuleStatus request(const std::shared_ptr<Norvan::Message>& message,
                                 std::shared_ptr<Norvan::Reply>&, const std::chrono::milliseconds&) override
    {
        return answer(RequestWithReply, message);
    }
    Norvan::ModuleStatus requestEx(const std::shared_ptr<Norvan::Message>& message, Norvan::RequestCompletion,
                                   const std::chrono::milliseconds&) override
    {
        return answer(RequestExWithCompletion, message);
    }
    Norvan::ModuleStatus requestEx(const std::shared_ptr<Norvan::Message>& message,
                                   std::shared_ptr<Norvan::Reply>&, const std::chrono::milliseconds&) override
    {
        return answer(RequestExWithReply, message);
    }
    Norvan::ModuleStatus subscribe(const std::wstring& name, const std::wstring&,
                                   Norvan::MessageHandler) override
    {
        return answer(SubscribeWithAlias, name);
    }
    Norvan::ModuleStatus subscribe(const std::wstring& name, Norvan::MessageHandler) override
    {
        return answer(Subscribe, name);
    }
    Norvan::ModuleStatus subscribeSession(const std::wstring& name, const std::wstring&,
                                          Norvan::MessageHandler) override
    {
        return answer(SubscribeSessionWithAlias, name);
    }
    Norvan::ModuleStatus subscribeSession(const std::wstring& name, Norvan::MessageHandler) override
    {
        return answer(SubscribeSession, name);
    }
    Norvan::ModuleStatus subscribeFilter(const std::wstring& pattern, const std::wstring&,
                                         Norvan::MessageHandler) override
    {
        return answer(SubscribeFilterWithAlias, pattern);
    }
    Norvan::ModuleStatus subscribeFilter(const std::wstring& pattern, Norvan::MessageHandler) override
    {
        return answer(SubscribeFilter, pattern);
    }
    Norvan::ModuleStatus subscribeFilterSession(const std::wstring& pattern, const std::wstring&,
                                                Norvan::MessageHandler) override
    {
        return answer(SubscribeFilterSessionWithAlias, pattern);
    }
    Norvan::ModuleStatus subscribeFilterSession(const std::wstring& pattern, Norvan::MessageHandler) override
    {
        return answer(SubscribeFilterSession, pattern);
    }
    Norvan::ModuleStatus unsubscribe(const std::wstring& alias) override
    {
        return answer(Unsubscribe, alias);
    }

private:
    Norvan::ModuleStatus answer(Operation operation, const std::wstring& name)
    {
        std::lock_guard<std::mutex> guard(callsMutex_);
        calls_.push_back({operation, name});
        return answerOf(operation);
    }
    Norvan::ModuleStatus answer(Operation operation, const std::shared_ptr<Norvan::Message>& message)
    {
        return answer(operation, message ? message->getName() : std::wstring());
    }

    mutable std::mutex callsMutex_;
    std::vector<Call> calls_;
};

} // namespace WardlineTest
