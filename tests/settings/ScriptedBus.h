#pragma once

#include "message/Reply.h"
#include "settings/SettingsManagerClient.h"
#include "support/NullMessageBus.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace SettingsTest
{

using namespace Norvan;

// How the settings manager answers one request.
struct Answer
{
    ModuleStatus requestStatus = MODULE_STATUS_SUCCESS; // non-zero: the bus refuses the request
    ReplyStatus replyStatus = REPLY_STATUS_RECEIVED;
    bool hasMessage = true;
    bool hasReply = true; // false: the bus accepts the request but hands back no reply
    std::wstring payload;
};

inline Answer replyWith(std::wstring payload)
{
    Answer answer;
    answer.payload = std::move(payload);
    return answer;
}

inline Answer replyStatus(ReplyStatus status)
{
    Answer answer;
    answer.replyStatus = status;
    answer.hasMessage = false;
    return answer;
}

inline Answer acceptedWithoutReply()
{
    Answer answer;
    answer.hasReply = false;
    return answer;
}

inline Answer refused(ModuleStatus status)
{
    Answer answer;
    answer.requestStatus = status;
    return answer;
}

// A reply whose outcome is fixed when it is made.
class ScriptedReply : public Reply
{
public:
    ScriptedReply(ReplyStatus status, std::shared_ptr<Message> message)
        : status_(status), message_(std::move(message))
    {
    }
    ReplyStatus getStatus() override { return waited_ ? status_ : REPLY_STATUS_PENDING; }
    void getReplyMessage(std::shared_ptr<Message>& message) override
    {
        message = waited_ && status_ == REPLY_STATUS_RECEIVED ? message_ : nullptr;
    }
    ReplyStatus wait() override
    {
        waited_ = true;
        return status_;
    }
    ReplyStatus waitFor(const std::chrono::milliseconds&) override { return wait(); }

private:
    ReplyStatus status_;
    std::shared_ptr<Message> message_;
    bool waited_ = false;
};

// The settings manager played by a script: each request takes the next
// answer (a time-out once the script has run out) and is written down. The
// settings client uses nothing else of the bus: the rest answers as the null
// bus does.
class ScriptedBus : public WardlineTest::NullMessageBus
{
public:
    using NullMessageBus::request;

    struct Sent
    {
        std::wstring name;
        std::wstring source;
        std::wstring payload;
        std::chrono::milliseconds timeout{0};
    };

    void answer(Answer next)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.push_back(std::move(next));
    }

    std::vector<Sent> sent() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }

    // The payload of the only request sent so far.
    std::wstring onlyPayload() const
    {
        const auto all = sent();
        return all.size() == 1 ? all[0].payload : L"<" + std::to_wstring(all.size()) + L" requests>";
    }

    ModuleStatus request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                         const std::chrono::milliseconds& timeout) override
    {
        Answer next = replyStatus(REPLY_STATUS_TIMED_OUT);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            sent_.push_back({message->getName(), message->getSource(), message->getPayload(), timeout});
            if (!answers_.empty())
            {
                next = answers_.front();
                answers_.pop_front();
            }
        }
        if (next.requestStatus != MODULE_STATUS_SUCCESS)
        {
            return next.requestStatus;
        }
        if (!next.hasReply)
        {
            reply.reset();
            return MODULE_STATUS_SUCCESS;
        }
        std::shared_ptr<Message> answer;
        if (next.hasMessage)
        {
            answer = std::make_shared<Message>(message->getName(), L"SettingsManager", next.payload);
        }
        reply = std::make_shared<ScriptedReply>(next.replyStatus, answer);
        return MODULE_STATUS_SUCCESS;
    }

private:
    mutable std::mutex mutex_;
    std::deque<Answer> answers_;
    std::vector<Sent> sent_;
};

// A settings client on a scripted bus of its own.
struct Client
{
    Client() : bus(std::make_shared<ScriptedBus>()), client(bus) {}
    std::shared_ptr<ScriptedBus> bus;
    SettingsManagerClient client;
};

} // namespace SettingsTest
