#include "performance/PerfTimer.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <stdexcept>

using Norvan::internal::PerfTimer;
using WardlineTest::LogCapture;

TEST(PerfTimer, LogsOneLineWithStartEndAndElapsed)
{
    LogCapture log;
    const std::uint64_t before = PerfTimer::now();
    {
        PerfTimer timer(L"Step::step");
        Sleep(50); // the step timed
        timer.stop();
        timer.stop();
    }
    const std::uint64_t after = PerfTimer::now();

    const auto lines = log.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(1u, lines[0].level);
    EXPECT_EQ(L"performance\\PerfTimer", lines[0].file);
    EXPECT_EQ(L"Norvan::internal::PerfTimer::stop", lines[0].function);
    long long start = 0, end = 0, elapsed = 0;
    wchar_t name[32] = {};
    ASSERT_EQ(4, swscanf_s(lines[0].text.c_str(), L"M12NPerfTimer|%31[^|]|%lld|%lld|%lld", name,
                           static_cast<unsigned>(_countof(name)), &start, &end, &elapsed))
        << lines[0].text.c_str();
    EXPECT_STREQ(L"Step::step", name);
    EXPECT_LE(static_cast<long long>(before), start);
    EXPECT_LE(end, static_cast<long long>(after));
    EXPECT_EQ(end - start, elapsed);
    EXPECT_GE(elapsed, 30);
}

TEST(PerfTimer, ScopeLeftByExceptionStillReports)
{
    LogCapture log;
    try
    {
        PerfTimer timer(L"Throwing");
        throw std::runtime_error("step failed");
    }
    catch (const std::runtime_error&)
    {
    }
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(0u, log.lines()[0].text.rfind(L"M12NPerfTimer|Throwing|", 0));
}

TEST(PerfTimer, StopWhileNormalLevelIsOffWritesNothingEver)
{
    LogCapture log;
    {
        log.setSeverity(2);
        PerfTimer timer(L"Quiet");
        timer.stop();
        log.setSeverity(1);
        timer.stop();
    }
    EXPECT_EQ(0u, log.count());
}
