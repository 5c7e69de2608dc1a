#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Logging/DefaultLoggingHandler.h"
#include "Logging/LogManager.h"
#include "Logging/Logger.h"
#include "Logging/PlinthLogHandler.h"
#include "support/LogCapture.h"

using Plinth::CLogger;

namespace
{

struct HandlerCall
{
    int level;
    std::wstring file;
    std::wstring function;
    std::wstring message;
};

class RecordingHandler : public Plinth::ILoggingHandler
{
public:
    DWORD Log(int level, const wchar_t* file, const wchar_t* function, int, const wchar_t* message) override
    {
        calls.push_back({level, file, function, message});
        // Which handler sat in the slot while this message was written.
        slotDuringCall.push_back(CLogger::RegisteredHandler());
        return 0;
    }
    std::vector<HandlerCall> calls;
    std::vector<Plinth::ILoggingHandler*> slotDuringCall;
};

std::wstring SystemText(DWORD error)
{
    wchar_t buffer[1024] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buffer,
                   1024, nullptr);
    return buffer;
}

std::wstring Hex(const void* address)
{
    wchar_t text[16];
    _snwprintf_s(text, 16, _TRUNCATE, L"0x%08X",
                 static_cast<unsigned int>(reinterpret_cast<ULONG_PTR>(address)));
    return text;
}

// The slot is empty at the start and the end of every test.
class LoggerTest : public ::testing::Test
{
protected:
    void SetUp() override { EmptySlot(); }
    void TearDown() override
    {
        CLogger::SetTextAllocatorForTest(nullptr);
        EmptySlot();
    }
    static void EmptySlot()
    {
        if (Plinth::ILoggingHandler* handler = CLogger::RegisteredHandler())
        {
            CLogger::UnregisterHandler(handler);
        }
    }

    RecordingHandler first;
    RecordingHandler second;
};

const wchar_t* kFile = L"Logging\\internal_logging";

} // namespace

TEST_F(LoggerTest, SystemTextsAreTheSystemsOwn)
{
    // Guards the comparisons below against both sides being empty. Wine 8
    // has no text for 5023 (Windows has one), so only 87 can be checked here;
    // its text keeps the system's trailing line break.
    EXPECT_FALSE(SystemText(87).empty());
    wchar_t buffer[1024];
    CLogger::SystemMessageText(87, buffer, 1024);
    EXPECT_EQ(SystemText(87), buffer);
    CLogger::SystemMessageText(0xDEADBEEF, buffer, 1024);
    EXPECT_STREQ(L"", buffer);
}

TEST_F(LoggerTest, RegisteringNullIsRefusedAndReported)
{
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(87u, CLogger::RegisterHandler(nullptr));
    ASSERT_EQ(1u, first.calls.size());
    EXPECT_EQ(2, first.calls[0].level);
    EXPECT_EQ(kFile, first.calls[0].file);
    EXPECT_EQ(L"Plinth::CLogger::RegisterHandler", first.calls[0].function);
    EXPECT_EQ(SystemText(87) + L": Cannot Register (NULL) handler", first.calls[0].message);
    EXPECT_EQ(&first, CLogger::RegisteredHandler());
}

TEST_F(LoggerTest, SameHandlerAgainIsAcceptedAnotherIsRefused)
{
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_TRUE(first.calls.empty());

    EXPECT_EQ(5023u, CLogger::RegisterHandler(&second));
    EXPECT_EQ(&first, CLogger::RegisteredHandler());
    EXPECT_TRUE(second.calls.empty());
    ASSERT_EQ(1u, first.calls.size());
    EXPECT_EQ(2, first.calls[0].level);
    EXPECT_EQ(SystemText(5023) + L": Registered Logging Handler " + Hex(&first) +
                  L" cannot be replaced with " + Hex(&second),
              first.calls[0].message);
}

TEST_F(LoggerTest, FirstLogInstallsTheDefaultHandlerWhichIsReplacedSilently)
{
    CLogger::Log(0, L"f", L"F", 1, L"quiet");
    EXPECT_EQ(&Plinth::CDefaultLoggingHandler::Instance(), CLogger::RegisteredHandler());
    EXPECT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(&first, CLogger::RegisteredHandler());
    EXPECT_TRUE(first.calls.empty());
}

TEST_F(LoggerTest, UnregisterNullOrTheRegisteredHandler)
{
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(87u, CLogger::UnregisterHandler(nullptr));
    ASSERT_EQ(1u, first.calls.size());
    EXPECT_EQ(L"Plinth::CLogger::UnregisterHandler", first.calls[0].function);
    EXPECT_EQ(SystemText(87) + L": Cannot Unregister (NULL) handler", first.calls[0].message);

    EXPECT_EQ(0u, CLogger::UnregisterHandler(&first));
    EXPECT_EQ(nullptr, CLogger::RegisteredHandler());
    EXPECT_EQ(1u, first.calls.size());
}

TEST_F(LoggerTest, UnregisterWhenNoneIsRegisteredTellsTheGivenHandler)
{
    EXPECT_EQ(5023u, CLogger::UnregisterHandler(&first));
    EXPECT_EQ(nullptr, CLogger::RegisteredHandler());
    ASSERT_EQ(1u, first.calls.size());
    EXPECT_EQ(&first, first.slotDuringCall[0]);
    EXPECT_EQ(2, first.calls[0].level);
    EXPECT_EQ(SystemText(5023) + L": Request to Unregister Logging handler " + Hex(&first) +
                  L", but none are registered",
              first.calls[0].message);
}

TEST_F(LoggerTest, UnregisterOfAnotherHandlerTellsBothAndKeepsTheRegisteredOne)
{
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(5023u, CLogger::UnregisterHandler(&second));
    EXPECT_EQ(&first, CLogger::RegisteredHandler());
    const std::wstring expected = SystemText(5023) +
                                  L": Failed to Unregister Logging handler (requested handler " +
                                  Hex(&second) + L" != registered handler " + Hex(&first) + L")";
    ASSERT_EQ(1u, first.calls.size());
    ASSERT_EQ(1u, second.calls.size());
    EXPECT_EQ(expected, first.calls[0].message);
    EXPECT_EQ(expected, second.calls[0].message);
    EXPECT_EQ(&second, second.slotDuringCall[0]);
}

TEST_F(LoggerTest, LogFormatsWithoutLengthLimit)
{
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    const std::wstring big(100000, L'z');
    CLogger::Log(1, L"file", L"Fn", 3, L"%s/%hs/%d", big.c_str(), "n", 5);
    ASSERT_EQ(1u, first.calls.size());
    EXPECT_EQ(1, first.calls[0].level);
    EXPECT_EQ(big + L"/n/5", first.calls[0].message);

    EXPECT_EQ(87u, CLogger::Log(1, L"file", L"Fn", 3, nullptr));
    EXPECT_EQ(1u, first.calls.size());
}

TEST_F(LoggerTest, AllocationFailureSendsTheFixedMessageAtErrorLevel)
{
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    CLogger::SetTextAllocatorForTest([](std::size_t) -> wchar_t* { return nullptr; });
    CLogger::Log(1, L"file", L"Fn", 3, L"lost %d", 1);
    ASSERT_EQ(1u, first.calls.size());
    EXPECT_EQ(2, first.calls[0].level);
    EXPECT_EQ(L"file", first.calls[0].file);
    EXPECT_EQ(L"General memory-allocation failure in Plinth logger.", first.calls[0].message);
}

// The bridge in the slot: a second handler is refused, and the refusal
// arrives in the module's log at "Error".
TEST_F(LoggerTest, BridgeReplacesTheDefaultHandlerAndReportsAConflict)
{
    WardlineTest::LogCapture capture;
    EmptySlot(); // the capture may have created the manager, which registers the bridge
    CLogger::Log(0, L"f", L"F", 1, L"installs the default");
    ETWLogging::CPlinthLogHandler& bridge = ETWLogging::CPlinthLogHandler::Instance();
    EXPECT_EQ(0u, CLogger::RegisterHandler(&bridge));
    EXPECT_EQ(5023u, CLogger::RegisterHandler(&first));
    const auto lines = capture.find(L"cannot be replaced with " + Hex(&first));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(ETWLogging::LevelError, lines[0].level);
    EXPECT_EQ(L"Plinth::CLogger::RegisterHandler", lines[0].function);
    EXPECT_EQ(&bridge, CLogger::RegisteredHandler());
    EmptySlot();
    // Put the manager's registration back as it was.
    CLogger::RegisterHandler(&bridge);
}
