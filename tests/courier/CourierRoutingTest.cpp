#include "CourierTestSupport.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

using namespace courier;
using namespace courier::test;

namespace
{
// What one subscription saw.
struct Inbox
{
    std::mutex lock;
    std::vector<std::wstring> names;
    std::vector<std::wstring> payloads;
    std::vector<std::vector<unsigned char>> records;
    std::set<DWORD> threads;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> count{0};

    static CourierStatus callback(void* context, const void* record, const wchar_t* name,
                                  const wchar_t* source, const wchar_t* payload)
    {
        auto* self = static_cast<Inbox*>(context);
        if (self->inside.fetch_add(1) != 0)
        {
            self->overlapped = true;
        }
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->names.emplace_back(name);
            self->payloads.emplace_back(payload);
            const auto* bytes = static_cast<const unsigned char*>(record);
            self->records.emplace_back(bytes, bytes + kRecordSizeV2);
            self->threads.insert(GetCurrentThreadId());
        }
        --self->inside;
        ++self->count;
        return 0;
    }
    std::vector<std::wstring> sortedNames()
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::wstring> copy = names;
        std::sort(copy.begin(), copy.end());
        return copy;
    }
};

class CourierRouting : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_COURIER_LOADED(lib);
        ASSERT_EQ(publisher.status, 0u);
        ASSERT_EQ(listener.status, 0u);
    }
    CourierLibrary lib;
    BusHandle publisher{lib.table};
    BusHandle listener{lib.table};
};
} // namespace

TEST_F(CourierRouting, NamesMatchExactlyAndPatternsMatchWholeNames)
{
    const CourierFunctionTable& t = *lib.table;
    Inbox exact, pattern, everything, own;
    ASSERT_NE(t.subscribe(listener, &exact, Inbox::callback, L"Core.Protection.State"), 0u);
    ASSERT_NE(t.subscribeFilter(listener, &pattern, Inbox::callback, L"Core\\.Protection\\..*"), 0u);
    ASSERT_NE(t.subscribeFilter(listener, &everything, Inbox::callback, L".*"), 0u);
    // The publisher's own subscriptions are served too.
    ASSERT_NE(t.subscribe(publisher, &own, Inbox::callback, L"Core.Protection.State"), 0u);

    for (const wchar_t* name : {L"Core.Protection.State", L"core.protection.state", L"Core.Protection.StateX",
                                L"XCore.Protection.State", L"Core.Protection.RefreshState", L"Other"})
    {
        ASSERT_EQ(t.publish(publisher, nullptr, name, L"src", L"{}"), 0u);
    }
    ASSERT_EQ(t.publishEx(publisher, nullptr, L"Core.Protection.State", L"src", L"{}"), 0u);
    ASSERT_TRUE(waitUntil(
        [&] { return everything.count == 7 && own.count == 2 && exact.count == 2 && pattern.count == 4; }));
    allowLateArrivals();
    EXPECT_EQ(exact.sortedNames(),
              (std::vector<std::wstring>{L"Core.Protection.State", L"Core.Protection.State"}));
    EXPECT_EQ(own.count, 2);
    EXPECT_EQ(pattern.sortedNames(),
              (std::vector<std::wstring>{L"Core.Protection.RefreshState", L"Core.Protection.State",
                                         L"Core.Protection.State", L"Core.Protection.StateX"}));
    EXPECT_EQ(everything.count, 7);
}

TEST_F(CourierRouting, RecordsAreCopiedAndCarriedAsVersionTwo)
{
    const CourierFunctionTable& t = *lib.table;
    Inbox inbox;
    ASSERT_NE(t.subscribe(listener, &inbox, Inbox::callback, L"R"), 0u);

    // A record freed right after publish returns: the bus kept its own copy.
    auto* v2 = new Record(2);
    v2->put<std::uint32_t>(kOffsetSessionId, 5);
    v2->put<std::uint32_t>(kOffsetFlags, 0x100);
    v2->bytes[40] = 0xAB;
    ASSERT_EQ(t.publish(publisher, v2->bytes, L"R", L"s", L"one"), 0u);
    std::memset(v2->bytes, 0xEE, sizeof(v2->bytes));
    delete v2;

    // Version 1: the caller owns 100 bytes only; whatever follows is not read.
    std::vector<unsigned char> v1(kRecordSizeV1 + 8, 0xCC);
    Record first(1);
    std::memcpy(v1.data(), first.bytes, kRecordSizeV1);
    ASSERT_EQ(t.publish(publisher, v1.data(), L"R", L"s", L"two"), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"R", L"AB", L"three"), 0u);
    ASSERT_TRUE(waitUntil([&] { return inbox.count == 3; }));

    std::lock_guard<std::mutex> guard(inbox.lock);
    ASSERT_EQ(inbox.payloads, (std::vector<std::wstring>{L"one", L"two", L"three"}));
    const auto& copied = inbox.records[0];
    EXPECT_EQ(Record::get<std::uint32_t>(copied.data(), kOffsetSessionId), 5u);
    EXPECT_EQ(Record::get<std::uint32_t>(copied.data(), kOffsetFlags), 0x100u);
    EXPECT_EQ(copied[40], 0xAB);
    EXPECT_EQ(Record::get<std::uint32_t>(copied.data(), kOffsetTotalSize), 130u);

    const auto& upgraded = inbox.records[1];
    EXPECT_EQ(Record::get<std::uint16_t>(upgraded.data(), kOffsetVersion), 2u);
    EXPECT_EQ(Record::get<std::uint32_t>(upgraded.data(), kOffsetTotalSize), 130u);
    EXPECT_EQ(Record::get<std::uint16_t>(upgraded.data(), 100), 11u);
    EXPECT_EQ(Record::get<std::uint16_t>(upgraded.data(), 102), 8u);
    EXPECT_EQ(Record::get<std::uint32_t>(upgraded.data(), kOffsetSessionId), 0u);

    const auto& fresh = inbox.records[2];
    EXPECT_EQ(Record::get<std::uint16_t>(fresh.data(), kOffsetKind), 1u);
    EXPECT_EQ(Record::get<std::uint16_t>(fresh.data(), kOffsetVersion), 2u);
    // 108 + 2 * (1 + 2 + 5) + 6
    EXPECT_EQ(Record::get<std::uint32_t>(fresh.data(), kOffsetTotalSize), 130u);
    EXPECT_EQ(Record::get<std::uint64_t>(fresh.data(), kOffsetReplyRouting), 0u);
}

// Several publishers at once: every subscription sees each publisher's
// messages in the order they were published, one callback at a time, and
// never on a publisher's thread.
TEST_F(CourierRouting, OrderPerSubscriptionUnderConcurrentPublishers)
{
    const CourierFunctionTable& t = *lib.table;
    constexpr int kPublishers = 4;
    constexpr int kMessages = 300;
    Inbox byName, byPattern, slow;
    ASSERT_NE(t.subscribe(listener, &byName, Inbox::callback, L"Seq"), 0u);
    ASSERT_NE(t.subscribeFilter(listener, &byPattern, Inbox::callback, L"S.q"), 0u);
    ASSERT_NE(t.subscribe(listener, &slow, Inbox::callback, L"Seq"), 0u);

    std::mutex threadsLock;
    std::set<DWORD> publisherThreads;
    std::vector<std::thread> publishers;
    for (int p = 0; p < kPublishers; ++p)
    {
        publishers.emplace_back(
            [&, p]
            {
                {
                    std::lock_guard<std::mutex> guard(threadsLock);
                    publisherThreads.insert(GetCurrentThreadId());
                }
                BusHandle own(lib.table);
                for (int i = 0; i < kMessages; ++i)
                {
                    const std::wstring payload = std::to_wstring(p) + L":" + std::to_wstring(i);
                    EXPECT_EQ(t.publish(own, nullptr, L"Seq", L"pub", payload.c_str()), 0u);
                }
            });
    }
    for (auto& thread : publishers)
    {
        thread.join();
    }
    constexpr int kTotal = kPublishers * kMessages;
    ASSERT_TRUE(waitUntil(
        [&] { return byName.count == kTotal && byPattern.count == kTotal && slow.count == kTotal; }));
    publisherThreads.insert(GetCurrentThreadId());

    for (Inbox* inbox : {&byName, &byPattern, &slow})
    {
        EXPECT_FALSE(inbox->overlapped);
        std::lock_guard<std::mutex> guard(inbox->lock);
        std::map<int, int> next;
        for (const std::wstring& payload : inbox->payloads)
        {
            const int p = std::stoi(payload.substr(0, payload.find(L':')));
            const int i = std::stoi(payload.substr(payload.find(L':') + 1));
            EXPECT_EQ(next[p], i) << "publisher " << p;
            next[p] = i + 1;
        }
        for (DWORD thread : inbox->threads)
        {
            EXPECT_EQ(publisherThreads.count(thread), 0u) << "delivered on a publisher's thread";
        }
    }
}

namespace
{
struct Blocker
{
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> entered{0};
    ~Blocker() { CloseHandle(release); }
    static CourierStatus callback(void* context, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
    {
        auto* self = static_cast<Blocker*>(context);
        ++self->entered;
        WaitForSingleObject(self->release, 30000);
        return 0;
    }
};

CourierStatus throwing(void* context, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
{
    ++*static_cast<std::atomic<int>*>(context);
    throw std::runtime_error("handler failure");
}

CourierStatus failing(void* context, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
{
    ++*static_cast<std::atomic<int>*>(context);
    return 0x80000002u;
}
} // namespace

// Two handlers stuck for good occupy both initial workers; the bus adds a
// worker and the other subscriptions keep being served.
TEST_F(CourierRouting, BlockedHandlersDoNotStallOthers)
{
    const CourierFunctionTable& t = *lib.table;
    Blocker first, second;
    Inbox free;
    ASSERT_NE(t.subscribe(listener, &first, Blocker::callback, L"Block1"), 0u);
    ASSERT_NE(t.subscribe(listener, &second, Blocker::callback, L"Block2"), 0u);
    ASSERT_NE(t.subscribe(listener, &free, Inbox::callback, L"Free"), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Block1", L"", L""), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Block2", L"", L""), 0u);
    ASSERT_TRUE(waitUntil([&] { return first.entered == 1 && second.entered == 1; }));
    for (int i = 0; i < 20; ++i)
    {
        ASSERT_EQ(t.publish(publisher, nullptr, L"Free", L"", L""), 0u);
    }
    EXPECT_TRUE(waitUntil([&] { return free.count == 20; }));
    CourierStats stats{};
    ASSERT_EQ(lib.getStats(&stats), 0u);
    EXPECT_GT(stats.workers, kMinWorkers);
    SetEvent(first.release);
    SetEvent(second.release);
    EXPECT_EQ(listener.release(), 0u);
}

TEST_F(CourierRouting, ThrowingAndFailingHandlersAreContained)
{
    const CourierFunctionTable& t = *lib.table;
    std::atomic<int> thrown{0}, failed{0};
    Inbox after;
    CourierStats before{};
    ASSERT_EQ(lib.getStats(&before), 0u);
    ASSERT_NE(t.subscribe(listener, &thrown, throwing, L"T"), 0u);
    ASSERT_NE(t.subscribe(listener, &failed, failing, L"T"), 0u);
    ASSERT_NE(t.subscribe(listener, &after, Inbox::callback, L"T"), 0u);
    for (int i = 0; i < 10; ++i)
    {
        ASSERT_EQ(t.publish(publisher, nullptr, L"T", L"", std::to_wstring(i).c_str()), 0u);
    }
    ASSERT_TRUE(waitUntil([&] { return thrown == 10 && failed == 10 && after.count == 10; }));
    CourierStats stats{};
    ASSERT_TRUE(waitUntil(
        [&]
        {
            lib.getStats(&stats);
            return stats.delivered - before.delivered == 30;
        }));
    EXPECT_EQ(stats.thrownCallbacks - before.thrownCallbacks, 10u);
    EXPECT_EQ(stats.failedCallbacks - before.failedCallbacks, 10u);
    EXPECT_EQ(lib.getStats(nullptr), kStatusInvalidParameter);
}

namespace
{
struct LongNamePublish
{
    const CourierFunctionTable* table;
    CourierHandle handle;
    std::wstring name;
    CourierStatus status = 1;
};

DWORD WINAPI publishLongName(LPVOID parameter)
{
    auto* job = static_cast<LongNamePublish*>(parameter);
    job->status = job->table->publish(job->handle, nullptr, job->name.c_str(), L"", L"");
    return 0;
}
} // namespace

// Pattern matching runs on the publisher's thread under the bus lock. The
// longest name accepted must neither exhaust an ordinary 1 MB thread stack
// (".*" and "(x|y)*" make a backtracking matcher recurse per character) nor
// take exponential time ("(a*)*b" against a run of "a": a backtracking matcher
// would hold every publisher for longer than anyone lives).
TEST_F(CourierRouting, LongestNameAgainstHostilePatterns)
{
    const CourierFunctionTable& t = *lib.table;
    Inbox any, alternation, hostile;
    ASSERT_NE(t.subscribeFilter(listener, &any, Inbox::callback, L".*"), 0u);
    ASSERT_NE(t.subscribeFilter(listener, &alternation, Inbox::callback, L"(x|y)*|a*"), 0u);
    ASSERT_NE(t.subscribeFilter(listener, &hostile, Inbox::callback, L"(a*)*b"), 0u);
    for (wchar_t letter : {L'x', L'a'})
    {
        LongNamePublish job{lib.table, publisher, std::wstring(kMaxNameLength, letter)};
        HANDLE thread = CreateThread(nullptr, 1024 * 1024, publishLongName, &job,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        ASSERT_NE(thread, nullptr);
        if (WaitForSingleObject(thread, 30000) != WAIT_OBJECT_0)
        {
            // The publisher holds the bus lock: nothing after this could end.
            std::printf("publish of a long name did not return; ending the run\n");
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        CloseHandle(thread);
        EXPECT_EQ(job.status, 0u);
    }
    EXPECT_TRUE(waitUntil([&] { return any.count == 2 && alternation.count == 2; }));
    EXPECT_EQ(hostile.count, 0);
}

namespace
{
struct TapLog
{
    std::mutex lock;
    std::vector<std::pair<std::uint32_t, std::wstring>> events;
    std::atomic<int> count{0};
    static void callback(void* context, const CourierTapEvent* event)
    {
        auto* self = static_cast<TapLog*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.emplace_back(event->kind, event->name ? event->name : L"<none>");
        ++self->count;
    }
};
} // namespace

TEST_F(CourierRouting, TapSeesEveryMessageInOrder)
{
    const CourierFunctionTable& t = *lib.table;
    TapLog log;
    ASSERT_EQ(lib.setTap(TapLog::callback, &log), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"First", L"", L""), 0u);
    ASSERT_EQ(t.publishEx(publisher, nullptr, L"Second", L"", L""), 0u);
    Record strayReply;
    strayReply.put<std::uint32_t>(kOffsetFlags, kFlagReply);
    strayReply.put<std::uint64_t>(kOffsetReplyRouting, 0);
    EXPECT_EQ(t.publish(publisher, strayReply.bytes, L"Stray", L"", L""), kStatusNotFound);
    ASSERT_TRUE(waitUntil([&] { return log.count == 3; }));
    ASSERT_EQ(lib.setTap(nullptr, nullptr), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Unseen", L"", L""), 0u);
    allowLateArrivals();
    std::lock_guard<std::mutex> guard(log.lock);
    EXPECT_EQ(log.events,
              (std::vector<std::pair<std::uint32_t, std::wstring>>{{CourierTapPublish, L"First"},
                                                                   {CourierTapPublish, L"Second"},
                                                                   {CourierTapReplyDropped, L"Stray"}}));
}
