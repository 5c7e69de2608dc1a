#include "CourierTestSupport.h"

#include <atomic>
#include <memory>
#include <random>
#include <vector>

using namespace courier;
using namespace courier::test;

// The module frees a subscription's context right after unsubscribe (or
// removeReplyCallback, or releaseHandle) returns. These tests poison such a
// context at that moment and let callbacks check it on entry and again after
// a short sleep: a callback that still runs, or starts, after withdrawal
// finds the poison and counts a violation instead of touching freed memory.

namespace
{
constexpr std::uint32_t kAlive = 0xA11FE00Du;
constexpr std::uint32_t kPoison = 0xDEADDEADu;

std::atomic<int> g_violations{0};
std::atomic<int> g_calls{0};
std::atomic<int> g_overlaps{0}; // withdrawals that found a callback of theirs running

struct Guarded
{
    std::atomic<std::uint32_t> magic{kAlive};
    std::atomic<int> inside{0};
    std::atomic<int> calls{0};
    DWORD sleepMs = 1;

    void visit()
    {
        ++inside;
        if (magic != kAlive)
        {
            ++g_violations;
        }
        ++calls;
        ++g_calls;
        Sleep(sleepMs); // a callback that takes its time, so that withdrawals meet it running
        if (magic != kAlive)
        {
            ++g_violations;
        }
        --inside;
    }
    // Called right after the withdrawing call returned.
    void poison()
    {
        if (inside != 0)
        {
            ++g_violations;
        }
        magic = kPoison;
    }
};

CourierStatus onMessage(void* context, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
{
    static_cast<Guarded*>(context)->visit();
    return 0;
}

CourierStatus onReply(void* context, std::uint64_t, const void*, const wchar_t*, const wchar_t*,
                      const wchar_t*, CourierStatus)
{
    static_cast<Guarded*>(context)->visit();
    return 0;
}

// Publishes "W" from its own handle until stopped.
class Publishers
{
public:
    Publishers(const CourierFunctionTable* table, int count)
    {
        for (int i = 0; i < count; ++i)
        {
            threads_.emplace_back(
                [this, table]
                {
                    BusHandle own(table);
                    while (!stop_)
                    {
                        table->publish(own, nullptr, L"W", L"pub", L"{}");
                        Sleep(0);
                    }
                });
        }
    }
    ~Publishers() { stop(); }
    void stop()
    {
        stop_ = true;
        for (auto& thread : threads_)
        {
            if (thread.joinable())
            {
                thread.join();
            }
        }
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// Answers every "Q" after a random short delay.
struct Answerer
{
    const CourierFunctionTable* table;
    CourierHandle handle;
    static CourierStatus callback(void* context, const void* record, const wchar_t*, const wchar_t*,
                                  const wchar_t*)
    {
        auto* self = static_cast<Answerer*>(context);
        Record reply;
        std::memcpy(reply.bytes, record, kRecordSizeV2);
        reply.put<std::uint32_t>(kOffsetFlags, kFlagReply);
        Sleep(GetCurrentThreadId() % 3); // replies racing their time-outs, each differently late
        self->table->publish(self->handle, reply.bytes, L"Q.Reply", L"", L"");
        return 0;
    }
};

class CourierWithdrawal : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_violations = 0;
        g_calls = 0;
        g_overlaps = 0;
        ASSERT_COURIER_LOADED(lib);
    }
    void TearDown() override
    {
        // Poisoned contexts are freed only now, when no handle is left.
        graveyard.clear();
    }
    Guarded* fresh()
    {
        graveyard.push_back(std::make_unique<Guarded>());
        return graveyard.back().get();
    }
    CourierLibrary lib;
    std::vector<std::unique_ptr<Guarded>> graveyard;
    std::mt19937 random{12345};
};
} // namespace

TEST_F(CourierWithdrawal, NoCallbackAfterUnsubscribeReturns)
{
    const CourierFunctionTable& t = *lib.table;
    BusHandle listener(lib.table);
    Publishers publishers(lib.table, 2);
    constexpr int kIterations = 300;
    for (int i = 0; i < kIterations; ++i)
    {
        Guarded* context = fresh();
        const std::uint32_t id = (i % 2 == 0) ? t.subscribe(listener, context, onMessage, L"W")
                                              : t.subscribeFilter(listener, context, onMessage, L"W|X");
        ASSERT_NE(id, 0u);
        Sleep(random() % 3); // withdrawn at another moment of the traffic each time
        if (context->inside != 0)
        {
            ++g_overlaps;
        }
        ASSERT_EQ(t.unsubscribe(listener, id), 0u);
        context->poison();
    }
    publishers.stop();
    listener.release();
    EXPECT_EQ(g_violations, 0);
    // Proof that the test exercised what it claims: deliveries were in flight.
    EXPECT_GT(g_calls, kIterations / 3);
    EXPECT_GT(g_overlaps, 0);
}

TEST_F(CourierWithdrawal, NoReplyCallbackAfterRemoveReplyCallbackReturns)
{
    const CourierFunctionTable& t = *lib.table;
    BusHandle requester(lib.table);
    BusHandle service(lib.table);
    Answerer answerer{lib.table, service};
    ASSERT_NE(t.subscribe(service, &answerer, Answerer::callback, L"Q"), 0u);
    std::uint64_t index = 0;
    constexpr int kIterations = 200;
    for (int i = 0; i < kIterations; ++i)
    {
        Guarded* context = fresh();
        for (int r = 0; r < 3; ++r)
        {
            // Short time-outs: some requests end by time-out, some by reply.
            ASSERT_EQ(t.request(requester, index++, context, onReply, nullptr, L"Q", L"", L"", random() % 4),
                      0u);
        }
        Sleep(random() % 4); // withdrawn at another moment of the traffic each time
        if (context->inside != 0)
        {
            ++g_overlaps;
        }
        ASSERT_EQ(t.removeReplyCallback(requester, onReply), 0u);
        context->poison();
    }
    // The callback may be used again afterwards.
    Guarded* last = fresh();
    ASSERT_EQ(t.request(requester, index++, last, onReply, nullptr, L"Nobody", L"", L"", 1000), 0u);
    EXPECT_TRUE(waitUntil([&] { return last->calls == 1; }));
    requester.release();
    service.release();
    EXPECT_EQ(g_violations, 0);
    EXPECT_GT(g_calls, kIterations / 3);
    EXPECT_GT(g_overlaps, 0);
}

TEST_F(CourierWithdrawal, NothingOfAHandleRunsAfterReleaseHandleReturns)
{
    const CourierFunctionTable& t = *lib.table;
    BusHandle service(lib.table);
    Answerer answerer{lib.table, service};
    ASSERT_NE(t.subscribe(service, &answerer, Answerer::callback, L"Q"), 0u);
    Publishers publishers(lib.table, 2);
    constexpr int kIterations = 150;
    for (int i = 0; i < kIterations; ++i)
    {
        Guarded* context = fresh();
        BusHandle h(lib.table);
        ASSERT_EQ(h.status, 0u);
        ASSERT_NE(t.subscribe(h, context, onMessage, L"W"), 0u);
        ASSERT_NE(t.subscribeFilter(h, context, onMessage, L".*"), 0u);
        ASSERT_EQ(t.request(h, 1, context, onReply, nullptr, L"Q", L"", L"", random() % 3), 0u);
        Sleep(random() % 3); // released at another moment of the traffic each time
        if (context->inside != 0)
        {
            ++g_overlaps;
        }
        ASSERT_EQ(h.release(), 0u);
        context->poison();
    }
    publishers.stop();
    service.release();
    EXPECT_EQ(g_violations, 0);
    EXPECT_GT(g_calls, kIterations / 3);
    EXPECT_GT(g_overlaps, 0);
}

namespace
{
struct SelfRemover
{
    const CourierFunctionTable* table;
    CourierHandle handle;
    std::uint32_t id = 0;
    bool releaseInstead = false;
    std::atomic<int> calls{0};
    std::atomic<CourierStatus> status{1};
    static CourierStatus callback(void* context, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
    {
        auto* self = static_cast<SelfRemover*>(context);
        if (++self->calls == 1)
        {
            self->status = self->releaseInstead ? self->table->releaseHandle(self->handle)
                                                : self->table->unsubscribe(self->handle, self->id);
        }
        return 0;
    }
};
} // namespace

// Withdrawing from inside the very callback cannot wait for itself: it
// returns at once, and nothing more is delivered.
TEST_F(CourierWithdrawal, WithdrawingFromInsideOwnCallback)
{
    const CourierFunctionTable& t = *lib.table;
    BusHandle publisher(lib.table);
    for (bool releaseInstead : {false, true})
    {
        SCOPED_TRACE(releaseInstead ? "releaseHandle" : "unsubscribe");
        BusHandle listener(lib.table);
        SelfRemover remover{lib.table, listener};
        remover.releaseInstead = releaseInstead;
        remover.id = t.subscribe(listener, &remover, SelfRemover::callback, L"Self");
        ASSERT_NE(remover.id, 0u);
        for (int i = 0; i < 20; ++i)
        {
            ASSERT_EQ(t.publish(publisher, nullptr, L"Self", L"", L""), 0u);
        }
        ASSERT_TRUE(waitUntil([&] { return remover.status != 1u; }));
        EXPECT_EQ(remover.status, 0u);
        allowLateArrivals();
        EXPECT_EQ(remover.calls, 1);
        if (releaseInstead)
        {
            listener.handle = nullptr; // already released by its own callback
        }
        else
        {
            EXPECT_EQ(t.unsubscribe(listener, remover.id), kStatusNotFound);
        }
    }
}

// Bus threads keep the library loaded while they wind down and then let go:
// freeing it right after the last release is safe, and it really unloads.
TEST(CourierLifetime, LibraryUnloadsOnceThreadsEnd)
{
    for (int round = 0; round < 10; ++round)
    {
        {
            CourierLibrary lib;
            ASSERT_COURIER_LOADED(lib);
            BusHandle a(lib.table);
            BusHandle b(lib.table);
            Guarded context;
            context.sleepMs = 0;
            ASSERT_NE(lib.table->subscribeFilter(b, &context, onMessage, L".*"), 0u);
            for (int i = 0; i < 50; ++i)
            {
                lib.table->publish(a, nullptr, L"Burst", L"", L"");
            }
            ASSERT_EQ(b.release(), 0u);
            context.poison();
            ASSERT_EQ(a.release(), 0u);
        }
        EXPECT_TRUE(waitUntil([] { return GetModuleHandleW(L"Courier.dll") == nullptr; }))
            << "round " << round;
    }
    EXPECT_EQ(g_violations, 0);
}

namespace
{
constexpr wchar_t kExitChildVariable[] = L"COURIER_TESTS_EXIT_CHILD";
constexpr UINT kChildExitCode = 7;

CourierStatus sleepForever(void* context, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
{
    SetEvent(static_cast<HANDLE>(context));
    Sleep(INFINITE);
    return 0;
}
} // namespace

// Runs only inside the child process started by the test below: a process
// that ends with live handles, a callback stuck mid-delivery and messages
// queued behind it.
TEST(CourierExitChild, EndsWithLiveHandles)
{
    if (GetEnvironmentVariableW(kExitChildVariable, nullptr, 0) == 0)
    {
        GTEST_SKIP() << "runs as a child process of ProcessEndsWithLiveHandles";
    }
    CourierLibrary lib;
    ASSERT_COURIER_LOADED(lib);
    CourierHandle handle = nullptr;
    ASSERT_EQ(lib.table->getHandle(&handle), 0u);
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(lib.table->subscribe(handle, entered, sleepForever, L"Stuck"), 0u);
    for (int i = 0; i < 10; ++i)
    {
        lib.table->publish(handle, nullptr, L"Stuck", L"", L"");
    }
    ASSERT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0);
    ExitProcess(kChildExitCode);
}

TEST(CourierLifetime, ProcessEndsWithLiveHandles)
{
    wchar_t exe[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=CourierExitChild.*";
    ASSERT_TRUE(SetEnvironmentVariableW(kExitChildVariable, L"1"));
    // The child's output would read like a second test run: send it nowhere.
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(nul, INVALID_HANDLE_VALUE);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(exe, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableW(kExitChildVariable, nullptr);
    CloseHandle(nul);
    ASSERT_TRUE(started) << "error " << GetLastError();
    const DWORD waited = WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    if (waited != WAIT_OBJECT_0)
    {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "the child hung on its way out";
    EXPECT_EQ(code, kChildExitCode);
}

namespace
{
struct CrossRemover
{
    const CourierFunctionTable* table;
    CourierHandle handle;
    std::uint32_t victim = 0;
    Guarded* victimContext = nullptr;
    std::atomic<CourierStatus> status{1};
    static CourierStatus callback(void* context, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
    {
        auto* self = static_cast<CrossRemover*>(context);
        self->status = self->table->unsubscribe(self->handle, self->victim);
        // The victim's running callback has ended: poisoning is safe now.
        self->victimContext->poison();
        return 0;
    }
};

struct Entered
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Guarded guarded;
    ~Entered() { CloseHandle(event); }
    static CourierStatus callback(void* context, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
    {
        auto* self = static_cast<Entered*>(context);
        SetEvent(self->event);
        self->guarded.sleepMs = 200;
        self->guarded.visit();
        return 0;
    }
};
} // namespace

// A callback that unsubscribes another subscription waits on its worker for
// the other's running callback, while the rest of the bus keeps going.
TEST_F(CourierWithdrawal, UnsubscribingAnotherFromInsideACallbackWaitsForIt)
{
    const CourierFunctionTable& t = *lib.table;
    BusHandle listener(lib.table);
    BusHandle publisher(lib.table);
    Entered victim;
    CrossRemover remover{lib.table, listener};
    remover.victimContext = &victim.guarded;
    remover.victim = t.subscribe(listener, &victim, Entered::callback, L"Victim");
    ASSERT_NE(remover.victim, 0u);
    ASSERT_NE(t.subscribe(listener, &remover, CrossRemover::callback, L"Remove"), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Victim", L"", L""), 0u);
    ASSERT_EQ(WaitForSingleObject(victim.event, 10000), WAIT_OBJECT_0);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Remove", L"", L""), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Victim", L"", L""), 0u); // queued behind: dropped
    ASSERT_TRUE(waitUntil([&] { return remover.status != 1u; }));
    EXPECT_EQ(remover.status, 0u);
    allowLateArrivals();
    EXPECT_EQ(victim.guarded.calls, 1);
    EXPECT_EQ(g_violations, 0);
}
