// Time the module takes for a state report that repeats the current state:
// the host's message callback of the real Wardline.dll builds the message,
// the handler parses the payload, takes the module's lock, compares and
// publishes nothing. Baseline: a bare RapidJSON parse of the same payload as
// UTF-16 (iterative mode, as the module parses). Both run interleaved on this
// thread; the bus is a table of this program that records what the module
// subscribes and counts what it publishes.

#include "BenchReport.h"
#include "RecordingBus.h"

#include <rapidjson/document.h>

#include <cstdio>

namespace
{

constexpr const wchar_t* kReportName = L"Core.Internal.Protection.State";
constexpr const wchar_t* kSource = L"ProtectionProducer";
constexpr const wchar_t* kPayload = L"{\"state\":\"red\"}";

volatile std::size_t g_sink = 0;

} // namespace

int main()
{
    constexpr int kReports = 20000;
    constexpr int kRounds = 15;
    constexpr double kTarget = 2.0;

    bench::ModuleOnRecordingBus hosted("bench_state_report", kReportName);
    if (!hosted.ready())
    {
        return 1;
    }
    bench::RecordingBus& bus = hosted.bus();

    const wchar_t* volatile payload = kPayload;

    // The first report is published; every later one repeats it.
    if (bus.deliver(kReportName, kSource, payload) != 0 || bus.published() != 1)
    {
        std::printf("bench_state_report: the first report was not published once\n");
        return 1;
    }

    bench::Rounds rounds;
    for (int round = 0; round < kRounds; ++round)
    {
        const double handled = bench::timePerCall(
            kReports, [&] { g_sink = g_sink + bus.deliver(kReportName, kSource, payload); });
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
    if (bus.published() != 1 || g_sink != 0)
    {
        std::printf("bench_state_report: %ld publications, %zu failed reports or parses\n", bus.published(),
                    static_cast<std::size_t>(g_sink));
        return 1;
    }
    std::printf("duplicate state report: %.0f ns, bare UTF-16 parse: %.0f ns (medians of %d rounds of %d)\n",
                bench::median(rounds.values), bench::median(rounds.baselines), kRounds, kReports);
    bench::printLine("state_report_duplicate", rounds, kTarget, "ns");
    return 0;
}
