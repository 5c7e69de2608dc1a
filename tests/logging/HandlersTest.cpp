#include "support/FailingAllocation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FakeWriters.h"
#include "Logging/DefaultLogBuilder.h"
#include "Logging/DefaultLoggingHandler.h"
#include "Logging/LogManager.h"
#include "Logging/Logger.h"
#include "Logging/PlinthLogHandler.h"
#include "support/LogCapture.h"

using ETWLogging::CPlinthLogHandler;
using Plinth::CDefaultLoggingHandler;

namespace
{

// Catches debugger output in this process. Windows raises the wide
// exception from OutputDebugStringW; Wine 8 converts the text and raises only
// the ANSI one, so these tests keep to ASCII.
std::vector<std::wstring>* g_debugLines = nullptr;

LONG CALLBACK CatchDebugOutput(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (g_debugLines == nullptr || record->NumberParameters < 2)
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (record->ExceptionCode == 0x4001000A) // wide
    {
        g_debugLines->push_back(reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]));
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C)
    {
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        g_debugLines->push_back(std::wstring(text, text + strlen(text)));
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

class DebugOutputCapture
{
public:
    DebugOutputCapture()
    {
        g_debugLines = &lines;
        m_handler = AddVectoredExceptionHandler(1, CatchDebugOutput);
    }
    ~DebugOutputCapture()
    {
        RemoveVectoredExceptionHandler(m_handler);
        g_debugLines = nullptr;
    }
    std::vector<std::wstring> lines;

private:
    void* m_handler;
};

} // namespace

TEST(DefaultLoggingHandlerTest, WritesOneTaggedLinePerLevel)
{
    DebugOutputCapture capture;
    CDefaultLoggingHandler& handler = CDefaultLoggingHandler::Instance();
    handler.Log(0, L"src\\a", L"A::f", 10, L"silent");
    handler.Log(1, L"src\\a", L"A::f", 11, L"info text");
    handler.Log(2, L"src\\b", L"B::g", 12, L"error text");
    handler.Log(3, L"src\\c", L"C::h", 13, L"other text");
    handler.Log(-1, L"src\\c", L"C::h", 14, L"negative");
    ASSERT_EQ(4u, capture.lines.size());
    EXPECT_EQ(L"src\\a(11): [INFO]: [A::f]: info text\n", capture.lines[0]);
    EXPECT_EQ(L"src\\b(12): [ERROR]: [B::g]: error text\n", capture.lines[1]);
    EXPECT_EQ(L"src\\c(13): [UNKNOWN]: [C::h]: other text\n", capture.lines[2]);
    EXPECT_EQ(L"src\\c(14): [UNKNOWN]: [C::h]: negative\n", capture.lines[3]);
}

TEST(DefaultLoggingHandlerTest, NullTextsPrintEmpty)
{
    DebugOutputCapture capture;
    EXPECT_EQ(0u, CDefaultLoggingHandler::Instance().Log(1, nullptr, nullptr, 0, nullptr));
    ASSERT_EQ(1u, capture.lines.size());
    EXPECT_EQ(L"(0): [INFO]: []: \n", capture.lines[0]);
}

TEST(DefaultLoggingHandlerTest, OutOfMemorySendsNothingAndSaysSo)
{
    DebugOutputCapture capture;
    DWORD result = 0;
    {
        WardlineTest::FailOneAllocation failing(0);
        result = CDefaultLoggingHandler::Instance().Log(1, L"f", L"F", 1, L"no room for this line");
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), result);
    EXPECT_TRUE(capture.lines.empty());
}

TEST(DefaultLoggingHandlerTest, FormatLineKeepsPercentSignsOfTheMessage)
{
    EXPECT_EQ(L"f(1): [INFO]: [F]: 100% %s\n",
              CDefaultLoggingHandler::FormatLine(1, L"f", L"F", 1, L"100% %s"));
    EXPECT_EQ(L"", CDefaultLoggingHandler::FormatLine(0, L"f", L"F", 1, L"x"));
}

// Base-library messages reach the module's log through the bridge, mapped,
// with the message passed as finished text to either kind of writer.
TEST(PlinthLogHandlerTest, BaseLibraryMessagesArriveInTheModuleLog)
{
    for (bool extended : {false, true})
    {
        WardlineTest::LogCapture capture(extended);
        ASSERT_EQ(&CPlinthLogHandler::Instance(), Plinth::CLogger::RegisteredHandler());
        Plinth::CLogger::Log(2, L"lib\\x", L"Plinth::X", 5, L"failed %d%%", 3);
        Plinth::CLogger::Log(7, L"lib\\x", L"Plinth::X", 6, L"odd");
        Plinth::CLogger::Log(0, L"lib\\x", L"Plinth::X", 7, L"zero");
        Plinth::CLogger::Log(1, L"lib\\x", L"Plinth::X", 8, L"one");
        Plinth::CLogger::Log(-3, L"lib\\x", L"Plinth::X", 9, L"negative");
        const auto lines = capture.lines();
        ASSERT_EQ(5u, lines.size());
        EXPECT_EQ(4u, lines[0].level);
        EXPECT_EQ(L"failed 3%", lines[0].text);
        EXPECT_EQ(L"lib\\x", lines[0].file);
        EXPECT_EQ(L"Plinth::X", lines[0].function);
        EXPECT_EQ(5, lines[0].line);
        EXPECT_EQ(2u, lines[1].level);
        EXPECT_EQ(1u, lines[2].level);
        EXPECT_EQ(1u, lines[3].level);
        EXPECT_EQ(2u, lines[4].level);
    }
}

TEST(PlinthLogHandlerTest, UsesTheExtendedWriteWhenOffered)
{
    ETWLogging::CLogManager::ResetForTest();
    ETWLogging::CLogManager::Get();
    for (bool extended : {false, true})
    {
        LoggingTest::ResetScript();
        ETWLogging::CLoggingIf* fake =
            extended ? static_cast<ETWLogging::CLoggingIf*>(new LoggingTest::FakeWriterEx())
                     : new LoggingTest::FakeWriter();
        ETWLogging::CLoggingIf* previous = ETWLogging::CLogManager::ReplaceImplementationForTest(fake);
        EXPECT_EQ(0u, CPlinthLogHandler::Instance().Log(2, L"f", L"F", 1, L"text"));
        EXPECT_EQ(extended ? 1 : 0, LoggingTest::Script().preformattedExCalls);
        EXPECT_EQ(extended ? 0 : 1, LoggingTest::Script().preformattedCalls);
        EXPECT_EQ(4u, LoggingTest::Script().lastLevel);
        EXPECT_EQ(L"text", LoggingTest::Script().lastMessage);

        LoggingTest::Script().prepareResult = ETWLogging::kErrorNotInitialized;
        EXPECT_EQ(ETWLogging::kErrorNotInitialized,
                  CPlinthLogHandler::Instance().Log(1, L"f", L"F", 1, L"no"));
        EXPECT_EQ(1, LoggingTest::Script().preformattedExCalls + LoggingTest::Script().preformattedCalls);

        delete ETWLogging::CLogManager::ReplaceImplementationForTest(previous);
    }
}

TEST(PlinthLogHandlerTest, NeverCreatesTheManagerAndFailsWithoutAnImplementation)
{
    ETWLogging::CLogManager::ResetForTest();
    EXPECT_EQ(0u, CPlinthLogHandler::Instance().Log(2, L"f", L"F", 1, L"dropped"));
    EXPECT_EQ(nullptr, ETWLogging::CLogManager::Existing());

    // A builder that builds nothing leaves the manager without a writer.
    ETWLogging::CDefaultLogBuilder buildsNothing(nullptr, nullptr);
    ETWLogging::CLogManager::SetBuilderForTest(&buildsNothing);
    ASSERT_NE(nullptr, ETWLogging::CLogManager::Get());
    EXPECT_EQ(1627u, CPlinthLogHandler::Instance().Log(2, L"f", L"F", 1, L"nowhere"));
    ETWLogging::CLogManager::SetBuilderForTest(nullptr);
    ETWLogging::CLogManager::ResetForTest();
}
