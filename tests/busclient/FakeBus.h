#pragma once

#include "message/MessageBusClient.h"
#include "message/MessageBusShim.h"
#include "wrappers/ProcessAPI.h"

#include <gmock/gmock.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace BusClientTest
{

using namespace Norvan;

// The bus as the client sees it, writing down every call. What the host
// would do with the contexts (call a handler, call the reply function) the
// tests do explicitly through deliver() and reply().
class FakeShim : public MessageBusShim
{
public:
    struct Published
    {
        std::shared_ptr<Message> message;
        bool extended = false;
        // The record as the host saw it during the call.
        MessageContext context{};
    };
    struct Requested
    {
        std::shared_ptr<Message> message;
        std::uint64_t index = 0;
        void* replyContext = nullptr;
        std::chrono::milliseconds timeout{0};
        bool extended = false;
    };
    struct Subscribed
    {
        bool pattern = false;
        std::wstring text;
        void* handlerContext = nullptr;
        std::uint32_t id = 0;
    };

    ModuleStatus publish(const std::shared_ptr<Message>& message, bool extended) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!message)
        {
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        published.push_back(Published{message, extended, *message->getContext()});
        if (!publishResults.empty())
        {
            const ModuleStatus status = publishResults.front();
            publishResults.erase(publishResults.begin());
            return status;
        }
        return MODULE_STATUS_SUCCESS;
    }

    ModuleStatus request(const std::shared_ptr<Message>& message, std::uint64_t index, void* replyContext,
                         const std::chrono::milliseconds& timeout, bool extended) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!message)
            {
                return MODULE_STATUS_INVALID_PARAMETER;
            }
            requested.push_back(Requested{message, index, replyContext, timeout, extended});
        }
        if (answerInline)
        {
            reply(index, std::make_shared<Message>(L"Inline", L"Host", L"{}"), 0);
        }
        return requestResult;
    }

    ModuleStatus removeReplyCallback() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++replyCallbackRemovals;
        return MODULE_STATUS_SUCCESS;
    }

    std::uint32_t subscribe(const std::wstring& name, void* handlerContext) override
    {
        return record(false, name, handlerContext);
    }

    std::uint32_t subscribeFilter(const std::wstring& pattern, void* handlerContext) override
    {
        return record(true, pattern, handlerContext);
    }

    ModuleStatus unsubscribe(std::uint32_t id) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            unsubscribed.push_back(id);
        }
        if (onUnsubscribe)
        {
            onUnsubscribe(id);
        }
        return MODULE_STATUS_SUCCESS;
    }

    // What the host's message callback ends in.
    ModuleStatus deliver(void* handlerContext, const std::shared_ptr<Message>& message)
    {
        return (*static_cast<MessageHandler*>(handlerContext))(message);
    }

    // What the host's reply callback ends in, through the last reply context.
    ModuleStatus reply(std::uint64_t index, const std::shared_ptr<Message>& message, ModuleStatus status)
    {
        void* context = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            context = requested.back().replyContext;
        }
        return (*static_cast<ReplyFunction*>(context))(index, message, status);
    }

    std::mutex mutex;
    std::vector<Published> published;
    std::vector<ModuleStatus> publishResults; // consumed in order, then success
    std::vector<Requested> requested;
    ModuleStatus requestResult = MODULE_STATUS_SUCCESS;
    bool answerInline = false;
    std::vector<Subscribed> subscribed;
    std::uint32_t nextId = 100;
    bool refuseSubscriptions = false;
    std::vector<std::uint32_t> unsubscribed;
    // What the host does in a withdrawal besides (Courier waits there for the
    // subscription's running handlers).
    std::function<void(std::uint32_t)> onUnsubscribe;
    int replyCallbackRemovals = 0;

private:
    std::uint32_t record(bool pattern, const std::wstring& text, void* handlerContext)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const std::uint32_t id = refuseSubscriptions ? 0 : nextId++;
        subscribed.push_back(Subscribed{pattern, text, handlerContext, id});
        return id;
    }
};

class MockProcessAPI : public ProcessAPI
{
public:
    MOCK_METHOD(DWORD, GetCurrentProcessId, (), (override));
    MOCK_METHOD(BOOL, ProcessIdToSessionId, (DWORD, DWORD*), (override));
};

// A process that lives in the given session.
inline std::shared_ptr<ProcessAPI> processInSession(DWORD sessionId, DWORD processId = 1234)
{
    auto api = std::make_shared<::testing::NiceMock<MockProcessAPI>>();
    ON_CALL(*api, GetCurrentProcessId()).WillByDefault(::testing::Return(processId));
    ON_CALL(*api, ProcessIdToSessionId(processId, ::testing::_))
        .WillByDefault(::testing::DoAll(::testing::SetArgPointee<1>(sessionId), ::testing::Return(TRUE)));
    return api;
}

inline std::shared_ptr<Message> messageInSession(const std::wstring& name, std::uint32_t sessionId)
{
    auto message = std::make_shared<Message>(name, L"Host", L"{}");
    message->getContext()->sessionId = sessionId;
    return message;
}

} // namespace BusClientTest
