#pragma once

#include "support/NullMessageBus.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace WardlineTest
{

// A MessageBus that keeps subscriptions in memory, records what is
// published, and can be told to refuse subscriptions or publications.
// deliver() plays the host: it calls the handlers subscribed to a name.
// Requests and pattern subscriptions get the null bus's answers.
class FakeMessageBus : public NullMessageBus
{
public:
    struct Published
    {
        std::wstring name;
        std::wstring source;
        std::wstring payload;
    };

    Norvan::ModuleStatus publish(const std::shared_ptr<Norvan::Message>& message) override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (message)
        {
            published_.push_back({message->getName(), message->getSource(), message->getPayload()});
        }
        return publishStatus_;
    }
    Norvan::ModuleStatus publishEx(const std::shared_ptr<Norvan::Message>& message) override
    {
        return publish(message);
    }
    Norvan::ModuleStatus subscribe(const std::wstring& name, const std::wstring&,
                                   Norvan::MessageHandler handler) override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        subscribeCalls_.push_back(name);
        auto refused = refuse_.find(name);
        if (refused != refuse_.end())
        {
            return refused->second;
        }
        handlers_[name].push_back(std::move(handler));
        return Norvan::MODULE_STATUS_SUCCESS;
    }
    Norvan::ModuleStatus subscribe(const std::wstring& name, Norvan::MessageHandler handler) override
    {
        return subscribe(name, name, std::move(handler));
    }
    Norvan::ModuleStatus subscribeSession(const std::wstring& name, const std::wstring& alias,
                                          Norvan::MessageHandler handler) override
    {
        return subscribe(name, alias, std::move(handler));
    }
    Norvan::ModuleStatus subscribeSession(const std::wstring& name, Norvan::MessageHandler handler) override
    {
        return subscribe(name, name, std::move(handler));
    }
    Norvan::ModuleStatus unsubscribe(const std::wstring& alias) override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        handlers_.erase(alias);
        return Norvan::MODULE_STATUS_SUCCESS;
    }

    // Calls every handler subscribed to the name; returns the last status, or
    // MODULE_STATUS_NO_SUBSCRIBERS when there is none.
    Norvan::ModuleStatus deliver(const std::wstring& name, const std::wstring& payload,
                                 const std::wstring& source = L"producer")
    {
        std::vector<Norvan::MessageHandler> handlers;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            auto found = handlers_.find(name);
            if (found == handlers_.end())
            {
                return Norvan::MODULE_STATUS_NO_SUBSCRIBERS;
            }
            handlers = found->second;
        }
        std::shared_ptr<Norvan::Message> message;
        Norvan::createMessage(message, name, source, payload);
        Norvan::ModuleStatus status = Norvan::MODULE_STATUS_NO_SUBSCRIBERS;
        for (auto& handler : handlers)
        {
            status = handler(message);
        }
        return status;
    }

    void refuseSubscription(const std::wstring& name, Norvan::ModuleStatus status) { refuse_[name] = status; }
    void setPublishStatus(Norvan::ModuleStatus status)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        publishStatus_ = status;
    }
    std::vector<Published> published() const
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return published_;
    }
    std::vector<std::wstring> subscribeCalls() const
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return subscribeCalls_;
    }
    bool isSubscribed(const std::wstring& name) const
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return handlers_.count(name) != 0;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::wstring, std::vector<Norvan::MessageHandler>> handlers_;
    std::map<std::wstring, Norvan::ModuleStatus> refuse_;
    std::vector<Published> published_;
    std::vector<std::wstring> subscribeCalls_;
    Norvan::ModuleStatus publishStatus_ = Norvan::MODULE_STATUS_SUCCESS;
};

} // namespace WardlineTest
