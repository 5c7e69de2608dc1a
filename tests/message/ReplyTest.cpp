#include "message/ReplyImpl.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <system_error>
#include <thread>

using namespace Norvan;
using WardlineTest::LogCapture;
using Clock = std::chrono::steady_clock;

namespace
{

using MessagePromise = Norvan::promise<std::shared_ptr<Message>>;

std::shared_ptr<Message> aMessage()
{
    return std::make_shared<Message>(L"Reply", L"Source", L"{}");
}

std::int64_t millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Completes the promise from another thread after a delay, like a bus thread.
std::thread completeLater(MessagePromise& promise, std::shared_ptr<Message> message, int delayMs)
{
    return std::thread(
        [&promise, message, delayMs]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            promise.set_value(message);
        });
}

} // namespace

TEST(ReplyWait, UnansweredRequestTimesOutOneSecondAfterItsTimeout)
{
    LogCapture log;
    MessagePromise promise;
    ReplyImpl reply(promise.get_future(), std::chrono::milliseconds(100));
    EXPECT_EQ(REPLY_STATUS_PENDING, reply.getStatus());

    const auto start = Clock::now();
    EXPECT_EQ(REPLY_STATUS_TIMED_OUT, reply.wait());
    const auto elapsed = millisecondsSince(start);
    // The clock ticks in steps of up to ~16 ms; the upper bound only catches
    // a wait that never ends.
    EXPECT_GE(elapsed, 1050);
    EXPECT_LT(elapsed, 10000);

    ASSERT_EQ(1u, log.count());
    const auto line = log.lines()[0];
    EXPECT_EQ(4u, line.level);
    EXPECT_EQ(L"message\\ReplyImpl", line.file);
    EXPECT_EQ(L"Norvan::ReplyImpl::getReplyMessage", line.function);
    EXPECT_EQ(L"Reply future did not get fulfilled on time. Returning.", line.text);

    std::shared_ptr<Message> message = aMessage();
    reply.getReplyMessage(message);
    EXPECT_FALSE(message);

    // Final: a late answer changes nothing and a second wait does not wait.
    promise.set_value(aMessage());
    EXPECT_EQ(REPLY_STATUS_TIMED_OUT, reply.wait());
    EXPECT_EQ(REPLY_STATUS_TIMED_OUT, reply.getStatus());
    EXPECT_EQ(1u, log.count());
}

TEST(ReplyWait, CompletedPromiseWithZeroTimeoutAnswersAtOnce)
{
    MessagePromise promise;
    auto expected = aMessage();
    promise.set_value(expected);
    ReplyImpl reply(promise.get_future(), std::chrono::milliseconds(0));

    const auto start = Clock::now();
    EXPECT_EQ(REPLY_STATUS_RECEIVED, reply.wait());
    EXPECT_LT(millisecondsSince(start), 1000);
    std::shared_ptr<Message> message;
    reply.getReplyMessage(message);
    EXPECT_EQ(expected, message);
}

TEST(ReplyWait, OutcomesReportedByTheBus)
{
    LogCapture log;
    struct Case
    {
        const char* what;
        std::exception_ptr error;
        ReplyStatus expected;
    };
    const Case cases[] = {
        {"bus time-out",
         std::make_exception_ptr(std::system_error(std::make_error_code(std::errc::operation_canceled))),
         REPLY_STATUS_TIMED_OUT},
        {"other bus error",
         std::make_exception_ptr(std::system_error(std::make_error_code(std::errc::no_message_available))),
         REPLY_STATUS_DATA_ERROR},
        {"unrelated exception", std::make_exception_ptr(std::runtime_error("x")), REPLY_STATUS_DATA_ERROR},
    };
    for (const auto& c : cases)
    {
        MessagePromise promise;
        promise.set_exception(c.error);
        ReplyImpl reply(promise.get_future(), std::chrono::milliseconds(0));
        EXPECT_EQ(c.expected, reply.wait()) << c.what;
        std::shared_ptr<Message> message = aMessage();
        reply.getReplyMessage(message);
        EXPECT_FALSE(message) << c.what;
    }

    // An empty reply is no usable reply.
    MessagePromise empty;
    empty.set_value(nullptr);
    ReplyImpl emptyReply(empty.get_future(), std::chrono::milliseconds(0));
    EXPECT_EQ(REPLY_STATUS_DATA_ERROR, emptyReply.wait());

    EXPECT_EQ(0u, log.count()) << "outcomes the bus reported are not logged";
}

TEST(ReplyWait, AbandonedRequestIsADataErrorAndWakesTheWaiter)
{
    auto promise = std::make_unique<MessagePromise>();
    ReplyImpl reply(promise->get_future(), std::chrono::milliseconds(60000));
    std::thread client(
        [&promise]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            promise.reset();
        });
    const auto start = Clock::now();
    EXPECT_EQ(REPLY_STATUS_DATA_ERROR, reply.wait());
    EXPECT_LT(millisecondsSince(start), 30000);
    client.join();
}

TEST(ReplyWait, HugeTimeoutMeansWaitForTheAnswer)
{
    // now + timeout + 1000 must not wrap into the past.
    for (auto timeout : {(std::chrono::milliseconds::max)(),
                         std::chrono::milliseconds((std::numeric_limits<std::int64_t>::max)() - 500)})
    {
        MessagePromise promise;
        ReplyImpl reply(promise.get_future(), timeout);
        auto expected = aMessage();
        std::thread bus = completeLater(promise, expected, 100);
        EXPECT_EQ(REPLY_STATUS_RECEIVED, reply.wait());
        bus.join();
    }
}

TEST(ReplyWait, ReplyWithoutFutureIsADataError)
{
    LogCapture log;
    ReplyImpl reply(Norvan::future<std::shared_ptr<Message>>(), std::chrono::milliseconds(0));
    EXPECT_EQ(REPLY_STATUS_DATA_ERROR, reply.wait());
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(4u, log.lines()[0].level);
    EXPECT_EQ(L"Norvan::ReplyImpl::getReplyMessage", log.lines()[0].function);
    EXPECT_EQ(L"Reply future is in an invalid state. Returning.", log.lines()[0].text);
}

TEST(ReplyWaitFor, ShortWaitThenFullWait)
{
    LogCapture log;
    MessagePromise promise;
    ReplyImpl reply(promise.get_future(), std::chrono::milliseconds(5000));
    EXPECT_EQ(REPLY_STATUS_PENDING, reply.waitFor(std::chrono::milliseconds(10)));
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(2u, log.lines()[0].level);
    EXPECT_EQ(L"message\\ReplyImpl", log.lines()[0].file);
    EXPECT_EQ(L"Norvan::ReplyImpl::waitFor", log.lines()[0].function);
    EXPECT_EQ(L"Reply waitFor timed out. Returning.", log.lines()[0].text);

    auto expected = aMessage();
    std::thread bus = completeLater(promise, expected, 30);
    EXPECT_EQ(REPLY_STATUS_RECEIVED, reply.wait());
    bus.join();
    std::shared_ptr<Message> message;
    reply.getReplyMessage(message);
    EXPECT_EQ(expected, message);
    EXPECT_EQ(1u, log.count());
}

TEST(ReplyWaitFor, AnswerInTimeIsFetched)
{
    MessagePromise promise;
    ReplyImpl reply(promise.get_future(), std::chrono::milliseconds(0));
    auto expected = aMessage();
    std::thread bus = completeLater(promise, expected, 30);
    EXPECT_EQ(REPLY_STATUS_RECEIVED, reply.waitFor(std::chrono::milliseconds(20000)));
    bus.join();
    std::shared_ptr<Message> message;
    reply.getReplyMessage(message);
    EXPECT_EQ(expected, message);
}

TEST(ReplyWaitFor, FinalOutcomeSurvivesALaterWaitFor)
{
    // The fetch consumes the future; a later waitFor must not turn a
    // received reply into a data error.
    LogCapture log;
    MessagePromise promise;
    auto expected = aMessage();
    promise.set_value(expected);
    ReplyImpl reply(promise.get_future(), std::chrono::milliseconds(0));
    ASSERT_EQ(REPLY_STATUS_RECEIVED, reply.wait());
    EXPECT_EQ(REPLY_STATUS_RECEIVED, reply.waitFor(std::chrono::milliseconds(10)));
    std::shared_ptr<Message> message;
    reply.getReplyMessage(message);
    EXPECT_EQ(expected, message);
    EXPECT_EQ(0u, log.count());
}

TEST(ReplyWaitFor, ReplyWithoutFutureIsADataError)
{
    LogCapture log;
    ReplyImpl reply(Norvan::future<std::shared_ptr<Message>>(), std::chrono::milliseconds(0));
    EXPECT_EQ(REPLY_STATUS_DATA_ERROR, reply.waitFor(std::chrono::milliseconds(10)));
    EXPECT_EQ(REPLY_STATUS_DATA_ERROR, reply.getStatus());
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(4u, log.lines()[0].level);
    EXPECT_EQ(L"Norvan::ReplyImpl::waitFor", log.lines()[0].function);
    EXPECT_EQ(L"Reply future is in an invalid state. Returning.", log.lines()[0].text);
}
