#include "HostSupport.h"
#include "support/HostThreads.h"
#include "support/ProcessResources.h"
#include "wrappers/UniqueResource.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace integration;
using WardlineTest::crtHeapInUse;
using WardlineTest::describe;
using WardlineTest::expectFlat;
using WardlineTest::Footprint;
using WardlineTest::HostThreads;

namespace
{

constexpr unsigned kHostThreads = 4;
constexpr int kWarmUpCycles = 2;
constexpr int kCycles = 50;
// The host process itself may create an object or two at any time (a lock's
// wait event on its first contention); what a load loses shows once per
// cycle and thread.
constexpr int kHandleSlack = 3;
constexpr std::uint32_t kUnknownException = 0x8000000Fu;

// ---- The host's side ---------------------------------------------------------

class Failures
{
public:
    void check(bool ok, const std::string& what)
    {
        if (!ok)
        {
            std::lock_guard<std::mutex> lock(mutex_);
            failures_.push_back(what);
        }
    }
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(failures_);
    }

private:
    std::mutex mutex_;
    std::vector<std::string> failures_;
};

// What a host thread does with the loaded library: the version exports, a
// module whose initialisation throws inside the library (a thrown and caught
// exception), and a module on the bus that handles a state report and a
// refresh (its locks, JSON, a publication) before it is destroyed.
void driveModule(const HostModuleTable& table, const Courier& bus, CourierHandle busHandle,
                 Failures& failures)
{
    const HMODULE library = GetModuleHandleW(L"Wardline.dll");
    const auto versionNumber = exportOf<std::uint32_t (*)()>(library, "GetVersionNum");
    const auto versionText = exportOf<const char* (*)()>(library, "GetVersionStr");
    failures.check(versionNumber != nullptr && versionNumber() == 2001000u, "GetVersionNum");
    failures.check(versionText != nullptr && std::strcmp(versionText(), "2.1.0") == 0, "GetVersionStr");

    void* failing = nullptr;
    failures.check(table.NewModule(&failing, L"UnloadHost") == 0, "NewModule");
    failures.check(table.InitializeModuleV2(failing, L"Wardline", L"", 0, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr) == kUnknownException,
                   "InitializeModuleV2 without a bus");
    failures.check(table.DestroyModule(failing) == 0, "DestroyModule after a failed initialisation");

    void* module = nullptr;
    failures.check(table.NewModule(&module, L"UnloadHost") == 0, "NewModule");
    failures.check(table.InitializeModuleV2(module, L"Wardline", L"", 0, nullptr, nullptr, nullptr, nullptr,
                                            busHandle, bus.table) == 0,
                   "InitializeModuleV2");
    failures.check(table.DirectMessage(module, nullptr, L"Core.Internal.Protection.State", L"UnloadHost",
                                       L"{\"state\":\"red\"}") == 0,
                   "DirectMessage with a state report");
    failures.check(
        table.DirectMessage(module, nullptr, L"Core.Protection.RefreshState", L"UnloadHost", L"") == 0,
        "DirectMessage with a refresh");
    failures.check(table.DestroyModule(module) == 0, "DestroyModule");
}

} // namespace

// Each round loads the library, lets the host threads that stay alive and
// one thread that ends before the unload call into it, and frees it again.
TEST(Unload, LoadAndFreeFromHostThreadsLosesNoHandlesTlsSlotsOrMemory)
{
    Courier bus;
    ASSERT_TRUE(bus.loaded()) << "Courier.dll or one of its exports is missing";
    std::vector<std::unique_ptr<Handle>> busHandles;
    for (unsigned i = 0; i <= kHostThreads; ++i)
    {
        busHandles.push_back(std::make_unique<Handle>(bus.table));
        ASSERT_EQ(0u, busHandles.back()->status);
    }
    HostThreads hostThreads(kHostThreads);
    Failures failures;

    const auto cycle = [&](int number)
    {
        WardlineLibrary wardline;
        ASSERT_NE(nullptr, wardline.table) << "Wardline.dll or its CreateObject is missing";
        hostThreads.runRound([&](unsigned index)
                             { driveModule(*wardline.table, bus, *busHandles[index], failures); });
        std::thread shortLived([&]
                               { driveModule(*wardline.table, bus, *busHandles[kHostThreads], failures); });
        shortLived.join();
        for (const std::string& failure : failures.take())
        {
            ADD_FAILURE() << "cycle " << number << ": " << failure;
        }
    };

    // Whatever the process creates once, on the first load or the first call
    // from a thread, is there before the count.
    for (int i = 0; i < kWarmUpCycles; ++i)
    {
        cycle(i);
    }
    const Footprint before = Footprint::now();
    ASSERT_FALSE(before.handles.empty());

    for (int i = 0; i < kCycles; ++i)
    {
        cycle(kWarmUpCycles + i);
    }

    const Footprint after = Footprint::settledAfter(before, kHandleSlack);
    // What one load used to keep (libstdc++'s emergency exception pool alone
    // is about 73 KB) would show many times over.
    expectFlat(before, after, kHandleSlack, 1024 * kCycles,
               (std::max)(std::size_t{1} << 20, std::size_t{4096} * kCycles));
    std::printf("after %d cycles:\n%s", kCycles, describe(before, after).c_str());
}

// Storage the library keeps for a thread goes when the thread ends, not only
// at the unload: a host that runs short-lived threads keeps the library's
// memory flat while it stays loaded.
TEST(Unload, AThreadsStorageGoesWhenTheThreadEnds)
{
    WardlineLibrary wardline;
    ASSERT_NE(nullptr, wardline.table) << "Wardline.dll or its CreateObject is missing";
    // Each module's settings client opens Courier.dll, which a host has loaded
    // for its own bus: held here the same way, so that only the library's own
    // storage is measured, not what loading the bus library costs each time.
    const Norvan::unique_hmodule hostBus(LoadLibraryW(L"Courier.dll"));
    ASSERT_TRUE(hostBus) << "Courier.dll is missing beside the test";
    // Each thread throws and catches inside the library: its exception
    // globals are thread-local storage of the library.
    const auto throwInside = [&]
    {
        void* module = nullptr;
        if (wardline.table->NewModule(&module, L"UnloadHost") == 0)
        {
            wardline.table->InitializeModuleV2(module, L"Wardline", L"", 0, nullptr, nullptr, nullptr,
                                               nullptr, nullptr, nullptr);
            wardline.table->DestroyModule(module);
        }
    };
    std::thread(throwInside).join();
    const std::size_t before = crtHeapInUse();
    constexpr int kThreads = 200;
    for (int i = 0; i < kThreads; ++i)
    {
        std::thread(throwInside).join();
    }
    const std::size_t after = crtHeapInUse();
    std::printf("C runtime heap in use: %zu bytes before, %zu after %d threads\n", before, after, kThreads);
    EXPECT_LT(after, before + 16 * kThreads);
}
