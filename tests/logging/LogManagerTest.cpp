#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FakeWriters.h"
#include "Logging/DefaultLogBuilder.h"
#include "Logging/Log.h"
#include "Logging/LogManager.h"
#include "Logging/Logger.h"
#include "Logging/PlinthLogHandler.h"
#include "dll/DllLifecycle.h"
#include "support/LogCapture.h"

using namespace LoggingTest;
using ETWLogging::CLogManager;
using WardlineTest::LogCapture;

namespace
{

// A builder that records its arguments, may throw, and builds a fake writer.
class RecordingBuilder : public ETWLogging::CLogBuilderIf_ex
{
public:
    bool Build(const wchar_t* app, HMODULE module, const wchar_t* logName, int mechanism,
               ETWLogging::CLoggingIf** out, ETWLogging::CLogConfigReaderIf* reader) override
    {
        ++buildCalls;
        return BuildEx(nullptr, app, module, logName, mechanism, out, reader);
    }
    bool BuildEx(const wchar_t* profile, const wchar_t* app, HMODULE module, const wchar_t* logName,
                 int mechanism, ETWLogging::CLoggingIf** out, ETWLogging::CLogConfigReaderIf* reader) override
    {
        ++buildExCalls;
        if (logDuringBuild)
        {
            // A writer that logs while it is built must not wait for itself.
            managerDuringBuild = ETWLogging::GetLogManager();
            resultDuringBuild = ETWLogging::WriteLog(1, L"f", L"F", 1, L"while building");
        }
        if (delayMs > 0)
        {
            Sleep(delayMs);
        }
        if (throwsLeft > 0)
        {
            --throwsLeft;
            throw std::runtime_error("builder failure");
        }
        profileName = profile != nullptr ? profile : L"<null>";
        applicationName = app != nullptr ? app : L"<null>";
        logNameSeen = logName != nullptr ? logName : L"<null>";
        moduleSeen = module;
        mechanismSeen = mechanism;
        readerSeen = reader;
        if (!succeed)
        {
            return false;
        }
        *out = extended ? static_cast<ETWLogging::CLoggingIf*>(new FakeWriterEx())
                        : static_cast<ETWLogging::CLoggingIf*>(new FakeWriter());
        return true;
    }

    bool logDuringBuild = false;
    DWORD delayMs = 0;
    ETWLogging::CLogManager* managerDuringBuild = nullptr;
    DWORD resultDuringBuild = 0;
    int buildCalls = 0;
    int buildExCalls = 0;
    int throwsLeft = 0;
    bool succeed = true;
    bool extended = false;
    std::wstring profileName, applicationName, logNameSeen;
    HMODULE moduleSeen = nullptr;
    int mechanismSeen = -1;
    ETWLogging::CLogConfigReaderIf* readerSeen = reinterpret_cast<ETWLogging::CLogConfigReaderIf*>(1);
};

// Only the plain builder interface.
class PlainBuilder : public ETWLogging::CLogBuilderIf
{
public:
    bool Build(const wchar_t*, HMODULE, const wchar_t*, int, ETWLogging::CLoggingIf** out,
               ETWLogging::CLogConfigReaderIf*) override
    {
        ++calls;
        *out = new FakeWriter();
        return true;
    }
    int calls = 0;
};

// Each test starts from a fresh manager built by the given builder, and
// leaves a fresh default one behind.
class LogManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ResetScript();
        ETWLogging::SetLogProperties(nullptr, L"Wardline", nullptr, nullptr, 0);
        CLogManager::ResetForTest();
    }
    void TearDown() override
    {
        CLogManager::SetBuilderForTest(nullptr);
        CLogManager::ResetForTest();
        ETWLogging::SetLogProperties(nullptr, L"Wardline", nullptr, nullptr, 0);
    }
    void Use(ETWLogging::CLogBuilderIf* builder) { CLogManager::SetBuilderForTest(builder); }
};

std::wstring Repeat(wchar_t c, std::size_t n)
{
    return std::wstring(n, c);
}

} // namespace

TEST_F(LogManagerTest, WithoutAWriterNothingIsEnabledAndWritesFail)
{
    ETWLogging::CDefaultLogBuilder buildsNothing(nullptr, nullptr);
    Use(&buildsNothing);
    ASSERT_NE(nullptr, ETWLogging::GetLogManager());
    EXPECT_EQ(nullptr, ETWLogging::GetLogManager()->Implementation());
    for (DWORD level = 0; level <= 7; ++level)
    {
        EXPECT_FALSE(ETWLogging::IsLogLevelEnabled(level));
    }
    EXPECT_EQ(1627u, ETWLogging::WriteLog(ETWLogging::LevelError, L"f", L"F", 1, L"text"));
    EXPECT_EQ(1627u, ETWLogging::WriteLog(ETWLogging::LevelError, L"f", L"F", 1, nullptr));
    // The bridge is registered all the same.
    EXPECT_EQ(&ETWLogging::CPlinthLogHandler::Instance(), Plinth::CLogger::RegisteredHandler());
    EXPECT_EQ(&ETWLogging::CPlinthLogHandler::Instance(), ETWLogging::GetLogManager()->RegisteredHandler());
}

TEST_F(LogManagerTest, CreationPassesThePropertiesToTheExtendedBuild)
{
    RecordingBuilder builder;
    Use(&builder);
    HMODULE fakeModule = reinterpret_cast<HMODULE>(0x5000);
    ETWLogging::SetLogProperties(L"Prof", L"App", fakeModule, L"Extra", 4);
    ASSERT_NE(nullptr, ETWLogging::GetLogManager());
    EXPECT_EQ(1, builder.buildExCalls);
    EXPECT_EQ(0, builder.buildCalls);
    EXPECT_EQ(L"Prof", builder.profileName);
    EXPECT_EQ(L"App", builder.applicationName);
    EXPECT_EQ(L"Extra", builder.logNameSeen);
    EXPECT_EQ(fakeModule, builder.moduleSeen);
    EXPECT_EQ(4, builder.mechanismSeen);
    EXPECT_EQ(nullptr, builder.readerSeen);
    EXPECT_TRUE(ETWLogging::IsLogLevelEnabled(ETWLogging::LevelNormal));

    // Properties set later do not rebuild the manager.
    ETWLogging::SetLogProperties(nullptr, L"Other", nullptr, nullptr, 1);
    ETWLogging::GetLogManager();
    EXPECT_EQ(1, builder.buildExCalls);
}

TEST_F(LogManagerTest, NullModuleMeansTheModuleHoldingTheLoggingCode)
{
    RecordingBuilder builder;
    Use(&builder);
    ETWLogging::SetLogProperties(nullptr, nullptr, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, ETWLogging::GetLogManager());
    // Linked statically into this test program.
    EXPECT_EQ(GetModuleHandleW(nullptr), builder.moduleSeen);
    EXPECT_EQ(L"<null>", builder.applicationName);
    EXPECT_EQ(L"<null>", builder.profileName);
}

TEST_F(LogManagerTest, PlainBuilderIsAskedThroughBuild)
{
    PlainBuilder builder;
    Use(&builder);
    ASSERT_NE(nullptr, ETWLogging::GetLogManager());
    EXPECT_EQ(1, builder.calls);
    EXPECT_NE(nullptr, ETWLogging::GetLogManager()->Implementation());
}

TEST_F(LogManagerTest, ExceptionDuringCreationReachesTheCallerAndTheNextCallRetries)
{
    RecordingBuilder builder;
    builder.throwsLeft = 1;
    Use(&builder);
    EXPECT_THROW(ETWLogging::GetLogManager(), std::runtime_error);
    EXPECT_EQ(nullptr, CLogManager::Existing());
    EXPECT_EQ(nullptr, Plinth::CLogger::RegisteredHandler());

    ETWLogging::CLogManager* manager = ETWLogging::GetLogManager();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(2, builder.buildExCalls);
    EXPECT_NE(nullptr, manager->Implementation());
    EXPECT_EQ(manager, ETWLogging::GetLogManager());
}

TEST_F(LogManagerTest, TeardownUnregistersTheBridgeAndDestroysTheImplementation)
{
    RecordingBuilder builder;
    Use(&builder);
    ASSERT_NE(nullptr, ETWLogging::GetLogManager()->Implementation());
    EXPECT_EQ(1, Script().created);
    CLogManager::ResetForTest();
    EXPECT_EQ(1, Script().destroyed);
    EXPECT_EQ(nullptr, CLogManager::Existing());
    EXPECT_EQ(nullptr, Plinth::CLogger::RegisteredHandler());
}

TEST_F(LogManagerTest, WriteLogReturnsPrepareFailuresAndRespectsTheExtendedLevelCheck)
{
    RecordingBuilder builder;
    builder.extended = true;
    Use(&builder);
    Script().prepareResult = ETWLogging::kErrorNotInitialized;
    EXPECT_EQ(ETWLogging::kErrorNotInitialized, ETWLogging::WriteLog(1, L"f", L"F", 1, L"x"));
    EXPECT_EQ(0, Script().formattedExCalls);

    Script().prepareResult = 0;
    Script().levelEnabled = false;
    EXPECT_EQ(0u, ETWLogging::WriteLog(1, L"f", L"F", 1, L"x"));
    EXPECT_EQ(0, Script().formattedExCalls);
    Script().levelEnabled = true;
    EXPECT_EQ(0u, ETWLogging::WriteLog(3, L"f", L"F", 1, L"x"));
    EXPECT_EQ(1, Script().formattedExCalls);
    EXPECT_EQ(3u, Script().lastLevel);
    EXPECT_EQ(0, Script().preformattedCalls);
}

// The manager adds no handler of its own: what the writer raises reaches the
// caller as it was raised, and the next write is served as usual.
TEST_F(LogManagerTest, AnExceptionWhileWritingReachesTheCallerUnchanged)
{
    for (bool extended : {false, true})
    {
        ResetScript();
        CLogManager::ResetForTest();
        RecordingBuilder builder;
        builder.extended = extended;
        Use(&builder);
        Script().writeThrows = true;
        EXPECT_THROW(ETWLogging::WriteLog(3, L"f", L"F", 1, L"%d", 7), std::length_error) << extended;
        Script().writeThrows = false;
        EXPECT_EQ(0u, ETWLogging::WriteLog(3, L"f", L"F", 1, L"%d", 8)) << extended;
        EXPECT_EQ(2, extended ? Script().formattedExCalls : Script().preformattedCalls);
        CLogManager::SetBuilderForTest(nullptr);
    }
}

TEST_F(LogManagerTest, LongMessagesAreCutToHalfTheTrigger)
{
    LogCapture capture;
    const std::wstring exact = Repeat(L'a', 4160);
    const std::wstring longer = Repeat(L'b', 4161);
    const std::wstring huge = Repeat(L'c', 1 << 20);
    EXPECT_EQ(0u, ETWLogging::WriteLog(1, L"f", L"F", 1, L"%s", exact.c_str()));
    EXPECT_EQ(0u, ETWLogging::WriteLog(1, L"f", L"F", 1, L"%s", longer.c_str()));
    EXPECT_EQ(0u, ETWLogging::WriteLog(1, L"f", L"F", 1, L"%s", huge.c_str()));
    EXPECT_EQ(0u, ETWLogging::WriteLog(1, L"f", L"F", 1, Repeat(L'd', 4161).c_str()));
    const auto lines = capture.lines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(exact, lines[0].text);
    EXPECT_EQ(Repeat(L'b', 2080), lines[1].text);
    EXPECT_EQ(Repeat(L'c', 2080), lines[2].text);
    EXPECT_EQ(Repeat(L'd', 2080), lines[3].text);
}

TEST_F(LogManagerTest, FormatsFollowTheMicrosoftWideConvention)
{
    for (bool extended : {false, true})
    {
        LogCapture capture(extended);
        ETWLogging::WriteLog(1, L"f", L"F", 1, L"%s and %hs and %lu", L"wide", "narrow", 42ul);
        ETWLogging::WriteLog(1, L"f", L"F", 1, L"%ls|%08X|%lld|%d", L"ls", 0xBEEFu, -5ll, 7);
        ASSERT_EQ(2u, capture.count());
        EXPECT_EQ(L"wide and narrow and 42", capture.lines()[0].text);
        EXPECT_EQ(L"ls|0000BEEF|-5|7", capture.lines()[1].text);
    }
}

TEST_F(LogManagerTest, NullArgumentsGiveResultsNotCrashes)
{
    LogCapture capture;
    EXPECT_EQ(87u, ETWLogging::WriteLog(1, L"f", L"F", 1, nullptr));
    EXPECT_EQ(0u, capture.count());
    EXPECT_EQ(0u, ETWLogging::WriteLog(1, nullptr, nullptr, 0, L"no place"));
    ASSERT_EQ(1u, capture.count());
    EXPECT_EQ(L"", capture.lines()[0].file);
}

TEST_F(LogManagerTest, SeverityOfTheImplementationDecides)
{
    LogCapture capture;
    capture.setSeverity(ETWLogging::LevelError);
    EXPECT_FALSE(ETWLogging::IsLogLevelEnabled(ETWLogging::LevelNormal));
    EXPECT_TRUE(ETWLogging::IsLogLevelEnabled(ETWLogging::LevelError));
    WL_LOG(ETWLogging::LevelNormal, L"f", L"F", L"filtered");
    WL_LOG(ETWLogging::LevelError, L"f", L"F", L"kept %d", 1);
    ASSERT_EQ(1u, capture.count());
    EXPECT_EQ(L"kept 1", capture.lines()[0].text);
}

TEST_F(LogManagerTest, ManyThreadsLogAtOnce)
{
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
    {
        threads.emplace_back(
            [t]
            {
                for (int i = 0; i < 200; ++i)
                {
                    WL_LOG(ETWLogging::LevelNormal, L"f", L"F", L"thread %d line %d", t, i);
                }
            });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(1600u, capture.count());
    EXPECT_EQ(1u, capture.exactly(L"thread 7 line 199").size());
}

TEST_F(LogManagerTest, LibraryEntryPointLogsLoadAndUnload)
{
    LogCapture capture;
    Norvan::onProcessAttach(GetModuleHandleW(nullptr));
    Norvan::onProcessDetach();
    const auto lines = capture.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"DLL loaded", lines[0].text);
    EXPECT_EQ(L"DLL unloaded", lines[1].text);
    for (const auto& line : lines)
    {
        EXPECT_EQ(ETWLogging::LevelNormal, line.level);
        EXPECT_EQ(L"dllmain", line.file);
        EXPECT_EQ(L"DllMain", line.function);
    }
}

TEST_F(LogManagerTest, EntryPointCreatesTheManagerWithItsProperties)
{
    RecordingBuilder builder;
    Use(&builder);
    HMODULE self = GetModuleHandleW(nullptr);
    Norvan::onProcessAttach(self);
    ASSERT_NE(nullptr, CLogManager::Existing());
    EXPECT_EQ(L"Wardline", builder.applicationName);
    EXPECT_EQ(L"<null>", builder.profileName);
    EXPECT_EQ(L"<null>", builder.logNameSeen);
    EXPECT_EQ(self, builder.moduleSeen);
    EXPECT_EQ(0, builder.mechanismSeen);
    // The fake writer is a plain one: "DLL loaded" went through WritePreformatted.
    EXPECT_EQ(L"DLL loaded", Script().lastMessage);
}

TEST_F(LogManagerTest, EntryPointSurvivesAFailingCreation)
{
    RecordingBuilder builder;
    builder.throwsLeft = 2;
    Use(&builder);
    EXPECT_NO_THROW(Norvan::onProcessAttach(GetModuleHandleW(nullptr)));
    EXPECT_NO_THROW(Norvan::onProcessDetach());
    EXPECT_EQ(2, builder.buildExCalls);
    // The next use builds it after all.
    EXPECT_NE(nullptr, ETWLogging::GetLogManager());
    EXPECT_EQ(3, builder.buildExCalls);
}

TEST_F(LogManagerTest, LoggingWhileTheManagerIsBuiltDoesNotDeadlock)
{
    RecordingBuilder builder;
    builder.logDuringBuild = true;
    Use(&builder);
    ETWLogging::CLogManager* manager = ETWLogging::GetLogManager();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(manager, builder.managerDuringBuild);
    EXPECT_EQ(1627u, builder.resultDuringBuild); // nothing built yet
    EXPECT_EQ(1, builder.buildExCalls);
}

TEST_F(LogManagerTest, ConcurrentFirstCallsCreateOneManager)
{
    RecordingBuilder builder;
    builder.delayMs = 50; // keeps the others waiting at the guard
    Use(&builder);
    std::vector<std::thread> threads;
    std::vector<ETWLogging::CLogManager*> seen(6, nullptr);
    for (std::size_t i = 0; i < seen.size(); ++i)
    {
        threads.emplace_back([&seen, i] { seen[i] = ETWLogging::GetLogManager(); });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(1, builder.buildExCalls);
    for (auto* manager : seen)
    {
        EXPECT_EQ(seen[0], manager);
        EXPECT_NE(nullptr, manager);
    }
}

// The real library: attach creates the manager from the registry (no writer
// yet), detach logs and the statics tear it down. Neither may fail.
TEST(WardlineDllTest, LoadsAndUnloads)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::wstring dll(path, length);
    dll = dll.substr(0, dll.find_last_of(L"\\/"));
    dll = dll.substr(0, dll.find_last_of(L"\\/")) + L"\\src\\Wardline.dll";
    HMODULE module = LoadLibraryW(dll.c_str());
    ASSERT_NE(nullptr, module) << "GetLastError " << GetLastError();
    EXPECT_NE(nullptr, reinterpret_cast<void*>(GetProcAddress(module, "GetVersionNum")));
    EXPECT_TRUE(FreeLibrary(module));
}
