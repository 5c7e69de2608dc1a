// The module's own bus client on the real bus: once the client has withdrawn a
// subscription or been destroyed, nothing calls back into what it handed the
// bus. Handlers and completions keep their state in objects that are poisoned
// the moment the withdrawal returns; seeing poison, or a callback still
// running after the withdrawal returned, is a violation.

#include "HostSupport.h"

#include "message/Message.h"
#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"
#include "message/Reply.h"
#include "support/JoiningThread.h"

#include <memory>
#include <thread>

using namespace integration;

namespace
{

constexpr std::uint32_t kAlive = 0x0A11FE00u;
constexpr std::uint32_t kPoisoned = 0xDEADDEADu;

struct Victim
{
    std::atomic<std::uint32_t> magic{kAlive};
    std::atomic<int> inside{0};
    std::atomic<int> calls{0};
};

struct Violations
{
    std::atomic<int> poisonSeen{0};
    std::atomic<int> stillRunning{0};
};

void spin(unsigned rounds)
{
    for (volatile unsigned i = 0; i < rounds; i = i + 1)
    {
    }
}

Norvan::MessageHandler watchedHandler(Victim* victim, Violations* violations)
{
    return [victim, violations](const std::shared_ptr<Norvan::Message>&) -> Norvan::ModuleStatus
    {
        ++victim->inside;
        if (victim->magic.load() != kAlive)
        {
            ++violations->poisonSeen;
        }
        // Long enough that deliveries overlap the withdrawal.
        spin(20000);
        if (victim->magic.load() != kAlive)
        {
            ++violations->poisonSeen;
        }
        ++victim->calls;
        --victim->inside;
        return 0;
    };
}

// After a withdrawal returned: nothing of the victim may be running, and
// nothing may touch it from now on.
void poison(Victim& victim, Violations& violations)
{
    if (victim.inside.load() != 0)
    {
        ++violations.stillRunning;
    }
    victim.magic = kPoisoned;
}

std::shared_ptr<Norvan::MessageBusClient> clientOn(const Courier& bus, CourierHandle handle)
{
    // The host's table is the module's table: the same ten entries.
    auto shim = std::make_shared<Norvan::MessageBusShimImpl>(
        handle, reinterpret_cast<const Norvan::MessageBusFunctionTable*>(bus.table));
    return std::make_shared<Norvan::MessageBusClient>(shim, nullptr);
}

std::shared_ptr<Norvan::Message> message(const wchar_t* name, const std::wstring& payload)
{
    std::shared_ptr<Norvan::Message> made;
    Norvan::createMessage(made, name, L"WithdrawalTest", payload);
    return made;
}

// Threads that keep publishing the given names, each from a handle of its own.
class Publishers
{
public:
    Publishers(const Courier& bus, std::vector<std::wstring> names, unsigned threads)
        : names_(std::move(names))
    {
        for (unsigned t = 0; t < threads; ++t)
        {
            threads_.emplace_back(
                [this, &bus, t]
                {
                    Handle own(bus.table);
                    for (unsigned i = t; !stop_; ++i)
                    {
                        bus.table->publish(own, nullptr, names_[i % names_.size()].c_str(), L"Publisher",
                                           L"{}");
                        ++sent;
                        if (i % 16 == 15)
                        {
                            Sleep(0);
                        }
                    }
                });
        }
    }
    ~Publishers()
    {
        stop_ = true;
        for (std::thread& thread : threads_)
        {
            thread.join();
        }
    }
    std::atomic<unsigned long long> sent{0};

private:
    std::vector<std::wstring> names_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

class Withdrawal : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(bus.loaded()) << "Courier.dll or one of its exports is missing"; }

    Courier bus;
    // Poisoned state stays allocated, so that a late callback is counted
    // instead of corrupting the heap.
    std::vector<std::unique_ptr<Victim>> graveyard;
    Victim* victim()
    {
        graveyard.emplace_back(new Victim);
        return graveyard.back().get();
    }
};

} // namespace

// Subscriptions by name, by alias and by pattern, with deliveries running on
// several bus threads: every other iteration destroys the client outright;
// the others unsubscribe two aliases mid-flight (the client lives on and
// keeps its third subscription) and then destroy it.
TEST_F(Withdrawal, NoHandlerRunsAfterUnsubscribeOrDestructionReturned)
{
    // A withdrawal with no callback running proves little: go on until enough
    // of them caught one in the act (on a busy machine that takes longer).
    const int wantedInFlight = 100;
    const int maxIterations = 1500;
    Violations violations;
    int inFlight = 0;
    int iterations = 0;
    Publishers publishers(bus, {L"Withdraw.A", L"Withdraw.B", L"Withdraw.C"}, 3);
    for (int iteration = 0; inFlight < wantedInFlight && iteration < maxIterations; ++iteration, ++iterations)
    {
        Handle handle(bus.table);
        ASSERT_EQ(handle.status, 0u);
        auto client = clientOn(bus, handle);
        Victim* byName = victim();
        Victim* byAlias = victim();
        Victim* byPattern = victim();
        ASSERT_EQ(client->subscribe(L"Withdraw.A", watchedHandler(byName, &violations)), 0u);
        ASSERT_EQ(client->subscribe(L"Withdraw.B", L"B", watchedHandler(byAlias, &violations)), 0u);
        ASSERT_EQ(client->subscribeFilter(L"Withdraw\\.[AC]", L"P", watchedHandler(byPattern, &violations)),
                  0u);
        const int wanted = 1 + iteration % 5;
        ASSERT_TRUE(waitUntil([&] { return byName->calls >= wanted && byPattern->calls >= wanted; }))
            << "iteration " << iteration << ": no deliveries";

        // Withdraw while a delivery runs, when one can be caught.
        const auto runningNow = [&] { return byName->inside + byAlias->inside + byPattern->inside > 0; };
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        while (!runningNow() && std::chrono::steady_clock::now() < giveUp)
        {
            Sleep(0);
        }
        const bool running = runningNow();
        if (iteration % 2 == 0)
        {
            client.reset();
            poison(*byName, violations);
            poison(*byAlias, violations);
            poison(*byPattern, violations);
        }
        else
        {
            ASSERT_EQ(client->unsubscribe(L"Withdraw.A"), 0u);
            poison(*byName, violations);
            ASSERT_EQ(client->unsubscribe(L"P"), 0u);
            poison(*byPattern, violations);
            const int aliasCalls = byAlias->calls;
            ASSERT_TRUE(waitUntil([&] { return byAlias->calls > aliasCalls; }))
                << "iteration " << iteration << ": the remaining subscription stopped";
            client.reset();
            poison(*byAlias, violations);
        }
        inFlight += running ? 1 : 0;
        // Publications go on meanwhile: late deliveries would show now.
        const unsigned long long sent = publishers.sent;
        waitUntil([&] { return publishers.sent > sent + 30; }, std::chrono::milliseconds(2000));
    }
    EXPECT_EQ(violations.poisonSeen, 0) << "a handler saw state its client had given up";
    EXPECT_EQ(violations.stillRunning, 0) << "a handler was still running when the withdrawal returned";
    EXPECT_GE(inFlight, wantedInFlight) << "callbacks were in flight in " << inFlight << " of " << iterations;
    std::printf("withdrawal with a callback running: %d of %d iterations\n", inFlight, iterations);
}

namespace
{
// Answers every request after a delay given in its payload (milliseconds),
// with the request's record and the reply flag.
struct LateResponder
{
    const CourierFunctionTable* table = nullptr;
    CourierHandle handle = nullptr;
    std::atomic<int> answered{0};

    static CourierStatus callback(void* context, const void* record, const wchar_t* name, const wchar_t*,
                                  const wchar_t* payload)
    {
        auto* self = static_cast<LateResponder*>(context);
        const std::vector<unsigned char> reply = replyRecordFor(record);
        Sleep(static_cast<DWORD>(std::wcstoul(payload, nullptr, 10)));
        self->table->publish(self->handle, reply.data(), name, L"LateResponder", L"late");
        ++self->answered;
        return 0;
    }
};
} // namespace

// Requests still waiting for a slow responder when their client is destroyed:
// the reply callback was withdrawn, so the bus runs no reply callback after
// the destruction returned, no completion runs with the client gone, and
// every waiter ends: with the reply if it came in time, else with status 3.
TEST_F(Withdrawal, NoReplyCallbackAfterTheClientIsDestroyed)
{
    Handle responderHandle(bus.table);
    ASSERT_EQ(responderHandle.status, 0u);
    LateResponder responder;
    responder.table = bus.table;
    responder.handle = responderHandle;
    const std::uint32_t id =
        bus.table->subscribe(responderHandle, &responder, LateResponder::callback, L"Withdraw.Ask");
    ASSERT_NE(id, 0u);

    const int iterations = 200;
    const int perKind = 3;
    Violations violations;
    int abandoned = 0;
    int answered = 0;
    int sent = 0;
    int lateReplyCallbacks = 0;
    int badStatuses = 0;
    int repeated = 0;
    for (int iteration = 0; iteration < iterations; ++iteration)
    {
        Handle handle(bus.table);
        ASSERT_EQ(handle.status, 0u);
        auto client = clientOn(bus, handle);
        Victim* completions = victim();
        std::vector<std::shared_ptr<std::atomic<int>>> completionCalls;
        // Declared before the waiters, which write into it until joined.
        std::vector<Norvan::ReplyStatus> waited(perKind, -1);
        std::vector<WardlineTest::JoiningThread> waiters;
        for (int k = 0; k < perKind; ++k)
        {
            // Delays that straddle the moment of destruction.
            const std::wstring delay = std::to_wstring((iteration + k) % 4);
            auto calls = std::make_shared<std::atomic<int>>(0);
            completionCalls.push_back(calls);
            const Norvan::RequestCompletion completion =
                [completions, calls, &violations](std::shared_ptr<Norvan::Reply>)
            {
                ++completions->inside;
                if (completions->magic.load() != kAlive)
                {
                    ++violations.poisonSeen;
                }
                ++*calls;
                --completions->inside;
            };
            ASSERT_EQ(
                client->request(message(L"Withdraw.Ask", delay), completion, std::chrono::milliseconds(5000)),
                0u);
            std::shared_ptr<Norvan::Reply> reply;
            ASSERT_EQ(
                client->request(message(L"Withdraw.Ask", delay), reply, std::chrono::milliseconds(5000)), 0u);
            ASSERT_TRUE(reply);
            waiters.emplace_back([reply, &waited, k] { waited[k] = reply->wait(); });
            sent += 2;
        }
        Sleep(static_cast<DWORD>(iteration % 3));

        client.reset();
        const std::uint64_t repliesAtDestruction = bus.stats().repliesDelivered;
        poison(*completions, violations);
        for (WardlineTest::JoiningThread& waiter : waiters)
        {
            waiter.join();
        }
        for (int k = 0; k < perKind; ++k)
        {
            if (waited[k] == Norvan::REPLY_STATUS_DATA_ERROR)
            {
                ++abandoned;
            }
            else if (waited[k] == Norvan::REPLY_STATUS_RECEIVED)
            {
                ++answered;
            }
            else
            {
                ++badStatuses;
                ADD_FAILURE() << "iteration " << iteration << ": a waiter ended with " << waited[k];
            }
            repeated += *completionCalls[k] > 1 ? 1 : 0;
        }
        // Let the responder answer everything this client asked; those
        // answers find nobody to call.
        ASSERT_TRUE(waitUntil([&] { return responder.answered >= sent; }));
        Sleep(5);
        if (bus.stats().repliesDelivered != repliesAtDestruction)
        {
            ++lateReplyCallbacks;
        }
    }
    bus.table->unsubscribe(responderHandle, id);
    EXPECT_EQ(lateReplyCallbacks, 0) << "the bus called a reply callback the client had withdrawn";
    EXPECT_EQ(violations.poisonSeen, 0) << "a completion ran after its client was destroyed";
    EXPECT_EQ(violations.stillRunning, 0)
        << "a completion was running when the client's destruction returned";
    EXPECT_EQ(repeated, 0) << "a completion ran more than once";
    EXPECT_EQ(badStatuses, 0);
    // The test means something only if requests were really pending at
    // destruction, and some were answered in time.
    EXPECT_GE(abandoned, iterations * perKind / 4) << abandoned << " abandoned, " << answered << " answered";
    EXPECT_GT(answered, 0);
    std::printf("waiters: %d abandoned (status 3), %d answered in time\n", abandoned, answered);
}
