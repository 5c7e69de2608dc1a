#include <gtest/gtest.h>

#include "Logging/LogFileFormat.h"

using ETWLogging::BuildLogLine;
using ETWLogging::LogLineParts;

namespace
{

LogLineParts At(WORD hour, DWORD level = 1, const wchar_t* message = L"text")
{
    LogLineParts parts;
    parts.time.wYear = 2026;
    parts.time.wMonth = 3;
    parts.time.wDay = 7;
    parts.time.wHour = hour;
    parts.time.wMinute = 4;
    parts.time.wSecond = 9;
    parts.level = level;
    parts.message = message;
    return parts;
}

std::wstring Line(const LogLineParts& parts)
{
    std::wstring line;
    EXPECT_EQ(0u, BuildLogLine(parts, line));
    return line;
}

} // namespace

TEST(LogLine, EveryOptionFieldInItsOrderRightAlignedAndCut)
{
    LogLineParts parts = At(15, 4, L"Failed to open.");
    parts.options = 0x3D; // every field, and the debugger copy, which adds none
    parts.processFileName = L"averyveryverylonghost.exe";
    parts.processId = 42;
    parts.threadId = 123456;
    parts.file = L"src\\module\\ModuleFunctions";
    parts.line = 88;
    parts.function = L"Norvan::internal::ModuleManagerShim::somewhatLongFunctionName";

    EXPECT_EQ(
        L"03/07/2026 03:04:09 PM$ -- (Error)$ [averyveryverylo]$ [PID:   42 TID:123456]$"
        L" [     ModuleFunctions:   88]$ [Norvan::internal::ModuleManagerShim::som()]$ Failed to open.\r\n",
        Line(parts));

    parts.options = 0x10;
    parts.processFileName = L"host.exe";
    EXPECT_EQ(L"03/07/2026 03:04:09 PM$ -- (Error)$ [       host.exe]$ Failed to open.\r\n", Line(parts));
    parts.processFileName = L""; // a module was given: the field is left out
    EXPECT_EQ(L"03/07/2026 03:04:09 PM$ -- (Error)$ Failed to open.\r\n", Line(parts));
}

TEST(LogLine, TwelveHourClock)
{
    EXPECT_EQ(L"03/07/2026 12:04:09 AM$ -- (Normal)$ text\r\n", Line(At(0)));
    EXPECT_EQ(L"03/07/2026 11:04:09 AM$ -- (Normal)$ text\r\n", Line(At(11)));
    EXPECT_EQ(L"03/07/2026 12:04:09 PM$ -- (Normal)$ text\r\n", Line(At(12)));
    EXPECT_EQ(L"03/07/2026 01:04:09 PM$ -- (Normal)$ text\r\n", Line(At(13)));
}

TEST(LogLine, MessageEndingInLineFeedGetsNoSecondLineEnd)
{
    EXPECT_EQ(L"03/07/2026 09:04:09 AM$ -- (Normal)$ two\nlines\n", Line(At(9, 1, L"two\nlines\n")));
    EXPECT_EQ(L"03/07/2026 09:04:09 AM$ -- (Normal)$ ends in CR\r\r\n", Line(At(9, 1, L"ends in CR\r")));
}

TEST(LogLine, LevelNamesAndLevelsOutsideOneToSixRefused)
{
    const wchar_t* names[] = {L"Normal", L"Warning", L"Information", L"Error", L"Critical", L"Information"};
    for (DWORD level = 1; level <= 6; ++level)
    {
        EXPECT_EQ(std::wstring(L"03/07/2026 09:04:09 AM$ -- (") + names[level - 1] + L")$ text\r\n",
                  Line(At(9, level)));
    }
    std::wstring line = L"untouched";
    EXPECT_EQ(87u, BuildLogLine(At(9, 0), line));
    EXPECT_EQ(87u, BuildLogLine(At(9, 7), line));
}
