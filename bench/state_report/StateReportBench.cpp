// Time the module takes for a state report that repeats the current state:
// the host's message callback of the real Wardline.dll builds the message,
// the handler parses the payload, takes the module's lock, compares and
// publishes nothing. Baseline: a bare RapidJSON parse of the same payload as
// UTF-16 (iterative mode, as the module parses). Both run interleaved on this
// thread; the bus is a table of this program that records what the module
// subscribes and counts what it publishes.

#include "BenchReport.h"
#include "HostLibraries.h"

#include "message/MessageBusFunctions.h"
#include "message/MessageContext.h"

#include <rapidjson/document.h>

#include <cstdio>
#include <cwchar>

namespace
{

using Norvan::MessageBusFunctionTable;
using Norvan::MessageBusHandle;
using Norvan::MessageBusMessageCallback;
using Norvan::MessageBusReplyCallback;

constexpr const wchar_t* kReportName = L"Core.Internal.Protection.State";
constexpr const wchar_t* kSource = L"ProtectionProducer";
constexpr const wchar_t* kPayload = L"{\"state\":\"red\"}";

struct FakeBus
{
    MessageBusMessageCallback reportCallback = nullptr;
    void* reportContext = nullptr;
    long published = 0;
};
FakeBus g_bus;
volatile std::size_t g_sink = 0;

std::uint32_t busGetHandle(MessageBusHandle*)
{
    return 0;
}
std::uint32_t busStatus(MessageBusHandle)
{
    return 0;
}
std::uint32_t busPublish(MessageBusHandle, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
{
    ++g_bus.published;
    return 0;
}
std::uint32_t busRequest(MessageBusHandle, std::uint64_t, void*, MessageBusReplyCallback, const void*,
                         const wchar_t*, const wchar_t*, const wchar_t*, std::uint64_t)
{
    return 0x80000001u;
}
std::uint32_t busSubscribe(MessageBusHandle, void* context, MessageBusMessageCallback callback,
                           const wchar_t* name)
{
    static std::uint32_t nextId = 0;
    if (std::wcscmp(name, kReportName) == 0)
    {
        g_bus.reportCallback = callback;
        g_bus.reportContext = context;
    }
    return ++nextId;
}
std::uint32_t busUnsubscribe(MessageBusHandle, std::uint32_t)
{
    return 0;
}
std::uint32_t busRemoveReply(MessageBusHandle, MessageBusReplyCallback)
{
    return 0;
}

} // namespace

int main()
{
    constexpr int kReports = 20000;
    constexpr int kRounds = 15;
    constexpr double kTarget = 2.0;

    bench::Library wardline(L"Wardline.dll");
    const bench::ModuleTable* table = bench::wardlineTable(wardline);
    if (table == nullptr)
    {
        std::printf("bench_state_report: Wardline.dll beside the benchmark cannot be loaded\n");
        return 1;
    }
    const MessageBusFunctionTable bus = {&busGetHandle, &busStatus,    &busPublish,     &busRequest,
                                         &busSubscribe, &busSubscribe, &busUnsubscribe, &busRemoveReply,
                                         &busPublish,   &busRequest};
    bench::HostedModule module(*table, &g_bus, &bus);
    if (module.status != 0 || g_bus.reportCallback == nullptr)
    {
        std::printf("bench_state_report: the module did not start on the bus (status 0x%08X)\n",
                    static_cast<unsigned>(module.status));
        return 1;
    }

    Norvan::MessageContext record = Norvan::kDefaultMessageContext;
    record.totalSize = 200;
    const wchar_t* volatile payload = kPayload;

    // The first report is published; every later one repeats it.
    if (g_bus.reportCallback(g_bus.reportContext, &record, kReportName, kSource, payload) != 0 ||
        g_bus.published != 1)
    {
        std::printf("bench_state_report: the first report was not published once\n");
        return 1;
    }

    bench::Rounds rounds;
    for (int round = 0; round < kRounds; ++round)
    {
        const double handled =
            bench::timePerCall(kReports,
                               [&] {
                                   g_sink = g_sink + g_bus.reportCallback(g_bus.reportContext, &record,
                                                                          kReportName, kSource, payload);
                               });
        const double parsed =
            bench::timePerCall(kReports,
                               [&]
                               {
                                   rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>> document;
                                   document.Parse<rapidjson::kParseIterativeFlag>(payload);
                                   g_sink = g_sink + (document.HasParseError() || !document.IsObject());
                               });
        rounds.add(handled, parsed);
    }

    // A repeated report that was published, failed or was refused would time
    // something else.
    if (g_bus.published != 1 || g_sink != 0)
    {
        std::printf("bench_state_report: %ld publications, %zu failed reports or parses\n", g_bus.published,
                    static_cast<std::size_t>(g_sink));
        return 1;
    }
    std::printf("duplicate state report: %.0f ns, bare UTF-16 parse: %.0f ns (medians of %d rounds of %d)\n",
                bench::median(rounds.values), bench::median(rounds.baselines), kRounds, kReports);
    bench::printLine("state_report_duplicate", rounds, kTarget, "ns");
    return 0;
}
