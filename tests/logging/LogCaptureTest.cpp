#include <gtest/gtest.h>

#include "Logging/Log.h"
#include "support/LogCapture.h"

using WardlineTest::LogCapture;

TEST(LogCaptureTest, RecordsPlainAndExtended)
{
    for (bool extended : {false, true})
    {
        LogCapture capture(extended);
        EXPECT_TRUE(ETWLogging::IsLogLevelEnabled(ETWLogging::LevelNormal));
        EXPECT_EQ(0u, ETWLogging::WriteLog(ETWLogging::LevelError, L"here", L"Ns::Fn", 12, L"n=%lu", 7ul));
        ASSERT_EQ(1u, capture.count());
        const auto line = capture.lines()[0];
        EXPECT_EQ(ETWLogging::LevelError, line.level);
        EXPECT_EQ(L"here", line.file);
        EXPECT_EQ(L"Ns::Fn", line.function);
        EXPECT_EQ(12, line.line);
        EXPECT_EQ(L"n=7", line.text);
        EXPECT_EQ(1u, capture.exactly(L"n=7").size());
        EXPECT_EQ(1u, capture.find(L"=7").size());
        EXPECT_TRUE(capture.find(L"x").empty());
        capture.clear();
        EXPECT_EQ(0u, capture.count());
    }
    // Without a writer the manager has no implementation again.
    EXPECT_FALSE(ETWLogging::IsLogLevelEnabled(ETWLogging::LevelNormal));
}
