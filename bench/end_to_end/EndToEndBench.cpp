// Time from a host thread's publish of a state report to the end of the
// module's handler: the real Courier.dll carries the report to one of its
// worker threads, which calls the real Wardline.dll's message callback (the
// message is built, parsed, compared; the report repeats the state, so
// nothing is published back). Baseline: the least any cross-thread delivery
// costs, a hand-off of copies of the same three strings through a queue to a
// waiting thread. In both the host thread waits until the receiver is done
// before it sends the next, and learns it the same way.
//
// A third path, printed for the reader and not judged, shows what the bus
// itself costs: the same publish to a subscriber of this program that only
// counts the message.
//
// The module is initialised over Courier's own table with one entry
// replaced: its subscription to the report goes through a callback of this
// program that calls the module's and then counts the report as handled.

#include "BenchReport.h"
#include "HostLibraries.h"
#include "QueueThread.h"

#include "courier/CourierApi.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

namespace
{

constexpr const wchar_t* kReportName = L"Core.Internal.Protection.State";
constexpr const wchar_t* kSource = L"ProtectionProducer";
constexpr const wchar_t* kPayload = L"{\"state\":\"red\"}";

// How many messages the receiving side has finished.
class Handled
{
public:
    void add()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            ++count_;
        }
        changed_.notify_one();
    }
    // False when the count did not reach `count` within ten seconds.
    bool waitFor(std::uint64_t count)
    {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return count_ >= count; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t count_ = 0;
};

Handled g_moduleHandled;
Handled g_bareHandled;
constexpr const wchar_t* kBareName = L"Bench.Bare.Report";
std::atomic<long> g_moduleFailures{0};
volatile std::size_t g_sink = 0;

// The module's subscription to the report, as it asked for it.
struct Target
{
    CourierMessageCallback callback = nullptr;
    void* context = nullptr;
};
Target g_report;
const CourierFunctionTable* g_courier = nullptr;

CourierStatus reportDelivered(void* context, const void* record, const wchar_t* name, const wchar_t* source,
                              const wchar_t* payload)
{
    const auto* target = static_cast<const Target*>(context);
    const CourierStatus status = target->callback(target->context, record, name, source, payload);
    if (status != 0)
    {
        ++g_moduleFailures;
    }
    g_moduleHandled.add();
    return status;
}

CourierStatus bareDelivered(void*, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
{
    g_bareHandled.add();
    return 0;
}

std::uint32_t subscribeIntercepted(CourierHandle handle, void* context, CourierMessageCallback callback,
                                   const wchar_t* name)
{
    if (name != nullptr && std::wcscmp(name, kReportName) == 0)
    {
        g_report = Target{callback, context};
        return g_courier->subscribe(handle, &g_report, &reportDelivered, name);
    }
    return g_courier->subscribe(handle, context, callback, name);
}

// The baseline's receiver: takes the three strings off a queue.
class HandOff
{
public:
    void send(const wchar_t* name, const wchar_t* source, const wchar_t* payload)
    {
        thread_.push({name, source, payload});
    }
    Handled handled;

private:
    using Strings = std::array<std::wstring, 3>;
    bench::QueueThread<Strings> thread_{[this](Strings& message)
                                        {
                                            g_sink = g_sink + message[2].size();
                                            handled.add();
                                        }};
};

} // namespace

int main()
{
    constexpr int kMessages = 200;
    constexpr int kRounds = 15;
    constexpr double kTarget = 2.0;

    bench::Library courier(L"Courier.dll");
    bench::Library wardline(L"Wardline.dll");
    const auto create = courier.get<CourierCreateObjectFn>("CreateObject");
    g_courier = create != nullptr ? create(courier::kInterfaceVersion) : nullptr;
    const bench::ModuleTable* table = bench::wardlineTable(wardline);
    if (g_courier == nullptr || table == nullptr)
    {
        std::printf("bench_end_to_end: Courier.dll or Wardline.dll beside the benchmark cannot be loaded\n");
        return 1;
    }
    CourierHandle hostHandle = nullptr;
    CourierHandle moduleHandle = nullptr;
    if (g_courier->getHandle(&hostHandle) != 0 || g_courier->getHandle(&moduleHandle) != 0)
    {
        std::printf("bench_end_to_end: no bus handles\n");
        return 1;
    }
    CourierFunctionTable intercepted = *g_courier;
    intercepted.subscribe = &subscribeIntercepted;

    int result = 0;
    {
        bench::HostedModule module(*table, moduleHandle, &intercepted);
        HandOff handOff;
        std::uint64_t moduleCount = 0;
        std::uint64_t bareCount = 0;
        std::uint64_t handOffCount = 0;
        const bool bareSubscribed =
            g_courier->subscribe(moduleHandle, nullptr, &bareDelivered, kBareName) != 0;
        std::array<unsigned char, courier::kRecordSizeV2> record{};
        record[courier::kOffsetKind] = 1;
        record[courier::kOffsetVersion] = 2;
        const wchar_t* volatile payload = kPayload;

        const auto viaModule = [&]
        {
            return g_courier->publish(hostHandle, record.data(), kReportName, kSource, payload) == 0 &&
                   g_moduleHandled.waitFor(++moduleCount);
        };
        const auto viaBareBus = [&]
        {
            return g_courier->publish(hostHandle, record.data(), kBareName, kSource, payload) == 0 &&
                   g_bareHandled.waitFor(++bareCount);
        };
        const auto viaHandOff = [&]
        {
            handOff.send(kReportName, kSource, payload);
            return handOff.handled.waitFor(++handOffCount);
        };
        // A round with a message that was not handled within ten seconds
        // counts as failed.
        bool lost = false;
        const auto timeRound = [&lost](int count, const auto& send)
        { return bench::timePerCall<std::micro>(count, [&] { lost = lost || !send(); }); };

        // The first report is published; the rest repeat it. Warming up
        // starts the bus's workers and primes caches and heaps.
        if (module.status != 0 || g_report.callback == nullptr || !bareSubscribed)
        {
            lost = true;
        }
        else
        {
            timeRound(50, viaModule);
            timeRound(50, viaBareBus);
            timeRound(50, viaHandOff);
        }
        if (lost)
        {
            std::printf("bench_end_to_end: the module does not handle reports from the bus (status 0x%08X)\n",
                        static_cast<unsigned>(module.status));
            result = 1;
        }
        bench::Rounds rounds;
        bench::Rounds bareRounds;
        for (int round = 0; result == 0 && round < kRounds; ++round)
        {
            const double baseline = timeRound(kMessages, viaHandOff);
            const double value = timeRound(kMessages, viaModule);
            bareRounds.add(timeRound(kMessages, viaBareBus), baseline);
            if (lost)
            {
                std::printf("bench_end_to_end: a message was not handled within ten seconds\n");
                result = 1;
                break;
            }
            rounds.add(value, baseline);
        }
        if (result == 0 && g_moduleFailures != 0)
        {
            std::printf("bench_end_to_end: the module refused %ld reports\n", g_moduleFailures.load());
            result = 1;
        }
        if (result == 0)
        {
            std::printf("publish to handler: %.1f us, queue hand-off: %.1f us (medians of %d rounds of %d)\n",
                        bench::median(rounds.values), bench::median(rounds.baselines), kRounds, kMessages);
            std::printf(
                "bare Courier publish to a counting subscriber: %.1f us (%.2f hand-offs; not judged)\n",
                bench::median(bareRounds.values), bareRounds.ratio());
            bench::printLine("end_to_end_publish_to_handler", rounds, kTarget, "us");
        }
    }
    g_courier->releaseHandle(moduleHandle);
    g_courier->releaseHandle(hostHandle);
    return result;
}
