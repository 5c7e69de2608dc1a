#include "FakeBus.h"

#include "message/MessageBusShimImpl.h"
#include "message/ReplyImpl.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

using namespace BusClientTest;
using WardlineTest::LogCapture;

namespace
{

struct Client
{
    Client() : shim(std::make_shared<FakeShim>())
    {
        client = std::make_unique<MessageBusClient>(shim, processInSession(1));
    }
    std::shared_ptr<FakeShim> shim;
    std::unique_ptr<MessageBusClient> client;
};

std::shared_ptr<Message> aRequest()
{
    return std::make_shared<Message>(L"SETTINGS_MANAGER_SET_PROPERTY", L"Wardline", L"{}");
}

std::shared_ptr<Message> anAnswer()
{
    return std::make_shared<Message>(L"SETTINGS_MANAGER_SET_PROPERTY", L"Host", L"{\"status\":true}");
}

constexpr std::chrono::milliseconds kLong{60000};

} // namespace

TEST(MessageBusClientRequest, IndexesCountFromZeroAndShareOneReplyContext)
{
    Client bus;
    std::shared_ptr<Reply> first;
    std::shared_ptr<Reply> second;
    EXPECT_EQ(0u, bus.client->request(aRequest(), first, std::chrono::milliseconds(5000)));
    EXPECT_EQ(0u, bus.client->requestEx(aRequest(), second, std::chrono::milliseconds(250)));
    EXPECT_EQ(0u, bus.client->request(aRequest(), RequestCompletion(), std::chrono::milliseconds(1)));
    EXPECT_EQ(0u, bus.client->requestEx(aRequest(), RequestCompletion(), std::chrono::milliseconds(2)));
    ASSERT_EQ(4u, bus.shim->requested.size());
    for (std::uint64_t i = 0; i < 4; ++i)
    {
        EXPECT_EQ(i, bus.shim->requested[i].index);
        EXPECT_EQ(bus.shim->requested[0].replyContext, bus.shim->requested[i].replyContext);
    }
    EXPECT_FALSE(bus.shim->requested[0].extended);
    EXPECT_TRUE(bus.shim->requested[1].extended);
    EXPECT_FALSE(bus.shim->requested[2].extended);
    EXPECT_TRUE(bus.shim->requested[3].extended);
    EXPECT_EQ(5000, bus.shim->requested[0].timeout.count());
    EXPECT_EQ(250, bus.shim->requested[1].timeout.count());
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(REPLY_STATUS_PENDING, first->getStatus());
}

TEST(MessageBusClientRequest, ReplyReachesItsWaiter)
{
    Client bus;
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(0u, bus.client->request(aRequest(), reply, kLong));
    auto answer = anAnswer();
    std::thread host(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            bus.shim->reply(0, answer, 0);
        });
    EXPECT_EQ(REPLY_STATUS_RECEIVED, reply->wait());
    host.join();
    std::shared_ptr<Message> message;
    reply->getReplyMessage(message);
    EXPECT_EQ(answer, message);
}

TEST(MessageBusClientRequest, ReplyBeforeTheRequestReturns)
{
    // The host may answer on its own thread before request() has returned.
    Client bus;
    bus.shim->answerInline = true;
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(0u, bus.client->request(aRequest(), reply, kLong));
    EXPECT_EQ(REPLY_STATUS_RECEIVED, reply->wait());
    std::shared_ptr<Message> message;
    reply->getReplyMessage(message);
    ASSERT_TRUE(message);
    EXPECT_EQ(L"Inline", message->getName());
}

TEST(MessageBusClientRequest, LateAndRepeatedRepliesAreRefused)
{
    Client bus;
    std::shared_ptr<Reply> reply;
    bus.client->request(aRequest(), reply, kLong);
    LogCapture log;
    EXPECT_EQ(0u, bus.shim->reply(0, anAnswer(), 0));
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND, bus.shim->reply(0, anAnswer(), 0));
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND, bus.shim->reply(99, anAnswer(), 0));
    ASSERT_EQ(2u, log.count());
    EXPECT_EQ(2u, log.lines()[0].level);
    EXPECT_EQ(L"MessageBusClient", log.lines()[0].file);
    EXPECT_EQ(L"Norvan::MessageBusClient::replyCallback", log.lines()[0].function);
    EXPECT_EQ(L"Reply index not found. Returning", log.lines()[0].text);
    EXPECT_EQ(REPLY_STATUS_RECEIVED, reply->wait()) << "the first answer stands";
}

TEST(MessageBusClientRequest, BusStatusDecidesTheReplyStatus)
{
    struct Case
    {
        ModuleStatus busStatus;
        bool withMessage;
        ReplyStatus expected;
    };
    const Case cases[] = {
        {MODULE_STATUS_TIMEOUT, false, REPLY_STATUS_TIMED_OUT},
        {MODULE_STATUS_DATA_ERROR, false, REPLY_STATUS_DATA_ERROR},
        {MODULE_STATUS_NO_SUBSCRIBERS, false, REPLY_STATUS_DATA_ERROR},
        {MODULE_STATUS_TIMEOUT, true,
         REPLY_STATUS_TIMED_OUT}, // a message with a failure status is not a reply
        {MODULE_STATUS_SUCCESS, false, REPLY_STATUS_DATA_ERROR}, // success without a message: empty reply
    };
    for (const auto& c : cases)
    {
        Client bus;
        std::shared_ptr<Reply> reply;
        bus.client->request(aRequest(), reply, kLong);
        LogCapture log;
        EXPECT_EQ(0u, bus.shim->reply(0, c.withMessage ? anAnswer() : nullptr, c.busStatus));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.expected, reply->wait()) << std::hex << c.busStatus;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30))
            << "no waiting for the deadline";
        std::shared_ptr<Message> message;
        reply->getReplyMessage(message);
        EXPECT_FALSE(message);
        EXPECT_EQ(0u, log.count());
    }
}

TEST(MessageBusClientRequest, RefusedRequestLeavesNothingPending)
{
    Client bus;
    LogCapture log;
    bus.shim->requestResult = MODULE_STATUS_NO_SUBSCRIBERS;
    std::shared_ptr<Reply> untouched =
        std::make_shared<ReplyImpl>(Norvan::future<std::shared_ptr<Message>>(), kLong);
    auto before = untouched;
    EXPECT_EQ(MODULE_STATUS_NO_SUBSCRIBERS, bus.client->request(aRequest(), untouched, kLong));
    EXPECT_EQ(before, untouched);
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(4u, log.lines()[0].level);
    EXPECT_EQ(L"Norvan::MessageBusClient::internalRequest", log.lines()[0].function);
    EXPECT_EQ(L"Failed to make request. Error code 2147483662.", log.lines()[0].text);

    bool completed = false;
    EXPECT_EQ(MODULE_STATUS_NO_SUBSCRIBERS,
              bus.client->request(
                  aRequest(), [&completed](std::shared_ptr<Reply>) { completed = true; }, kLong));
    log.clear();
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND, bus.shim->reply(0, anAnswer(), 0));
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND, bus.shim->reply(1, anAnswer(), 0));
    EXPECT_FALSE(completed);

    // A null message is refused by the bus like any other request.
    log.clear();
    bus.shim->requestResult = MODULE_STATUS_SUCCESS;
    std::shared_ptr<Reply> none;
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, bus.client->request(nullptr, none, kLong));
    EXPECT_FALSE(none);
    EXPECT_EQ(1u, log.exactly(L"Failed to make request. Error code 2147483656.").size());
}

TEST(MessageBusClientRequest, CompletionRunsWithTheFinishedReply)
{
    Client bus;
    std::vector<ReplyStatus> statuses;
    std::vector<std::shared_ptr<Message>> messages;
    auto completion = [&](std::shared_ptr<Reply> reply)
    {
        statuses.push_back(reply->getStatus());
        std::shared_ptr<Message> message;
        reply->getReplyMessage(message);
        messages.push_back(message);
    };
    bus.client->request(aRequest(), completion, kLong);
    bus.client->requestEx(aRequest(), completion, kLong);
    auto answer = anAnswer();
    EXPECT_EQ(0u, bus.shim->reply(1, nullptr, MODULE_STATUS_TIMEOUT));
    EXPECT_EQ(0u, bus.shim->reply(0, answer, 0));
    EXPECT_EQ((std::vector<ReplyStatus>{REPLY_STATUS_TIMED_OUT, REPLY_STATUS_RECEIVED}), statuses);
    EXPECT_EQ(nullptr, messages[0]);
    EXPECT_EQ(answer, messages[1]);
}

TEST(MessageBusClientRequest, EmptyOrThrowingCompletionDoesNotReachTheHost)
{
    Client bus;
    bus.client->request(aRequest(), RequestCompletion(), kLong);
    bus.client->request(
        aRequest(), [](std::shared_ptr<Reply>) { throw std::runtime_error("completion failed"); }, kLong);
    EXPECT_EQ(0u, bus.shim->reply(0, anAnswer(), 0));
    EXPECT_EQ(0u, bus.shim->reply(1, anAnswer(), 0));
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND, bus.shim->reply(1, anAnswer(), 0));
}

TEST(MessageBusClientRequest, DestructionAbandonsPendingRequests)
{
    Client bus;
    std::shared_ptr<Reply> reply;
    bool completed = false;
    bus.client->request(aRequest(), reply, kLong);
    bus.client->request(
        aRequest(), [&completed](std::shared_ptr<Reply>) { completed = true; }, kLong);
    int calls = 0;
    bus.client->subscribe(L"A", L"one", [&calls](const std::shared_ptr<Message>&) { return ++calls, 0u; });
    bus.client->subscribeFilter(L"B.*", L"one",
                                [&calls](const std::shared_ptr<Message>&) { return ++calls, 0u; });
    bus.client->subscribe(L"C", [&calls](const std::shared_ptr<Message>&) { return ++calls, 0u; });

    std::thread waiter;
    ReplyStatus waited = -1;
    waiter = std::thread([&] { waited = reply->wait(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bus.client.reset();
    waiter.join();

    EXPECT_EQ(REPLY_STATUS_DATA_ERROR, waited) << "a waiter is released, not left until its deadline";
    EXPECT_FALSE(completed);
    auto unsubscribed = bus.shim->unsubscribed;
    std::sort(unsubscribed.begin(), unsubscribed.end());
    EXPECT_EQ((std::vector<std::uint32_t>{100, 101, 102}), unsubscribed);
    EXPECT_EQ(1, bus.shim->replyCallbackRemovals);
}

TEST(MessageBusClientRequest, ConcurrentRequestsAndReplies)
{
    // Requests from several threads while a bus thread answers them as they
    // arrive: every index is handed out once and every waiter gets its reply.
    Client bus;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 100;
    std::vector<std::vector<std::shared_ptr<Reply>>> replies(kThreads);
    std::atomic<bool> requestsDone{false};
    std::atomic<int> refused{0};

    std::thread busThread(
        [&]
        {
            std::size_t answered = 0;
            for (;;)
            {
                std::vector<std::uint64_t> fresh;
                {
                    std::lock_guard<std::mutex> lock(bus.shim->mutex);
                    for (; answered < bus.shim->requested.size(); ++answered)
                    {
                        fresh.push_back(bus.shim->requested[answered].index);
                    }
                }
                for (std::uint64_t index : fresh)
                {
                    if (bus.shim->reply(index, anAnswer(), 0) != 0)
                    {
                        ++refused;
                    }
                }
                if (fresh.empty())
                {
                    if (requestsDone)
                    {
                        std::lock_guard<std::mutex> lock(bus.shim->mutex);
                        if (answered == bus.shim->requested.size())
                        {
                            return;
                        }
                    }
                    std::this_thread::yield();
                }
            }
        });
    std::vector<std::thread> requesters;
    for (int t = 0; t < kThreads; ++t)
    {
        requesters.emplace_back(
            [&, t]
            {
                for (int i = 0; i < kPerThread; ++i)
                {
                    std::shared_ptr<Reply> reply;
                    if (bus.client->request(aRequest(), reply, kLong) == 0)
                    {
                        replies[t].push_back(reply);
                    }
                }
            });
    }
    for (auto& thread : requesters)
    {
        thread.join();
    }
    requestsDone = true;
    busThread.join();

    EXPECT_EQ(0, refused.load());
    std::vector<std::uint64_t> indexes;
    for (const auto& request : bus.shim->requested)
    {
        indexes.push_back(request.index);
    }
    std::sort(indexes.begin(), indexes.end());
    ASSERT_EQ(static_cast<std::size_t>(kThreads * kPerThread), indexes.size());
    for (std::size_t i = 0; i < indexes.size(); ++i)
    {
        ASSERT_EQ(i, indexes[i]);
    }
    for (const auto& perThread : replies)
    {
        ASSERT_EQ(static_cast<std::size_t>(kPerThread), perThread.size());
        for (const auto& reply : perThread)
        {
            EXPECT_EQ(REPLY_STATUS_RECEIVED, reply->wait());
        }
    }
}
