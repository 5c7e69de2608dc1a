// Modules created, initialised both ways and destroyed thousands of times in
// one process, and the library itself loaded and freed again and again from
// host threads: what the process holds must stay where it was. Courier.dll
// stays loaded throughout, as the host keeps its own bus library.

#include "StressSupport.h"

#include "integration/HostSupport.h"
#include "support/HostThreads.h"
#include "support/ProcessResources.h"

using namespace integration;
using Stress::Track;

namespace
{

const wchar_t* const kPropertyNames[] = {L"Role", L"Instance"};
const wchar_t* const kPropertyValues[] = {L"stress", L"1"};

using WardlineTest::Footprint;

// A lock's first contention may add an object or two at any time.
constexpr int kHandleSlack = 3;

void report(const char* load, int cycles, const Footprint& before, const Footprint& after, double seconds)
{
    std::printf("%s, %d cycles:\n%s  %.1f s, %.2f ms a cycle\n", load, cycles,
                WardlineTest::describe(before, after).c_str(), seconds, 1000 * seconds / cycles);
}

// One module's life as the host leads it, initialised with the host's bus
// (InitializeModuleV2) or with the bus library that the module loads itself
// (InitializeModule), and destroyed while messages to it are on the bus. The first failing step, or empty.
// With `hostHandles` (the bus handles the host holds; 0 when other threads use the bus at the same time) it
// also checks that the module's settings client, and with InitializeModule the module itself, opened a bus
// handle of its own and gave it back.
std::string moduleLife(const HostModuleTable& table, const Courier& bus, CourierHandle busHandle, bool ownBus,
                       Track& track, std::uint64_t cycle, std::uint32_t hostHandles = 0)
{
    const auto handlesAre = [&](std::uint32_t expected)
    { return hostHandles == 0 || bus.stats().liveHandles == hostHandles + expected; };
    void* module = nullptr;
    track.at("NewModule", cycle);
    if (table.NewModule(&module, L"StressHost") != 0)
    {
        return "NewModule";
    }
    std::string failed;
    track.at(ownBus ? "InitializeModule" : "InitializeModuleV2", cycle);
    const std::uint32_t initialised =
        ownBus ? table.InitializeModule(module, L"Wardline", L"", 2, kPropertyNames, kPropertyValues, nullptr,
                                        nullptr)
               : table.InitializeModuleV2(module, L"Wardline", L"", 2, kPropertyNames, kPropertyValues,
                                          nullptr, nullptr, busHandle, bus.table);
    if (initialised != 0)
    {
        failed = ownBus ? "InitializeModule" : "InitializeModuleV2";
    }
    else if (!handlesAre(ownBus ? 2 : 1))
    {
        failed = "bus handles of the module's own while it lives";
    }
    else
    {
        track.at("StartModule and a state report", cycle);
        if (table.StartModule(module) != 0 ||
            table.DirectMessage(module, nullptr, L"Core.Internal.Protection.State", L"StressHost",
                                cycle % 2 ? L"{\"state\":\"red\"}" : L"{\"state\":\"green\"}") != 0 ||
            table.StopModule(module) != 0 || table.UninitializeModule(module) != 0)
        {
            failed = "StartModule, DirectMessage, StopModule or UninitializeModule";
        }
        // Destroyed with bus deliveries to it in flight: its handlers are
        // withdrawn before its members go.
        track.at("publishing to the module before it goes", cycle);
        const wchar_t* const names[] = {L"Core.Internal.Protection.State", L"Core.Protection.RefreshState",
                                        L"Core.Internal.Protection.State"};
        for (const wchar_t* name : names)
        {
            if (bus.table->publish(busHandle, nullptr, name, L"StressHost", L"{\"state\":\"amber\"}") != 0)
            {
                failed = "publishing to the module";
            }
        }
    }
    track.at("DestroyModule", cycle);
    if (table.DestroyModule(module) != 0 && failed.empty())
    {
        failed = "DestroyModule";
    }
    if (!handlesAre(0) && failed.empty())
    {
        failed = "bus handles given back by DestroyModule";
    }
    track.idle("between modules", cycle);
    return failed;
}

} // namespace

// Every tenth module loads the bus library itself (InitializeModule), the
// others get the host's bus (InitializeModuleV2).
TEST(Lifecycle, ModulesCreatedAndDestroyedKeepNothing)
{
    const int kCycles = static_cast<int>(Stress::scaled(2000, 10000));
    const int kWarmUp = 20;

    Courier bus;
    ASSERT_TRUE(bus.loaded()) << "Courier.dll or one of its exports is missing";
    WardlineLibrary wardline;
    ASSERT_NE(wardline.table, nullptr) << "Wardline.dll or its CreateObject is missing";
    Handle busHandle(bus.table);
    ASSERT_EQ(busHandle.status, 0u);
    Stress::Watchdog watchdog("module cycles", std::chrono::seconds(60));
    Track& track = watchdog.track("host thread");

    const auto cycles = [&](int from, int count)
    {
        for (int i = from; i < from + count; ++i)
        {
            const std::string failed = moduleLife(*wardline.table, bus, busHandle, i % 10 == 9, track, i, 1);
            ASSERT_EQ("", failed) << "cycle " << i;
        }
    };
    cycles(0, kWarmUp);
    const Footprint before = Footprint::now();
    const auto started = std::chrono::steady_clock::now();
    cycles(kWarmUp, kCycles);
    const double seconds = Stress::secondsSince(started);
    const Footprint after = Footprint::settledAfter(before, kHandleSlack);

    EXPECT_EQ(0u, bus.stats().thrownCallbacks);
    // 16 bytes a cycle would pass the heap bound; 64 the private one.
    WardlineTest::expectFlat(before, after, kHandleSlack, 16 * static_cast<std::size_t>(kCycles),
                             (std::max)(std::size_t{1} << 20, 64 * static_cast<std::size_t>(kCycles)));
    report("module cycles", kCycles, before, after, seconds);
}

// Each cycle loads the library, lets two host threads that stay alive and the
// test thread run a module each, and frees the library.
TEST(Lifecycle, LibraryLoadedAndFreedKeepsNothing)
{
    const int kCycles = static_cast<int>(Stress::scaled(100, 1000));
    const int kWarmUp = 3;
    const unsigned kHostThreads = 2;

    Courier bus;
    ASSERT_TRUE(bus.loaded()) << "Courier.dll or one of its exports is missing";
    std::vector<std::unique_ptr<Handle>> busHandles;
    for (unsigned i = 0; i <= kHostThreads; ++i)
    {
        busHandles.push_back(std::make_unique<Handle>(bus.table));
        ASSERT_EQ(0u, busHandles.back()->status);
    }
    WardlineTest::HostThreads hostThreads(kHostThreads);
    Stress::Watchdog watchdog("library cycles", std::chrono::seconds(60));
    std::vector<Track*> tracks;
    for (unsigned i = 0; i <= kHostThreads; ++i)
    {
        tracks.push_back(
            &watchdog.track(i < kHostThreads ? "host thread " + std::to_string(i) : "test thread"));
    }

    std::mutex failuresLock;
    std::vector<std::string> failures;
    const auto cycle = [&](int number)
    {
        Track& main = *tracks[kHostThreads];
        main.at("LoadLibrary", number);
        WardlineLibrary wardline;
        ASSERT_NE(nullptr, wardline.table)
            << "cycle " << number << ": Wardline.dll or its CreateObject is missing";
        const auto run = [&](unsigned index)
        {
            const std::string failed =
                moduleLife(*wardline.table, bus, *busHandles[index], index == kHostThreads && number % 4 == 3,
                           *tracks[index], number);
            if (!failed.empty())
            {
                std::lock_guard<std::mutex> guard(failuresLock);
                failures.push_back("cycle " + std::to_string(number) + ", thread " + std::to_string(index) +
                                   ": " + failed);
            }
        };
        hostThreads.runRound(run);
        run(kHostThreads);
        main.at("FreeLibrary", number);
    };
    const auto measuring = [&] { tracks[kHostThreads]->idle("measuring"); };

    for (int i = 0; i < kWarmUp; ++i)
    {
        cycle(i);
    }
    measuring();
    const Footprint before = Footprint::now();
    const auto started = std::chrono::steady_clock::now();
    for (int i = kWarmUp; i < kWarmUp + kCycles; ++i)
    {
        cycle(i);
    }
    const double seconds = Stress::secondsSince(started);
    measuring();
    const Footprint after = Footprint::settledAfter(before, kHandleSlack);

    for (const std::string& failure : failures)
    {
        ADD_FAILURE() << failure;
    }
    EXPECT_EQ(0u, bus.stats().thrownCallbacks);
    // What one load used to keep (libstdc++'s emergency exception pool alone
    // is about 73 KB) would show many times over; 256 bytes a load would too.
    WardlineTest::expectFlat(before, after, kHandleSlack, 256 * static_cast<std::size_t>(kCycles),
                             (std::max)(std::size_t{1} << 20, 1024 * static_cast<std::size_t>(kCycles)));
    report("library cycles", kCycles, before, after, seconds);
}
