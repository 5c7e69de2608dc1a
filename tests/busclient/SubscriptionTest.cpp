#include "FakeBus.h"

#include "message/MessageBusShimImpl.h"
#include "module/ModuleException.h"
#include "support/JoiningThread.h"
#include "support/LogCapture.h"
#include "support/Packed.h"
#include "wrappers/UniqueResource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

using namespace BusClientTest;
using ::testing::_;
using ::testing::Return;
using WardlineTest::LogCapture;

namespace
{

struct Client
{
    explicit Client(DWORD session = 1) : shim(std::make_shared<FakeShim>())
    {
        client = std::make_unique<MessageBusClient>(shim, processInSession(session));
    }
    std::shared_ptr<FakeShim> shim;
    std::unique_ptr<MessageBusClient> client;
};

MessageHandler counting(int& calls, ModuleStatus result = 0)
{
    return [&calls, result](const std::shared_ptr<Message>&)
    {
        ++calls;
        return result;
    };
}

} // namespace

TEST(MessageBusClientConstruction, LogsTheSessionFound)
{
    LogCapture log;
    MessageBusClient client(std::make_shared<FakeShim>(), processInSession(7, 1234));
    EXPECT_EQ(7u, client.getSessionId());
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(1u, log.lines()[0].level);
    EXPECT_EQ(L"MessageBusClient", log.lines()[0].file);
    EXPECT_EQ(L"Norvan::MessageBusClient::MessageBusClient", log.lines()[0].function);
    EXPECT_EQ(L"Found session id 7 for process 1234", log.lines()[0].text);
}

TEST(MessageBusClientConstruction, UnknownSessionMeansSessionZero)
{
    LogCapture log;
    auto api = std::make_shared<MockProcessAPI>();
    EXPECT_CALL(*api, GetCurrentProcessId()).WillOnce(Return(4321));
    EXPECT_CALL(*api, ProcessIdToSessionId(4321, _)).WillOnce(Return(FALSE));
    MessageBusClient client(std::make_shared<FakeShim>(), api);
    EXPECT_EQ(0u, client.getSessionId());
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(4u, log.lines()[0].level);
    EXPECT_EQ(L"Failed to get the session id for process 4321 - defaulting to 0", log.lines()[0].text);
}

TEST(MessageBusClientConstruction, WithoutProcessApiTheRealOneIsAsked)
{
    DWORD expected = 0xFFFFFFFF;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &expected));
    MessageBusClient client(std::make_shared<FakeShim>(), nullptr);
    EXPECT_EQ(expected, client.getSessionId());
}

TEST(MessageBusClientConstruction, WithoutABusItThrows)
{
    {
        LogCapture log;
        EXPECT_THROW(MessageBusClient(nullptr, processInSession(1)), ModuleException);
        EXPECT_EQ(1u, log.find(L"Throwing ModuleException.").size());
    }
    {
        // The client that loads the host's bus library itself fails when
        // the library is nowhere to be found (none beside this executable).
        LogCapture log;
        try
        {
            MessageBusClient client;
            FAIL() << "a default client was built";
        }
        catch (const ModuleException& error)
        {
            EXPECT_STREQ("Failed to load library", error.what());
        }
        const auto failed = log.exactly(L"Failed to load library: Courier.dll. Throwing ModuleException.");
        ASSERT_EQ(1u, failed.size());
        EXPECT_EQ(4u, failed[0].level);
    }
}

TEST(MessageBusClientSubscribe, AliasCollectsSubscriptionsAndUnsubscribeEndsThemAll)
{
    Client bus;
    int first = 0;
    int second = 0;
    EXPECT_EQ(0u, bus.client->subscribe(L"A.Name", L"alias", counting(first)));
    EXPECT_EQ(0u, bus.client->subscribe(L"B.Name", L"alias", counting(second)));
    ASSERT_EQ(2u, bus.shim->subscribed.size());
    EXPECT_EQ(L"A.Name", bus.shim->subscribed[0].text);
    EXPECT_EQ(L"B.Name", bus.shim->subscribed[1].text);

    // Each context reaches its own handler.
    bus.shim->deliver(bus.shim->subscribed[1].handlerContext, std::make_shared<Message>(L"B.Name", L"", L""));
    EXPECT_EQ(0, first);
    EXPECT_EQ(1, second);

    LogCapture log;
    EXPECT_EQ(0u, bus.client->unsubscribe(L"alias"));
    EXPECT_EQ((std::vector<std::uint32_t>{100, 101}), bus.shim->unsubscribed);
    EXPECT_EQ(0u, log.count());

    EXPECT_EQ(0u, bus.client->unsubscribe(L"alias"));
    EXPECT_EQ(2u, bus.shim->unsubscribed.size()) << "nothing left to end at the host";
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(2u, log.lines()[0].level);
    EXPECT_EQ(L"Norvan::MessageBusClient::unsubscribe", log.lines()[0].function);
    EXPECT_EQ(L"Subscription not found. Alias: alias.", log.lines()[0].text);
}

TEST(MessageBusClientSubscribe, NameDoublesAsAlias)
{
    Client bus;
    int calls = 0;
    bus.client->subscribe(L"Core.Protection.RefreshState", counting(calls));
    bus.client->subscribeFilter(L"Core\\.Internal\\..*", counting(calls));
    EXPECT_EQ(0u, bus.client->unsubscribe(L"Core.Protection.RefreshState"));
    EXPECT_EQ((std::vector<std::uint32_t>{100}), bus.shim->unsubscribed);
    EXPECT_EQ(0u, bus.client->unsubscribe(L"Core\\.Internal\\..*"));
    EXPECT_EQ((std::vector<std::uint32_t>{100, 101}), bus.shim->unsubscribed);
}

TEST(MessageBusClientSubscribe, HandlerContextsSurviveGrowingTables)
{
    Client bus;
    std::vector<int> calls(40, 0);
    for (std::size_t i = 0; i < calls.size(); ++i)
    {
        bus.client->subscribe(L"Name", L"same alias", counting(calls[i]));
        bus.client->subscribeFilter(L"N.*", L"same alias", counting(calls[i]));
    }
    auto message = std::make_shared<Message>(L"Name", L"", L"");
    for (const auto& subscription : bus.shim->subscribed)
    {
        bus.shim->deliver(subscription.handlerContext, message);
    }
    for (std::size_t i = 0; i < calls.size(); ++i)
    {
        EXPECT_EQ(2, calls[i]) << i;
    }
}

TEST(MessageBusClientSubscribe, RefusedSubscriptionLeavesAnEmptyAlias)
{
    Client bus;
    bus.shim->refuseSubscriptions = true;
    LogCapture log;
    int calls = 0;
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, bus.client->subscribe(L"Name", L"alias", counting(calls)));
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(4u, log.lines()[0].level);
    EXPECT_EQ(L"Norvan::MessageBusClient::subscribe", log.lines()[0].function);
    EXPECT_EQ(L"Failed to subscribe. Alias: alias Message name: Name", log.lines()[0].text);

    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, bus.client->subscribeFilter(L"N.*", L"alias2", counting(calls)));
    ASSERT_EQ(2u, log.count());
    EXPECT_EQ(L"Norvan::MessageBusClient::subscribeFilter", log.lines()[1].function);
    EXPECT_EQ(L"Failed to subscribeFilter. Alias: alias2 Message nameRegex: N.*", log.lines()[1].text);

    log.clear();
    EXPECT_EQ(0u, bus.client->unsubscribe(L"alias"));
    EXPECT_EQ(0u, bus.client->unsubscribe(L"alias2"));
    EXPECT_TRUE(bus.shim->unsubscribed.empty());
    EXPECT_EQ(0u, log.count()) << "the alias entry exists, empty";
}

TEST(MessageBusClientSubscribe, InvalidPatternNeverReachesTheHost)
{
    Client bus;
    LogCapture log;
    int calls = 0;
    // The last three: numbers the C++ library's compiler would overflow.
    for (const std::wstring pattern :
         {L"(", L"[a-", L"a{2,1}", L"*x", L"a{99999999999}", L"a{1,12345678901}", L"(a)\\12345678901"})
    {
        log.clear();
        EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
                  bus.client->subscribeFilter(pattern, L"alias", counting(calls)))
            << pattern.size();
        ASSERT_EQ(1u, log.count());
        EXPECT_EQ(4u, log.lines()[0].level);
        EXPECT_EQ(0u,
                  log.lines()[0].text.rfind(
                      L"subscribeFilter failed. Regex error with regex \"" + pattern + L"\" [caught: ", 0))
            << log.lines()[0].text;
        EXPECT_EQ(L']', log.lines()[0].text.back());
    }
    EXPECT_TRUE(bus.shim->subscribed.empty());
    log.clear();
    bus.client->unsubscribe(L"alias");
    EXPECT_EQ(1u, log.find(L"Subscription not found").size()) << "no record is left for a bad pattern";
}

TEST(MessageBusClientSession, FilteredHandlersSeeOnlyTheirSessionOrNone)
{
    Client bus(7);
    int plain = 0;
    int filtered = 0;
    int filteredPattern = 0;
    bus.client->subscribe(L"Name", L"plain", counting(plain));
    bus.client->subscribeSession(L"Name", L"filtered", counting(filtered, 0x80000006u));
    bus.client->subscribeFilterSession(L"Na.*", counting(filteredPattern));
    ASSERT_EQ(3u, bus.shim->subscribed.size());

    for (std::uint32_t session : {3u, 0u, 7u})
    {
        auto message = messageInSession(L"Name", session);
        EXPECT_EQ(0u, bus.shim->deliver(bus.shim->subscribed[0].handlerContext, message));
        const ModuleStatus status = bus.shim->deliver(bus.shim->subscribed[1].handlerContext, message);
        EXPECT_EQ(session == 3 ? 0u : 0x80000006u, status)
            << "dropped messages answer success, session " << session;
        bus.shim->deliver(bus.shim->subscribed[2].handlerContext, message);
    }
    EXPECT_EQ(3, plain);
    EXPECT_EQ(2, filtered);
    EXPECT_EQ(2, filteredPattern);

    // A short record has no session field: it always passes.
    auto shortRecord = messageInSession(L"Name", 3);
    shortRecord->getContext()->version = 1;
    bus.shim->deliver(bus.shim->subscribed[1].handlerContext, shortRecord);
    EXPECT_EQ(3, filtered);
}

TEST(MessageBusClientSession, WithoutSessionNothingIsFiltered)
{
    Client bus(0);
    int calls = 0;
    bus.client->subscribeSession(L"Name", counting(calls));
    bus.client->subscribeFilterSession(L"Name", L"p", counting(calls));
    for (const auto& subscription : bus.shim->subscribed)
    {
        bus.shim->deliver(subscription.handlerContext, messageInSession(L"Name", 3));
    }
    EXPECT_EQ(2, calls);
}

TEST(MessageBusClientPublish, ReplyIsAlsoPublishedOnceAsAPlainMessage)
{
    Client bus;
    auto message = std::make_shared<Message>(L"Answer", L"Wardline", L"{}");
    MessageContext* context = message->getContext();
    context->flags = kMessageFlagReply | 0x100;
    context->replyRouting = 0x1122334455667788ull;

    EXPECT_EQ(0u, bus.client->publishEx(message));
    ASSERT_EQ(2u, bus.shim->published.size());
    EXPECT_TRUE(bus.shim->published[0].extended);
    EXPECT_TRUE(bus.shim->published[1].extended);
    const auto& asReply = bus.shim->published[0].context;
    const auto& asCopy = bus.shim->published[1].context;
    EXPECT_EQ(kMessageFlagReply | kMessageFlagCopyPublished | 0x100u, packed(asReply.flags));
    EXPECT_EQ(0x1122334455667788ull, packed(asReply.replyRouting));
    EXPECT_EQ(kMessageFlagCopyPublished | 0x100u, packed(asCopy.flags));
    EXPECT_EQ(0u, packed(asCopy.replyRouting));
    EXPECT_EQ(kMessageFlagCopyPublished | 0x100u, packed(context->flags));
    EXPECT_EQ(0u, packed(context->replyRouting));

    EXPECT_EQ(0u, bus.client->publish(message));
    EXPECT_EQ(3u, bus.shim->published.size()) << "the copy is made once per message object";
}

TEST(MessageBusClientPublish, NoCopyWhenTheRecordSaysSo)
{
    Client bus;
    for (std::uint32_t flags : {0u, kMessageFlagReply | kMessageFlagNoCopy,
                                kMessageFlagReply | kMessageFlagCopyPublished, kMessageFlagNoCopy})
    {
        auto message = std::make_shared<Message>(L"Answer", L"Wardline", L"{}");
        message->getContext()->flags = flags;
        message->getContext()->replyRouting = 5;
        bus.shim->published.clear();
        EXPECT_EQ(0u, bus.client->publishEx(message));
        ASSERT_EQ(1u, bus.shim->published.size()) << flags;
        EXPECT_TRUE(bus.shim->published[0].extended);
        EXPECT_EQ(flags, packed(message->getContext()->flags));
        EXPECT_EQ(5u, packed(message->getContext()->replyRouting));
    }
}

TEST(MessageBusClientPublish, FailuresAreReportedAndNothingIsLost)
{
    Client bus;
    LogCapture log;
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, bus.client->publish(nullptr));
    EXPECT_TRUE(bus.shim->published.empty());
    EXPECT_EQ(0u, log.count());

    auto message = std::make_shared<Message>(L"Answer", L"Wardline", L"{}");
    message->getContext()->flags = kMessageFlagReply;
    message->getContext()->replyRouting = 9;
    bus.shim->publishResults = {MODULE_STATUS_NO_SUBSCRIBERS};
    EXPECT_EQ(MODULE_STATUS_NO_SUBSCRIBERS, bus.client->publish(message));
    EXPECT_EQ(1u, bus.shim->published.size());
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(4u, log.lines()[0].level);
    EXPECT_EQ(L"Norvan::MessageBusClient::internalPublish", log.lines()[0].function);
    EXPECT_EQ(L"Failed to publish message. Error code 2147483662.", log.lines()[0].text);
    EXPECT_EQ(kMessageFlagReply, packed(message->getContext()->flags))
        << "a failed publication marks nothing as sent";

    // Sent again, the reply still gets its copy; the copy itself may fail.
    log.clear();
    bus.shim->publishResults = {0, MODULE_STATUS_UNSUCCESSFUL};
    EXPECT_EQ(0u, bus.client->publish(message));
    EXPECT_EQ(3u, bus.shim->published.size());
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(2u, log.lines()[0].level);
    EXPECT_EQ(L"Failed to publish non-reply copy of the message. Error code 2147483650.",
              log.lines()[0].text);
}

TEST(MessageBusClientLocalDelivery, ExactNamesAndWholePatternMatches)
{
    Client bus;
    int exact = 0;
    int pattern = 0;
    int other = 0;
    bus.client->subscribe(L"Core.Internal.Protection.State", counting(exact, 0x80000006u));
    bus.client->subscribeFilter(L"Core\\.Internal\\..*", L"p", counting(pattern));
    bus.client->subscribeFilter(L"Internal", L"partial", counting(other));
    bus.client->subscribe(L"core.internal.protection.state", L"case", counting(other));

    EXPECT_EQ(0u, bus.client->deliverLocally(
                      std::make_shared<Message>(L"Core.Internal.Protection.State", L"", L"")));
    EXPECT_EQ(1, exact);
    EXPECT_EQ(1, pattern);
    EXPECT_EQ(0, other);

    EXPECT_EQ(0u, bus.client->deliverLocally(std::make_shared<Message>(L"Nobody.Listens", L"", L"")));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, bus.client->deliverLocally(nullptr));

    bus.client->subscribe(L"Throws",
                          [](const std::shared_ptr<Message>&) -> ModuleStatus
                          { throw std::runtime_error("handler failed"); });
    EXPECT_THROW(bus.client->deliverLocally(std::make_shared<Message>(L"Throws", L"", L"")),
                 std::runtime_error);
    // The mutex was released on the way out.
    EXPECT_EQ(0u, bus.client->subscribe(L"After", counting(other)));
}

// Patterns and names that would overflow the stack of the C++ library's
// recursive regex compiler and matcher: deep nesting and overlong patterns
// are refused before compiling; an overlong name matches no pattern but
// still reaches its exact-name subscribers.
TEST(MessageBusClientLocalDelivery, PatternAndNameBoundsKeepTheRegexOffTheStackLimit)
{
    Client bus;
    int calls = 0;
    int exact = 0;
    EXPECT_EQ(
        MODULE_STATUS_INVALID_PARAMETER,
        bus.client->subscribeFilter(std::wstring(4000, L'(') + std::wstring(4000, L')'), counting(calls)));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              bus.client->subscribeFilter(std::wstring(1025, L'a'), counting(calls)));
    EXPECT_EQ(0u, bus.client->subscribeFilter(std::wstring(32, L'(') + L"N" + std::wstring(32, L')') + L".*",
                                              counting(calls)));
    EXPECT_EQ(1u, bus.shim->subscribed.size());

    const std::wstring longName = L"N" + std::wstring(100000, L'x');
    bus.client->subscribe(longName, counting(exact));
    EXPECT_EQ(0u, bus.client->deliverLocally(std::make_shared<Message>(longName, L"", L"")));
    EXPECT_EQ(1, exact);
    EXPECT_EQ(0, calls);
    EXPECT_EQ(
        0u, bus.client->deliverLocally(std::make_shared<Message>(L"N" + std::wstring(1023, L'x'), L"", L"")));
    EXPECT_EQ(1, calls);
}

// The host's withdrawal waits for the subscription's running handler (here
// for ten seconds at most), and that handler subscribes and unsubscribes on
// the same client meanwhile.
TEST(MessageBusClientSubscription, AHandlerUsingItsClientDoesNotHoldUpItsOwnWithdrawal)
{
    Client bus;
    const unique_handle withdrawing(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const unique_handle handled(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> waitedOut{false};
    bus.shim->onUnsubscribe = [&](std::uint32_t)
    {
        SetEvent(withdrawing.get());
        waitedOut = waitedOut || WaitForSingleObject(handled.get(), 10000) != WAIT_OBJECT_0;
    };
    bus.client->subscribe(L"Slow",
                          [client = bus.client.get(), withdrawn = withdrawing.get(),
                           done = handled.get()](const std::shared_ptr<Message>&)
                          {
                              // Locals only: a withdrawal that does not wait may destroy the captures.
                              MessageBusClient* const own = client;
                              const HANDLE ended = done;
                              WaitForSingleObject(withdrawn, 10000);
                              own->subscribe(L"Other", [](const std::shared_ptr<Message>&) { return 0u; });
                              own->unsubscribe(L"Unknown");
                              SetEvent(ended);
                              return 0u;
                          });
    WardlineTest::JoiningThread delivery(
        [&] {
            bus.shim->deliver(bus.shim->subscribed[0].handlerContext,
                              std::make_shared<Message>(L"Slow", L"", L""));
        });
    EXPECT_EQ(0u, bus.client->unsubscribe(L"Slow"));
    delivery.join();
    EXPECT_FALSE(waitedOut) << "the withdrawal waited for a handler that waited for the client";
}

// The host lets a handler withdraw its own subscription without waiting for
// itself; what the handler owns must live until it returns.
TEST(MessageBusClientSubscription, AHandlerWithdrawingItsOwnSubscriptionKeepsItsCapturesToItsEnd)
{
    Client bus;
    auto owned = std::make_shared<int>(0);
    bool diedWhileRunning = true;
    bus.client->subscribe(L"Self",
                          [owned, watch = std::weak_ptr<int>(owned), client = bus.client.get(),
                           result = &diedWhileRunning](const std::shared_ptr<Message>&)
                          {
                              // Only locals after the withdrawal: the captures are under test.
                              const std::weak_ptr<int> captured = watch;
                              bool* const died = result;
                              client->unsubscribe(L"Self");
                              *died = captured.expired();
                              return 0u;
                          });
    owned.reset();
    bus.shim->deliver(bus.shim->subscribed[0].handlerContext, std::make_shared<Message>(L"Self", L"", L""));
    EXPECT_FALSE(diedWhileRunning) << "the handler's captures died while it ran";
}

TEST(MessageBusClientThroughShim, HostDeliveryReachesTheSessionFilter)
{
    // The whole delivery path with the host's raw callback: the host passes
    // its record and strings, the handler sees a message.
    struct Host
    {
        MessageBusMessageCallback callback = nullptr;
        void* context = nullptr;
    } host;
    MessageBusFunctionTable table = {};
    table.subscribe = [](MessageBusHandle handle, void* context, MessageBusMessageCallback callback,
                         const wchar_t*) -> std::uint32_t
    {
        static_cast<Host*>(handle)->callback = callback;
        static_cast<Host*>(handle)->context = context;
        return 1;
    };
    table.unsubscribe = [](MessageBusHandle, std::uint32_t) -> std::uint32_t { return 0; };
    table.removeReplyCallback = [](MessageBusHandle, MessageBusReplyCallback) -> std::uint32_t { return 0; };

    MessageBusClient client(std::make_shared<MessageBusShimImpl>(&host, &table), processInSession(7));
    std::vector<std::wstring> payloads;
    client.subscribeSession(L"State",
                            [&payloads](const std::shared_ptr<Message>& message)
                            {
                                payloads.push_back(message->getPayload());
                                return 0u;
                            });
    ASSERT_NE(nullptr, host.callback);

    MessageContext record = kDefaultMessageContext;
    record.sessionId = 3;
    EXPECT_EQ(0u, host.callback(host.context, &record, L"State", L"Host", L"other session"));
    record.sessionId = 7;
    EXPECT_EQ(0u, host.callback(host.context, &record, L"State", L"Host", L"our session"));
    record.version = 1; // a short record: whatever lies past it is not a session
    record.sessionId = 3;
    EXPECT_EQ(0u, host.callback(host.context, &record, L"State", L"Host", L"short record"));
    EXPECT_EQ((std::vector<std::wstring>{L"our session", L"short record"}), payloads);
}
