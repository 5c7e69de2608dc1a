#include "CourierTestSupport.h"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

using namespace courier;
using namespace courier::test;

namespace
{
struct Outcome
{
    std::uint64_t index;
    CourierStatus status;
    std::wstring name;
    std::wstring payload;
    bool hadRecord;
    std::uint32_t flags;
    DWORD thread;
};

// Every reply callback the requester received.
struct Replies
{
    std::mutex lock;
    std::vector<Outcome> outcomes;
    std::atomic<int> count{0};

    static CourierStatus callback(void* context, std::uint64_t index, const void* record, const wchar_t* name,
                                  const wchar_t*, const wchar_t* payload, CourierStatus status)
    {
        auto* self = static_cast<Replies*>(context);
        Outcome outcome{index,
                        status,
                        name ? name : L"<null>",
                        payload ? payload : L"<null>",
                        record != nullptr,
                        record ? Record::get<std::uint32_t>(record, kOffsetFlags) : 0,
                        GetCurrentThreadId()};
        std::lock_guard<std::mutex> guard(self->lock);
        self->outcomes.push_back(outcome);
        ++self->count;
        return 0;
    }
    std::map<std::uint64_t, int> perIndex()
    {
        std::lock_guard<std::mutex> guard(lock);
        std::map<std::uint64_t, int> result;
        for (const auto& outcome : outcomes)
        {
            ++result[outcome.index];
        }
        return result;
    }
};

// A subscriber that answers each request by publishing a reply through its
// own handle, as the host's services do.
struct Responder
{
    const CourierFunctionTable* table = nullptr;
    CourierHandle handle = nullptr;
    int answers = 1;    // replies sent per request
    bool answer = true; // false: stay silent
    DWORD delayMs = 0;
    std::atomic<int> requests{0};
    std::atomic<int> handled{0}; // callbacks that have finished publishing
    std::atomic<std::uint64_t> lastRouting{0};

    static CourierStatus callback(void* context, const void* record, const wchar_t* name, const wchar_t*,
                                  const wchar_t* payload)
    {
        auto* self = static_cast<Responder*>(context);
        ++self->requests;
        Record reply;
        std::memcpy(reply.bytes, record, kRecordSizeV2);
        self->lastRouting = Record::get<std::uint64_t>(record, kOffsetReplyRouting);
        reply.put<std::uint32_t>(kOffsetFlags, Record::get<std::uint32_t>(record, kOffsetFlags) | kFlagReply);
        if (self->delayMs != 0)
        {
            Sleep(self->delayMs);
        }
        const std::wstring answer = std::wstring(L"re:") + payload;
        for (int i = 0; self->answer && i < self->answers; ++i)
        {
            self->table->publish(self->handle, reply.bytes, (std::wstring(name) + L".Reply").c_str(),
                                 L"responder", answer.c_str());
        }
        ++self->handled;
        return 0;
    }
};

class CourierRequests : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_COURIER_LOADED(lib);
        ASSERT_EQ(requester.status, 0u);
        ASSERT_EQ(service.status, 0u);
        responder.table = lib.table;
        responder.handle = service;
    }
    void TearDown() override
    {
        requester.release();
        service.release();
    }
    CourierLibrary lib;
    BusHandle requester{lib.table};
    BusHandle service{lib.table};
    Responder responder;
};
} // namespace

TEST_F(CourierRequests, ReplyReachesOnlyTheRequesterExactlyOnce)
{
    const CourierFunctionTable& t = *lib.table;
    Replies replies;
    responder.answers = 3; // the later two are late replies and are dropped
    struct Bystander
    {
        std::atomic<int> count{0};
        static CourierStatus callback(void* context, const void*, const wchar_t*, const wchar_t*,
                                      const wchar_t*)
        {
            ++static_cast<Bystander*>(context)->count;
            return 0;
        }
    } bystander;
    ASSERT_NE(t.subscribe(service, &responder, Responder::callback, L"Ask"), 0u);
    ASSERT_NE(t.subscribe(requester, &bystander, Bystander::callback, L"Ask.Reply"), 0u);

    Record record;
    record.put<std::uint32_t>(kOffsetSessionId, 7);
    ASSERT_EQ(t.request(requester, 41, &replies, Replies::callback, record.bytes, L"Ask", L"me", L"q1", 5000),
              0u);
    ASSERT_EQ(
        t.requestEx(requester, 42, &replies, Replies::callback, record.bytes, L"Ask", L"me", L"q2", 5000),
        0u);
    ASSERT_TRUE(waitUntil([&] { return replies.count == 2; }));
    allowLateArrivals();
    EXPECT_EQ(replies.count, 2);
    EXPECT_NE(responder.lastRouting, 0u);
    std::lock_guard<std::mutex> guard(replies.lock);
    std::map<std::uint64_t, Outcome> byIndex;
    for (const auto& outcome : replies.outcomes)
    {
        byIndex.emplace(outcome.index, outcome);
    }
    ASSERT_EQ(byIndex.size(), 2u);
    EXPECT_EQ(byIndex[41].status, 0u);
    EXPECT_EQ(byIndex[41].payload, L"re:q1");
    EXPECT_EQ(byIndex[41].name, L"Ask.Reply");
    EXPECT_TRUE(byIndex[41].hadRecord);
    EXPECT_EQ(byIndex[41].flags & kFlagReply, kFlagReply);
    EXPECT_EQ(byIndex[42].payload, L"re:q2");
    EXPECT_NE(byIndex[41].thread, GetCurrentThreadId());
    // Replies are routed, not broadcast.
    EXPECT_EQ(bystander.count, 0);
}

TEST_F(CourierRequests, SessionIdTravelsToTheSubscriber)
{
    const CourierFunctionTable& t = *lib.table;
    struct Seen
    {
        std::atomic<std::uint32_t> session{99};
        static CourierStatus callback(void* context, const void* record, const wchar_t*, const wchar_t*,
                                      const wchar_t*)
        {
            static_cast<Seen*>(context)->session = Record::get<std::uint32_t>(record, kOffsetSessionId);
            return 0;
        }
    } seen;
    Replies replies;
    ASSERT_NE(t.subscribe(service, &seen, Seen::callback, L"Ask"), 0u);
    Record record;
    record.put<std::uint32_t>(kOffsetSessionId, 3);
    ASSERT_EQ(t.request(requester, 1, &replies, Replies::callback, record.bytes, L"Ask", L"", L"", 50), 0u);
    ASSERT_TRUE(waitUntil([&] { return replies.count == 1 && seen.session != 99u; }));
    EXPECT_EQ(seen.session, 3u);
}

TEST_F(CourierRequests, SilenceEndsInOneTimeout)
{
    const CourierFunctionTable& t = *lib.table;
    Replies replies;
    responder.answer = false;
    ASSERT_NE(t.subscribe(service, &responder, Responder::callback, L"Ask"), 0u);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(t.request(requester, 7, &replies, Replies::callback, nullptr, L"Ask", L"", L"", 200), 0u);
    ASSERT_TRUE(waitUntil([&] { return replies.count == 1; }));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(190));
    allowLateArrivals(std::chrono::milliseconds(300)); // longer than the time-out once more
    std::lock_guard<std::mutex> guard(replies.lock);
    ASSERT_EQ(replies.outcomes.size(), 1u);
    EXPECT_EQ(replies.outcomes[0].index, 7u);
    EXPECT_EQ(replies.outcomes[0].status, kStatusTimeout);
    EXPECT_FALSE(replies.outcomes[0].hadRecord);
    EXPECT_EQ(replies.outcomes[0].name, L"<null>");
}

TEST_F(CourierRequests, LateReplyAfterTimeoutIsDropped)
{
    const CourierFunctionTable& t = *lib.table;
    Replies replies;
    // The reply comes long after the time-out, also on a slow machine.
    responder.delayMs = 800;
    ASSERT_NE(t.subscribe(service, &responder, Responder::callback, L"Ask"), 0u);
    ASSERT_EQ(t.request(requester, 9, &replies, Replies::callback, nullptr, L"Ask", L"", L"", 20), 0u);
    ASSERT_TRUE(waitUntil([&] { return responder.handled == 1; }));
    allowLateArrivals();
    std::lock_guard<std::mutex> guard(replies.lock);
    ASSERT_EQ(replies.outcomes.size(), 1u);
    EXPECT_EQ(replies.outcomes[0].status, kStatusTimeout);
}

TEST_F(CourierRequests, NobodyToAnswer)
{
    const CourierFunctionTable& t = *lib.table;
    Replies replies;
    ASSERT_EQ(t.request(requester, 3, &replies, Replies::callback, nullptr, L"Nobody", L"", L"", 60000), 0u);
    ASSERT_TRUE(waitUntil([&] { return replies.count == 1; }, std::chrono::milliseconds(5000)));
    std::lock_guard<std::mutex> guard(replies.lock);
    EXPECT_EQ(replies.outcomes[0].status, kStatusNoSubscribers);
    EXPECT_EQ(replies.outcomes[0].index, 3u);
}

TEST_F(CourierRequests, RepliesWithUnknownRoutingAndDuplicateIndexes)
{
    const CourierFunctionTable& t = *lib.table;
    Replies replies;
    responder.answer = false;
    ASSERT_NE(t.subscribe(service, &responder, Responder::callback, L"Ask"), 0u);
    ASSERT_EQ(t.request(requester, 5, &replies, Replies::callback, nullptr, L"Ask", L"", L"", 60000), 0u);
    // The same index while it is pending would break "once per index".
    EXPECT_EQ(t.request(requester, 5, &replies, Replies::callback, nullptr, L"Ask", L"", L"", 60000),
              kStatusInvalidParameter);
    // Another requester on the same handle (another reply context) has its
    // own indexes.
    Replies sameHandle;
    EXPECT_EQ(t.request(requester, 5, &sameHandle, Replies::callback, nullptr, L"Nobody", L"", L"", 60000),
              0u);
    ASSERT_TRUE(waitUntil([&] { return responder.requests == 1 && sameHandle.count == 1; }));
    // Another handle has its own indexes.
    Replies other;
    EXPECT_EQ(t.request(service, 5, &other, Replies::callback, nullptr, L"Nobody", L"", L"", 60000), 0u);
    ASSERT_TRUE(waitUntil([&] { return other.count == 1; }));

    Record reply;
    reply.put<std::uint32_t>(kOffsetFlags, kFlagReply);
    reply.put<std::uint64_t>(kOffsetReplyRouting, 0xFFFFFFFFFFFFull);
    EXPECT_EQ(t.publish(service, reply.bytes, L"Forged", L"", L""), kStatusNotFound);
    reply.put<std::uint64_t>(kOffsetReplyRouting, 0);
    EXPECT_EQ(t.publish(service, reply.bytes, L"Forged", L"", L""), kStatusNotFound);
    allowLateArrivals();
    EXPECT_EQ(replies.count, 0);

    // Answering through the real routing ends the request; the index is free again.
    reply.put<std::uint64_t>(kOffsetReplyRouting, responder.lastRouting.load());
    EXPECT_EQ(t.publish(service, reply.bytes, L"Answer", L"", L"done"), 0u);
    ASSERT_TRUE(waitUntil([&] { return replies.count == 1; }));
    EXPECT_EQ(t.publish(service, reply.bytes, L"Answer", L"", L"again"), 0u);
    EXPECT_EQ(t.request(requester, 5, &replies, Replies::callback, nullptr, L"Nobody", L"", L"", 60000), 0u);
    ASSERT_TRUE(waitUntil([&] { return replies.count == 2; }));
    allowLateArrivals();
    EXPECT_EQ(replies.count, 2); // "again" was late and dropped
}

// Many requesters, a responder that answers some twice and ignores some: the
// reply callback runs exactly once per accepted index.
TEST_F(CourierRequests, ExactlyOncePerIndexUnderLoad)
{
    const CourierFunctionTable& t = *lib.table;
    struct Mixed
    {
        const CourierFunctionTable* table;
        CourierHandle handle;
        std::atomic<int> seen{0};
        static CourierStatus callback(void* context, const void* record, const wchar_t*, const wchar_t*,
                                      const wchar_t* payload)
        {
            auto* self = static_cast<Mixed*>(context);
            const int n = std::stoi(payload);
            ++self->seen;
            Record reply;
            std::memcpy(reply.bytes, record, kRecordSizeV2);
            reply.put<std::uint32_t>(kOffsetFlags, kFlagReply);
            const int copies = n % 3; // 0: silent (time-out), 1: once, 2: twice
            for (int i = 0; i < copies; ++i)
            {
                self->table->publish(self->handle, reply.bytes, L"Work.Reply", L"", payload);
            }
            return 0;
        }
    } mixed{lib.table, service};
    ASSERT_NE(t.subscribe(service, &mixed, Mixed::callback, L"Work"), 0u);
    ASSERT_NE(t.subscribe(service, &mixed, Mixed::callback, L"Work"), 0u); // two answerers per request

    constexpr int kThreads = 3;
    constexpr int kEach = 60;
    std::vector<std::unique_ptr<Replies>> results;
    std::vector<std::thread> threads;
    for (int p = 0; p < kThreads; ++p)
    {
        results.push_back(std::make_unique<Replies>());
    }
    for (int p = 0; p < kThreads; ++p)
    {
        threads.emplace_back(
            [&, p]
            {
                for (int i = 0; i < kEach; ++i)
                {
                    EXPECT_EQ(t.request(requester, static_cast<std::uint64_t>(p) * 1000 + i, results[p].get(),
                                        Replies::callback, nullptr, L"Work", L"", std::to_wstring(i).c_str(),
                                        2000),
                              0u);
                }
            });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    for (int p = 0; p < kThreads; ++p)
    {
        ASSERT_TRUE(waitUntil([&] { return results[p]->count == kEach; })) << results[p]->count;
    }
    allowLateArrivals();
    for (int p = 0; p < kThreads; ++p)
    {
        const auto perIndex = results[p]->perIndex();
        ASSERT_EQ(perIndex.size(), static_cast<std::size_t>(kEach));
        for (const auto& entry : perIndex)
        {
            EXPECT_EQ(entry.second, 1) << "index " << entry.first;
        }
        std::lock_guard<std::mutex> guard(results[p]->lock);
        for (const auto& outcome : results[p]->outcomes)
        {
            const int i = static_cast<int>(outcome.index % 1000);
            EXPECT_EQ(outcome.status, i % 3 == 0 ? kStatusTimeout : 0u) << "index " << outcome.index;
        }
    }
}

namespace
{
struct TapRecord
{
    std::uint32_t kind;
    std::wstring name;
    std::uint64_t index;
    std::uint64_t routing;
    std::uint32_t receivers;
    CourierHandle handle;
};

struct RequestTap
{
    std::mutex lock;
    std::vector<TapRecord> events;
    static void callback(void* context, const CourierTapEvent* event)
    {
        auto* self = static_cast<RequestTap*>(context);
        if (event->kind == CourierTapHandled)
        {
            return; // when a handler returns is no part of a request's path (CourierTapTest)
        }
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.push_back({event->kind, event->name ? event->name : L"<none>", event->requestIndex,
                                event->replyRouting, event->receivers, event->handle});
    }
    std::size_t size()
    {
        std::lock_guard<std::mutex> guard(lock);
        return events.size();
    }
};
} // namespace

// A traffic monitor sees requests, their replies and how each ended, which
// no subscription can (replies are routed, outcomes are not messages).
TEST_F(CourierRequests, TapFollowsRequestsToTheirEnd)
{
    const CourierFunctionTable& t = *lib.table;
    RequestTap tap;
    ASSERT_EQ(lib.setTap(RequestTap::callback, &tap), 0u);
    Replies replies;
    responder.answers = 2;
    ASSERT_NE(t.subscribe(service, &responder, Responder::callback, L"Ask"), 0u);
    ASSERT_EQ(t.request(requester, 1, &replies, Replies::callback, nullptr, L"Ask", L"", L"a", 5000), 0u);
    ASSERT_TRUE(waitUntil([&] { return replies.count == 1 && tap.size() == 3; }));
    ASSERT_EQ(t.request(requester, 2, &replies, Replies::callback, nullptr, L"Nobody", L"", L"", 5000), 0u);
    ASSERT_TRUE(waitUntil([&] { return replies.count == 2 && tap.size() == 5; }));
    responder.answer = false;
    ASSERT_EQ(t.request(requester, 3, &replies, Replies::callback, nullptr, L"Ask", L"", L"", 10), 0u);
    ASSERT_TRUE(waitUntil([&] { return replies.count == 3 && tap.size() == 7; }));
    ASSERT_EQ(lib.setTap(nullptr, nullptr), 0u);

    std::lock_guard<std::mutex> guard(tap.lock);
    const auto& e = tap.events;
    ASSERT_EQ(e.size(), 7u);
    EXPECT_EQ(e[0].kind, static_cast<std::uint32_t>(CourierTapRequest));
    EXPECT_EQ(e[0].name, L"Ask");
    EXPECT_EQ(e[0].index, 1u);
    EXPECT_EQ(e[0].receivers, 1u);
    EXPECT_EQ(e[0].handle, requester.handle);
    EXPECT_EQ(e[1].kind, static_cast<std::uint32_t>(CourierTapReply));
    EXPECT_EQ(e[1].name, L"Ask.Reply");
    EXPECT_EQ(e[1].index, 1u);
    EXPECT_EQ(e[1].routing, e[0].routing);
    EXPECT_EQ(e[1].handle, service.handle);
    EXPECT_EQ(e[2].kind, static_cast<std::uint32_t>(CourierTapReplyDropped));
    EXPECT_EQ(e[2].routing, e[0].routing);
    EXPECT_EQ(e[3].kind, static_cast<std::uint32_t>(CourierTapRequest));
    EXPECT_EQ(e[3].receivers, 0u);
    EXPECT_EQ(e[4].kind, static_cast<std::uint32_t>(CourierTapNoSubscribers));
    EXPECT_EQ(e[4].index, 2u);
    EXPECT_EQ(e[4].name, L"<none>");
    EXPECT_EQ(e[5].kind, static_cast<std::uint32_t>(CourierTapRequest));
    EXPECT_EQ(e[6].kind, static_cast<std::uint32_t>(CourierTapTimeout));
    EXPECT_EQ(e[6].index, 3u);
    EXPECT_EQ(e[6].routing, e[5].routing);
}

// Zero times out at once; the largest time-out saturates instead of wrapping
// into the past.
TEST_F(CourierRequests, ExtremeTimeouts)
{
    const CourierFunctionTable& t = *lib.table;
    Replies zero, forever;
    responder.answer = false;
    ASSERT_NE(t.subscribe(service, &responder, Responder::callback, L"Ask"), 0u);
    ASSERT_EQ(t.request(requester, 1, &forever, Replies::callback, nullptr, L"Ask", L"", L"", ~0ull), 0u);
    ASSERT_EQ(t.request(requester, 2, &zero, Replies::callback, nullptr, L"Ask", L"", L"", 0), 0u);
    ASSERT_TRUE(waitUntil([&] { return zero.count == 1; }));
    {
        std::lock_guard<std::mutex> guard(zero.lock);
        EXPECT_EQ(zero.outcomes[0].status, kStatusTimeout);
    }
    allowLateArrivals();
    EXPECT_EQ(forever.count, 0);
    // Withdrawn, the everlasting request never calls back.
    ASSERT_EQ(t.removeReplyCallback(requester, Replies::callback), 0u);
    allowLateArrivals();
    EXPECT_EQ(forever.count, 0);
}
