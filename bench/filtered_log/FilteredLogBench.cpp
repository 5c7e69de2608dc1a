// Cost of a log call whose level lies below the writer's severity: the call
// site asks IsLogLevelEnabled and formats nothing. Baseline: a call to an
// empty out-of-line function with the same argument. The two loops run
// interleaved in one process, and each figure is the median of its rounds.
//
// Prints one parseable line:
//   BENCH filtered_log_call_ns value=<ns> baseline=<ns> ratio=<r> target=<=3 holds=<yes|no>

#include "BenchReport.h"
#include "EmptyCall.h"

#include "Logging/Log.h"
#include "Logging/LogManager.h"

#include <cstdio>

namespace
{

volatile unsigned long g_level = ETWLogging::LevelNormal;
volatile int g_sink = 0;

} // namespace

int main()
{
    constexpr int kCalls = 2000000;
    constexpr int kRounds = 11;
    constexpr double kTarget = 3.0;

    // The module's default writer (ETW) at its default severity 3: level 1
    // is filtered out.
    ETWLogging::SetLogProperties(nullptr, L"Wardline", nullptr, nullptr, 0);
    ETWLogging::CLoggingIf* writer =
        ETWLogging::GetLogManager() != nullptr ? ETWLogging::GetLogManager()->Implementation() : nullptr;
    if (writer == nullptr || writer->IsLevelEnabled(ETWLogging::LevelNormal))
    {
        std::printf("bench_filtered_log: no writer that filters level 1 out\n");
        return 1;
    }

    bench::Rounds rounds;
    for (int round = 0; round < kRounds; ++round)
    {
        const double logged =
            bench::timePerCall(kCalls, [] { WL_LOG(g_level, L"bench", L"bench::main", L"filtered %d", 1); });
        const double empty = bench::timePerCall(kCalls,
                                                []
                                                {
                                                    if (EmptyOutOfLineCall(g_level))
                                                    {
                                                        g_sink = g_sink + 1;
                                                    }
                                                });
        rounds.add(logged, empty);
    }

    std::printf("filtered log call: %.2f ns, empty out-of-line call: %.2f ns (medians of %d rounds of %d)\n",
                bench::median(rounds.values), bench::median(rounds.baselines), kRounds, kCalls);
    bench::printLine("filtered_log_call_ns", rounds, kTarget, "ns");
    return 0;
}
