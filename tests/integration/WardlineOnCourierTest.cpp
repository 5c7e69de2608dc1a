#include "HostSupport.h"
#include "support/StressSize.h"

#include <algorithm>
#include <thread>

using namespace integration;

namespace
{

const wchar_t kReport[] = L"Core.Internal.Protection.State";
const wchar_t kRefresh[] = L"Core.Protection.RefreshState";
const wchar_t kState[] = L"Core.Protection.State";
const wchar_t kMarker[] = L"Integration.Marker";

std::wstring stateJson(const std::wstring& state)
{
    return L"{\"state\":\"" + state + L"\"}";
}

// The payloads the producers send are either stateJson(...) or one of these.
const wchar_t* const kMalformed[] = {L"{\"state\":5}", L"{", L"[\"red\"]", L"{\"State\":\"red\"}", L""};

bool stateOf(const std::wstring& payload, std::wstring& state)
{
    const std::wstring head = L"{\"state\":\"";
    if (payload.size() < head.size() + 2 || payload.compare(0, head.size(), head) != 0 ||
        payload.compare(payload.size() - 2, 2, L"\"}") != 0)
    {
        return false;
    }
    state = payload.substr(head.size(), payload.size() - head.size() - 2);
    return true;
}

// Everything published as the current state, in the order it reached one
// subscriber.
class StateCollector
{
public:
    StateCollector(const Courier& bus) : bus_(bus), handle_(bus.table)
    {
        id_ = bus.table->subscribe(handle_, this, &StateCollector::callback, kState);
    }
    ~StateCollector()
    {
        if (id_ != 0)
        {
            bus_.table->unsubscribe(handle_, id_);
        }
    }
    bool subscribed() const { return id_ != 0; }
    std::vector<std::pair<std::wstring, std::wstring>> seen() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return seen_;
    }
    std::size_t size() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return seen_.size();
    }

private:
    static CourierStatus callback(void* context, const void*, const wchar_t*, const wchar_t* source,
                                  const wchar_t* payload)
    {
        auto* self = static_cast<StateCollector*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->seen_.emplace_back(payload, source);
        return 0;
    }

    const Courier& bus_;
    Handle handle_;
    std::uint32_t id_ = 0;
    mutable std::mutex lock_;
    std::vector<std::pair<std::wstring, std::wstring>> seen_;
};

class WardlineOnCourier : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.loaded()) << "Courier.dll or one of its exports is missing";
        ASSERT_NE(wardline.table, nullptr) << "Wardline.dll or its CreateObject is missing";
        ASSERT_TRUE(tap.installed());
        ASSERT_EQ(producer.status, 0u);
    }

    std::size_t count(std::uint32_t kind, CourierHandle handle, const wchar_t* name)
    {
        return tap.count([&](const TapEvent& event)
                         { return event.kind == kind && event.handle == handle && event.name == name; });
    }

    Courier bus;
    WardlineLibrary wardline;
    TapLog tap{bus};
    Handle producer{bus.table};
};

// What Wardline must publish for reports handled in the given order, starting
// from `state`/`published`: a publication on the first report and on every
// change; nothing for malformed ones.
std::vector<std::wstring> expectedPublications(const std::vector<std::wstring>& reports, std::wstring& state,
                                               bool& published)
{
    std::vector<std::wstring> out;
    for (const std::wstring& payload : reports)
    {
        std::wstring value;
        if (!stateOf(payload, value))
        {
            continue;
        }
        if (!published || value != state)
        {
            state = value;
            published = true;
            out.push_back(stateJson(value));
        }
    }
    return out;
}

// Producers on their own handles, each sending `perThread` messages made by
// `make(thread, i)`, all at once.
template <typename Make>
void produce(const Courier& bus, unsigned threads, unsigned perThread, const wchar_t* name, Make make)
{
    std::vector<std::thread> workers;
    std::atomic<unsigned> ready{0};
    for (unsigned t = 0; t < threads; ++t)
    {
        workers.emplace_back(
            [&, t]
            {
                Handle own(bus.table);
                ++ready;
                while (ready < threads)
                {
                    Sleep(0);
                }
                for (unsigned i = 0; i < perThread; ++i)
                {
                    const std::wstring payload = make(t, i);
                    bus.table->publish(own, nullptr, name, L"Producer", payload.c_str());
                }
            });
    }
    for (std::thread& worker : workers)
    {
        worker.join();
    }
}

std::wstring randomReport(unsigned thread, unsigned i)
{
    static const wchar_t* const states[] = {L"green", L"red", L"amber"};
    std::uint32_t x = (thread + 1) * 2654435761u ^ (i + 1) * 40503u;
    x ^= x >> 13;
    x *= 0x5bd1e995u;
    x ^= x >> 15;
    if (i % 9 == 4)
    {
        return kMalformed[(thread + i) % (sizeof(kMalformed) / sizeof(kMalformed[0]))];
    }
    return stateJson(states[x % 3]);
}

} // namespace

// Reports from several producers at once: Wardline publishes exactly what its
// rules say for the order in which the bus delivered the reports, the first
// report even when it repeats "green", never the same state twice in a row,
// and nothing for malformed reports, which its handler refuses with
// 0x80000006. Refreshes sent at the same time publish once each; afterwards a
// refresh publishes the last reported state.
TEST_F(WardlineOnCourier, ConcurrentReportsAndRefreshesArePublishedByTheRules)
{
    StateCollector collector(bus);
    ASSERT_TRUE(collector.subscribed());
    HostedModule module(wardline, bus, L"Wardline");
    ASSERT_TRUE(module.ready()) << module.newStatus << " " << module.initStatus;

    ASSERT_EQ(bus.table->publish(producer, nullptr, kReport, L"Producer", stateJson(L"green").c_str()), 0u);
    ASSERT_TRUE(waitUntil([&] { return collector.size() == 1; }));
    EXPECT_EQ(collector.seen()[0], std::make_pair(stateJson(L"green"), std::wstring(L"Wardline")));

    // Reports only.
    const unsigned threads = 4;
    const unsigned perThread = 150;
    produce(bus, threads, perThread, kReport, randomReport);
    const std::size_t reports = 1 + threads * perThread;
    ASSERT_TRUE(waitUntil([&] { return count(CourierTapHandled, module.busHandle, kReport) == reports; }))
        << count(CourierTapHandled, module.busHandle, kReport) << " of " << reports << " reports handled";

    // The bus delivers to one subscription in the order it accepted the
    // messages, which is the order of its tap.
    std::vector<std::wstring> delivered;
    std::size_t refused = 0;
    std::size_t malformed = 0;
    for (const TapEvent& event : tap.events())
    {
        if (event.kind == CourierTapPublish && event.name == kReport)
        {
            delivered.push_back(event.payload);
            std::wstring ignored;
            malformed += stateOf(event.payload, ignored) ? 0 : 1;
        }
        if (event.kind == CourierTapHandled && event.handle == module.busHandle && event.name == kReport)
        {
            if (event.status == kDataError)
            {
                ++refused;
            }
            else
            {
                EXPECT_EQ(event.status, 0u) << "report " << event.payload;
            }
        }
    }
    ASSERT_EQ(delivered.size(), reports);
    EXPECT_GT(malformed, 0u);
    EXPECT_EQ(refused, malformed) << "each malformed report is refused with 0x80000006, no other";
    std::wstring state = L"green";
    bool published = false;
    std::vector<std::wstring> expected = expectedPublications(delivered, state, published);
    ASSERT_TRUE(waitUntil([&] { return collector.size() >= expected.size(); }));
    allowLateArrivals();
    std::vector<std::pair<std::wstring, std::wstring>> seen = collector.seen();
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < seen.size(); ++i)
    {
        EXPECT_EQ(seen[i].first, expected[i]) << "publication " << i;
        EXPECT_EQ(seen[i].second, L"Wardline") << "publication " << i;
        if (i > 0)
        {
            EXPECT_NE(seen[i].first, seen[i - 1].first) << "publication " << i << " repeats the one before";
        }
    }
    EXPECT_GT(seen.size(), 10u) << "the reports changed the state often";

    // Reports and refreshes at once.
    const std::size_t before = seen.size();
    const std::size_t reportsBefore = delivered.size();
    const unsigned refreshThreads = 2;
    const unsigned refreshesPerThread = 40;
    std::thread refreshers(
        [&]
        {
            produce(bus, refreshThreads, refreshesPerThread, kRefresh,
                    [](unsigned t, unsigned i) -> std::wstring
                    { return i % 2 ? L"" : (t ? L"{\"please\":1}" : L"x"); });
        });
    produce(bus, 3, 100, kReport, [](unsigned t, unsigned i) { return randomReport(t + 7, i); });
    refreshers.join();
    const std::size_t refreshes = refreshThreads * refreshesPerThread;
    ASSERT_TRUE(waitUntil(
        [&]
        {
            return count(CourierTapHandled, module.busHandle, kReport) == reportsBefore + 300 &&
                   count(CourierTapHandled, module.busHandle, kRefresh) == refreshes;
        }));
    delivered.clear();
    for (const TapEvent& event : tap.events())
    {
        if (event.kind == CourierTapPublish && event.name == kReport)
        {
            delivered.push_back(event.payload);
        }
    }
    const std::vector<std::wstring> later(delivered.begin() + static_cast<std::ptrdiff_t>(reportsBefore),
                                          delivered.end());
    const std::size_t changes = expectedPublications(later, state, published).size();
    ASSERT_TRUE(waitUntil([&] { return collector.size() >= before + changes + refreshes; }));
    allowLateArrivals();
    seen = collector.seen();
    EXPECT_EQ(seen.size(), before + changes + refreshes)
        << changes << " changes, " << refreshes << " refreshes";
    for (std::size_t i = before; i < seen.size(); ++i)
    {
        std::wstring value;
        EXPECT_TRUE(stateOf(seen[i].first, value)) << seen[i].first;
        EXPECT_EQ(seen[i].second, L"Wardline");
    }

    // Once the producers have stopped, a refresh tells the last reported state.
    ASSERT_EQ(bus.table->publish(producer, nullptr, kRefresh, L"Console", L""), 0u);
    ASSERT_TRUE(waitUntil([&] { return collector.size() == seen.size() + 1; }));
    EXPECT_EQ(collector.seen().back().first, stateJson(state));

    // And the module still takes reports.
    ASSERT_EQ(bus.table->publish(producer, nullptr, kReport, L"Producer", stateJson(L"blue").c_str()), 0u);
    ASSERT_TRUE(waitUntil([&] { return collector.size() == seen.size() + 2; }));
    EXPECT_EQ(collector.seen().back().first, stateJson(L"blue"));
}

// Reports the module must refuse, including ones built to hurt a parser: each
// is answered with 0x80000006, publishes nothing, and the state stays.
TEST_F(WardlineOnCourier, MalformedReportsAreRefusedAndChangeNothing)
{
    StateCollector collector(bus);
    ASSERT_TRUE(collector.subscribed());
    HostedModule module(wardline, bus, L"Wardline");
    ASSERT_TRUE(module.ready());
    ASSERT_EQ(bus.table->publish(producer, nullptr, kReport, L"Producer", stateJson(L"red").c_str()), 0u);
    ASSERT_TRUE(waitUntil([&] { return collector.size() == 1; }));

    std::vector<std::wstring> bad(std::begin(kMalformed), std::end(kMalformed));
    bad.push_back(L"{\"state\":null}");
    bad.push_back(L"{\"state\":[\"green\"]}");
    bad.push_back(L"\"green\"");
    bad.push_back(std::wstring(100000, L'[')); // nesting far beyond any stack
    bad.push_back(L"{\"state\":\"green\"} trailing");
    for (const std::wstring& payload : bad)
    {
        ASSERT_EQ(bus.table->publish(producer, nullptr, kReport, L"Producer", payload.c_str()), 0u);
    }
    ASSERT_TRUE(
        waitUntil([&] { return count(CourierTapHandled, module.busHandle, kReport) == 1 + bad.size(); }));
    std::size_t i = 0;
    for (const TapEvent& event : tap.events())
    {
        if (event.kind == CourierTapHandled && event.handle == module.busHandle && event.name == kReport &&
            event.payload != stateJson(L"red"))
        {
            ASSERT_LT(i, bad.size());
            EXPECT_EQ(event.status, kDataError) << "payload #" << i << ": " << event.payload.substr(0, 40);
            ++i;
        }
    }
    EXPECT_EQ(i, bad.size());
    ASSERT_EQ(bus.table->publish(producer, nullptr, kRefresh, L"Console", L""), 0u);
    ASSERT_TRUE(waitUntil([&] { return collector.size() == 2; }));
    EXPECT_EQ(collector.seen()[1].first, stateJson(L"red")) << "no malformed report changed the state";
}

// The host destroys the module while producers keep reporting. Nothing
// crashes, and once DestroyModule has returned no callback of the module runs
// and the module publishes nothing: in the bus's order of events, nothing of
// the module comes after a marker sent right after DestroyModule returned.
TEST_F(WardlineOnCourier, DestroyWhileReportsAreInFlight)
{
    // Seven points of destruction, a long run of reports after it every
    // third time: 21 iterations meet each pairing once.
    const int iterations = static_cast<int>(Stress::scaled(21, 210));
    const unsigned kReportsAfterDestroy = 100;
    // Each look goes through the whole tap under its lock, which the bus
    // needs for every event: not too often.
    const std::chrono::milliseconds kPoll(5);
    int handledBeforeDestroy = 0;
    for (int iteration = 0; iteration < iterations; ++iteration)
    {
        tap.clear();
        HostedModule module(wardline, bus, L"Wardline");
        ASSERT_TRUE(module.ready()) << "iteration " << iteration;
        std::atomic<bool> stop{false};
        std::atomic<bool> destroyed{false};
        std::vector<std::thread> producers;
        for (unsigned t = 0; t < 3; ++t)
        {
            producers.emplace_back(
                [&, t]
                {
                    Handle own(bus.table);
                    // After the destruction each producer sends a bounded
                    // number more, so that the bus's backlog (and its tap's)
                    // drains quickly even on a loaded machine.
                    unsigned afterDestroy = 0;
                    for (unsigned i = 0; !stop && afterDestroy < kReportsAfterDestroy; ++i)
                    {
                        afterDestroy += destroyed ? 1 : 0;
                        const bool refresh = t == 2 && i % 4 == 0;
                        const std::wstring payload = refresh ? L"" : randomReport(t, i);
                        bus.table->publish(own, nullptr, refresh ? kRefresh : kReport, L"Producer",
                                           payload.c_str());
                        if (i % 64 == 63)
                        {
                            Sleep(0);
                        }
                    }
                });
        }
        // Destroy at a different point of the traffic each time.
        const std::size_t wanted = 1 + static_cast<std::size_t>(iteration % 7) * 5;
        const bool sawTraffic =
            waitUntil([&] { return count(CourierTapHandled, module.busHandle, kReport) >= wanted; },
                      std::chrono::milliseconds(30000), kPoll);
        EXPECT_EQ(module.destroy(), 0u) << "iteration " << iteration;
        bus.table->publish(producer, nullptr, kMarker, L"Host", L"destroyed");
        destroyed = true;
        // Let the producers go on: reports that come after the destruction
        // must find nobody in the module.
        const auto reportsAfterDestroy = [&]
        {
            bool after = false;
            return tap.count(
                [&](const TapEvent& event)
                {
                    after = after || (event.kind == CourierTapPublish && event.name == kMarker);
                    return after && event.kind == CourierTapPublish && event.name == kReport;
                });
        };
        waitUntil([&] { return reportsAfterDestroy() >= (iteration % 3 == 0 ? 50u : 1u); },
                  std::chrono::milliseconds(30000), kPoll);
        stop = true;
        for (std::thread& thread : producers)
        {
            thread.join();
        }
        bus.table->publish(producer, nullptr, kMarker, L"Host", L"end");
        ASSERT_TRUE(waitUntil(
            [&]
            {
                return tap.count(
                           [&](const TapEvent& event) {
                               return event.kind == CourierTapPublish && event.name == kMarker &&
                                      event.payload == L"end";
                           }) != 0;
            },
            std::chrono::milliseconds(60000), kPoll));
        bool afterDestroy = false;
        std::size_t late = 0;
        std::size_t reportsAfter = 0;
        for (const TapEvent& event : tap.events())
        {
            if (event.kind == CourierTapPublish && event.name == kMarker && event.payload == L"destroyed")
            {
                afterDestroy = true;
            }
            if (afterDestroy && event.handle == module.busHandle)
            {
                ++late;
            }
            if (afterDestroy && event.kind == CourierTapPublish && event.name == kReport)
            {
                ++reportsAfter;
            }
        }
        EXPECT_EQ(late, 0u) << "iteration " << iteration << ": the destroyed module still ran or published";
        handledBeforeDestroy += sawTraffic ? 1 : 0;
        if (iteration % 3 == 0)
        {
            EXPECT_GT(reportsAfter, 0u)
                << "iteration " << iteration << ": reports kept coming after destruction";
        }
    }
    // Without traffic at the moment of destruction the test would prove nothing.
    EXPECT_EQ(handledBeforeDestroy, iterations);
}

// Two modules in one process, each on its own handle with its own bus
// client: both take the bus's reports, a direct message reaches only its
// module, and destroying one leaves the other working.
TEST_F(WardlineOnCourier, TwoModulesEachWithTheirOwnClient)
{
    StateCollector collector(bus);
    ASSERT_TRUE(collector.subscribed());
    HostedModule first(wardline, bus, L"WardlineA");
    HostedModule second(wardline, bus, L"WardlineB");
    ASSERT_TRUE(first.ready());
    ASSERT_TRUE(second.ready());
    ASSERT_NE(first.busHandle, second.busHandle);

    const auto publications = [&](std::size_t from)
    {
        std::vector<std::pair<std::wstring, std::wstring>> seen = collector.seen();
        std::vector<std::wstring> lines;
        for (std::size_t i = from; i < seen.size(); ++i)
        {
            lines.push_back(seen[i].second + L" " + seen[i].first);
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    };

    ASSERT_EQ(bus.table->publish(producer, nullptr, kReport, L"Producer", stateJson(L"red").c_str()), 0u);
    ASSERT_TRUE(waitUntil([&] { return collector.size() == 2; }));
    EXPECT_EQ(publications(0), (std::vector<std::wstring>{L"WardlineA {\"state\":\"red\"}",
                                                          L"WardlineB {\"state\":\"red\"}"}));

    // A direct message goes to one module's handlers only.
    EXPECT_EQ(first.direct(kReport, stateJson(L"amber")), 0u);
    ASSERT_TRUE(waitUntil([&] { return collector.size() == 3; }));
    EXPECT_EQ(publications(2), (std::vector<std::wstring>{L"WardlineA {\"state\":\"amber\"}"}));
    ASSERT_EQ(bus.table->publish(producer, nullptr, kRefresh, L"Console", L""), 0u);
    ASSERT_TRUE(waitUntil([&] { return collector.size() == 5; }));
    EXPECT_EQ(publications(3), (std::vector<std::wstring>{L"WardlineA {\"state\":\"amber\"}",
                                                          L"WardlineB {\"state\":\"red\"}"}));

    EXPECT_EQ(first.destroy(), 0u);
    ASSERT_EQ(bus.table->publish(producer, nullptr, kReport, L"Producer", stateJson(L"green").c_str()), 0u);
    ASSERT_TRUE(waitUntil([&] { return collector.size() == 6; }));
    allowLateArrivals();
    EXPECT_EQ(publications(5), (std::vector<std::wstring>{L"WardlineB {\"state\":\"green\"}"}));
    EXPECT_EQ(count(CourierTapHandled, first.busHandle, kReport), 1u) << "only the report before destruction";
}
