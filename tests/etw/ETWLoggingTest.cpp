#include "Logging/DefaultLogBuilder.h"
#include "Logging/ETWLogging.h"
#include "Logging/Log.h"
#include "Logging/LogManager.h"
#include "Logging/config/ETWConfigurationListener.h"

#include "CapturingEtwApi.h"
#include "RecordBytes.h"
#include "TestRegistry.h"
#include "support/FailingAllocation.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using ETWLogging::CETWLogging;
using EtwTest::CapturedEvent;
using EtwTest::CapturingEtwAPI;
using EtwTest::SessionBuffer;
using LogConfigTest::TestKey;

namespace
{

const wchar_t kProfile[] = L"WLEtwTest";
// {11223344-5566-7788-99AA-BBCCDDEEFF00}
const GUID kTestProvider = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};
const GUID kEventClass = {0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

std::string Utf8(const std::u16string& text)
{
    return EtwDecode::ToUtf8(text);
}

std::wstring Wide(const std::u16string& text)
{
    return std::wstring(text.begin(), text.end());
}

// Three UTF-8 bytes each.
const wchar_t kEuro = L'\x20AC';

// A complete logging profile of its own, so that no other test's registry
// values reach these writers. The registry overrides live under its
// "Provider" subkey.
class EtwWriterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        profile_.SetString(L"Session", L"Session ID Guid", L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
        profile_.SetString(L"Session", L"Session Name", L"WLEtwTest.Session");
        profile_.SetString(L"Provider", L"Provider Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF00}");
        profile_.SetString(L"Controller", L"Controller Path", L"C:\\Tools\\ctl.exe");
        profile_.SetString(L"Controller", L"Owner Mutex Name", L"WLEtwTest.Owner");
        writer_ = NewWriter();
        ASSERT_NE(nullptr, writer_);
    }

    std::unique_ptr<CETWLogging> NewWriter(const wchar_t* application = L"App")
    {
        auto writer = std::make_unique<CETWLogging>(api_);
        const DWORD result = writer->InitializeEx(kProfile, application, Kernel32(), nullptr, nullptr);
        EXPECT_EQ(0u, result);
        return result == 0 ? std::move(writer) : nullptr;
    }

    static HMODULE Kernel32() { return GetModuleHandleW(L"kernel32.dll"); }

    void Write(DWORD level, const wchar_t* message)
    {
        EXPECT_EQ(0u, writer_->WriteFormattedVa(level, L"f", L"F", 1, L"%s", message));
    }

    // Drives the callback the writer registered, as the tracing service would.
    ULONG Control(WMIDPREQUESTCODE code, TRACEHANDLE session)
    {
        const auto registrations = api_->Registrations();
        EXPECT_FALSE(registrations.empty()) << "the provider was never registered";
        if (registrations.empty())
        {
            return ERROR_INVALID_STATE;
        }
        WNODE_HEADER buffer = SessionBuffer(session);
        ULONG size = sizeof(buffer);
        return registrations.back().callback(code, registrations.back().context, &size, &buffer);
    }

    std::vector<CapturedEvent> Sent() const { return api_->Events(); }

    TestKey profile_{kProfile};
    std::shared_ptr<CapturingEtwAPI> api_ = std::make_shared<CapturingEtwAPI>();
    std::unique_ptr<CETWLogging> writer_;
};

} // namespace

TEST_F(EtwWriterTest, KnownMessageGoesOutByteForByte)
{
    ASSERT_EQ(0u, writer_->WriteFormattedVa(ETWLogging::LevelError, L"message\\ReplyImpl",
                                            L"Norvan::ReplyImpl::wait", 321, L"%s took %lu ms: \x00FC%c",
                                            L"wait", 42ul, kEuro));

    const auto sent = Sent();
    ASSERT_EQ(1u, sent.size());
    const CapturedEvent& event = sent[0];
    const std::string message = "wait took 42 ms: \xC3\xBC\xE2\x82\xAC";
    // The logging code lives in this program, whose resource writes its
    // version "3, 4, 5, 6".
    const auto expected = EtwTest::RecordBytes()
                              .U32(GetCurrentProcessId())
                              .U32(GetCurrentThreadId())
                              .Counted(L"etw_tests.exe")
                              .Counted(L"message\\ReplyImpl")
                              .Counted(L"Norvan::ReplyImpl::wait")
                              .U32(321)
                              .Counted(L"etw_tests.exe")
                              .Counted(L"3.4.5.6")
                              .Counted(L"App")
                              .U64(message.size())
                              .Bytes();
    EXPECT_EQ(expected, std::vector<std::uint8_t>(event.record.begin(), event.record.end()));
    EXPECT_EQ(message, event.message);

    const EVENT_TRACE_HEADER& header = event.raw.header;
    EXPECT_EQ(80, header.Size);
    EXPECT_EQ(0x120000u, header.Flags);
    EXPECT_TRUE(IsEqualGUID(kEventClass, header.Guid));
    EXPECT_EQ(1, header.Class.Type);
    EXPECT_EQ(2, header.Class.Version);
    EXPECT_EQ(4, header.Class.Level);
    EXPECT_EQ(expected.size(), event.raw.fields[0].Length);
    EXPECT_EQ(message.size(), event.raw.fields[1].Length);
    EXPECT_EQ(0u, event.session) << "no session has enabled the provider";
}

TEST_F(EtwWriterTest, LevelsOutsideOneToFiveGoOutAsThree)
{
    writer_->SetSeverity(1);
    for (DWORD level : {0u, 1u, 2u, 4u, 5u, 6u, 7u})
    {
        Write(level, L"x");
    }
    std::vector<int> sentLevels;
    for (const CapturedEvent& event : Sent())
    {
        sentLevels.push_back(event.raw.header.Class.Level);
    }
    // Level 0 lies below every severity.
    EXPECT_EQ((std::vector<int>{1, 2, 4, 5, 3, 3}), sentLevels);
}

TEST_F(EtwWriterTest, LogHelpersSendAtTheirOwnLevel)
{
    writer_->SetSeverity(1);
    EXPECT_EQ(0u, writer_->LogNormal(L"f", L"F", 1, L"%s", L"n"));
    EXPECT_EQ(0u, writer_->LogWarning(L"f", L"F", 1, L"%s", L"w"));
    EXPECT_EQ(0u, writer_->LogCritical(L"f", L"F", 1, L"%s", L"c"));
    EXPECT_EQ(0u, writer_->LogInformation(L"f", L"F", 1, L"%s", L"i"));
    EXPECT_EQ(0u, writer_->LogError(L"f", L"F", 1, L"%s", L"e"));
    std::vector<std::pair<int, std::string>> sent;
    for (const CapturedEvent& event : Sent())
    {
        sent.emplace_back(event.raw.header.Class.Level, event.message);
    }
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{{1, "n"}, {2, "w"}, {5, "c"}, {3, "i"}, {4, "e"}}),
              sent);
}

// A listener handed in is attached to the writer and applies the overrides
// of its own profile at once, in place of the writer's.
TEST_F(EtwWriterTest, AGivenListenerIsAttachedAndApplied)
{
    profile_.SetDword(L"Provider", L"Severity", 5);
    TestKey other(L"WLEtwTest.Listener");
    other.WriteRequiredProfileValues(L"WLEtwTest.Listener");
    other.SetDword(L"Provider", L"Severity", 2);
    ETWLogging::internal::ETWAppProperties properties;
    ASSERT_TRUE(properties.Load(L"WLEtwTest.Listener"));
    auto writer = std::make_unique<CETWLogging>(api_);
    ASSERT_EQ(0u, writer->InitializeEx(kProfile, L"App", Kernel32(), nullptr,
                                       new ETWLogging::CETWConfigurationListener(properties)));
    EXPECT_EQ(2u, writer->GetSeverity());
    // Never registered: nothing to take back.
    EXPECT_EQ(0u, writer->Uninitialize());
    EXPECT_TRUE(api_->Unregistered().empty());
}

TEST_F(EtwWriterTest, WriteLogRegistersOnFirstWriteAndLetsInformationThroughAnySeverity)
{
    CETWLogging* writer = writer_.release();
    ETWLogging::CLoggingIf* previous = ETWLogging::CLogManager::ReplaceImplementationForTest(writer);
    writer->SetSeverity(5);

    EXPECT_TRUE(ETWLogging::IsLogLevelEnabled(3));
    EXPECT_FALSE(ETWLogging::IsLogLevelEnabled(4));
    EXPECT_TRUE(ETWLogging::IsLogLevelEnabled(6));
    for (DWORD level = 1; level <= 6; ++level)
    {
        EXPECT_EQ(0u, ETWLogging::WriteLog(level, L"f", L"F", 1, L"level %lu", level));
    }
    EXPECT_EQ(1u, api_->Registrations().size());

    std::vector<std::string> messages;
    std::vector<int> sentLevels;
    for (const CapturedEvent& event : Sent())
    {
        messages.push_back(event.message);
        sentLevels.push_back(event.raw.header.Class.Level);
    }
    EXPECT_EQ((std::vector<std::string>{"level 3", "level 5", "level 6"}), messages);
    EXPECT_EQ((std::vector<int>{3, 5, 3}), sentLevels);

    delete ETWLogging::CLogManager::ReplaceImplementationForTest(previous);
}

TEST_F(EtwWriterTest, MessagesAreCutTo2079CharactersFollowedByTheirNul)
{
    const std::wstring whole(2079, L'a');
    const std::wstring longer = std::wstring(2079, L'b') + std::wstring(921, L'c');
    Write(3, whole.c_str());
    Write(3, longer.c_str());
    writer_->WritePreformatted(L"f", L"F", 1, 3, longer.c_str());
    writer_->WriteFormatted(3, L"f", L"F", 1, L"%s", longer.c_str());
    writer_->LogInformation(L"f", L"F", 1, L"%s", longer.c_str());
    // Each character takes three bytes: the cut must hold for the UTF-8 too.
    Write(3, std::wstring(3000, kEuro).c_str());

    const auto sent = Sent();
    ASSERT_EQ(6u, sent.size());
    EXPECT_EQ(std::string(2079, 'a'), sent[0].message);
    EXPECT_EQ(2079u, sent[0].Decode().record.messageLength);
    for (std::size_t i = 1; i <= 4; ++i)
    {
        EXPECT_EQ(std::string(2079, 'b') + '\0', sent[i].message) << "event " << i;
        EXPECT_EQ(2080u, sent[i].Decode().record.messageLength) << "event " << i;
    }
    EXPECT_EQ(Utf8(std::u16string(2079, u'\x20AC')) + '\0', sent[5].message);
    EXPECT_EQ(2079u * 3 + 1, sent[5].Decode().record.messageLength);
}

TEST_F(EtwWriterTest, EmptyMessageSendsAnEmptyText)
{
    Write(3, L"");
    const auto sent = Sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0u, sent[0].raw.fields[1].Length);
    EXPECT_EQ(0u, sent[0].Decode().record.messageLength);
}

TEST_F(EtwWriterTest, RefusedOrFilteredWritesSendNothing)
{
    va_list none{};
    EXPECT_EQ(87u, writer_->WriteFormattedEx(3, L"f", L"F", 1, nullptr, none));
    EXPECT_EQ(87u, writer_->WritePreformattedEx(3, L"f", L"F", 1, nullptr));
    EXPECT_EQ(87u, writer_->LogError(L"f", L"F", 1, nullptr));
    EXPECT_EQ(0u, writer_->WriteFormatted(3, L"f", L"F", 1, L""));
    EXPECT_EQ(0u, writer_->WriteFormatted(3, L"f", L"F", 1, nullptr));
    Write(2, L"below the severity");
    writer_->SetEnabled(false);
    Write(4, L"disabled");
    EXPECT_TRUE(Sent().empty());
}

TEST_F(EtwWriterTest, AFailedRegistrationIsReportedOnceAndWritesGoOn)
{
    api_->registerResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(5u, writer_->Prepare());
    EXPECT_EQ(0u, writer_->Prepare());
    Write(3, L"unheard");

    const auto registrations = api_->Registrations();
    ASSERT_EQ(1u, registrations.size());
    EXPECT_TRUE(IsEqualGUID(kTestProvider, registrations[0].controlGuid));
    EXPECT_EQ(1u, registrations[0].guidCount);
    EXPECT_TRUE(IsEqualGUID(kEventClass, registrations[0].traceGuid));
    EXPECT_EQ(writer_.get(), registrations[0].context);
    EXPECT_FALSE(registrations[0].withMofResource);
    EXPECT_EQ(1u, Sent().size());

    // Nothing was registered, so nothing is unregistered.
    EXPECT_EQ(0u, writer_->Uninitialize());
    EXPECT_TRUE(api_->Unregistered().empty());
}

TEST_F(EtwWriterTest, UninitializeAndDestructionUnregisterTheProvider)
{
    ASSERT_EQ(0u, writer_->Prepare());
    EXPECT_EQ(0u, writer_->Uninitialize());
    EXPECT_EQ((std::vector<TRACEHANDLE>{0x7700}), api_->Unregistered());
    EXPECT_FALSE(writer_->IsEnabled());

    auto other = NewWriter(L"Other");
    api_->handleToGive = 0x7701;
    ASSERT_EQ(0u, other->Prepare());
    other.reset();
    EXPECT_EQ((std::vector<TRACEHANDLE>{0x7700, 0x7701}), api_->Unregistered());
}

TEST_F(EtwWriterTest, ASessionsEnableSetsTheSeverityAndReceivesTheEvents)
{
    ASSERT_EQ(0u, writer_->Prepare());
    api_->enableLevels[0x51] = 2;
    EXPECT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0x51));
    EXPECT_EQ(2u, writer_->GetSeverity());
    EXPECT_TRUE(writer_->IsSessionHandle(0x51));

    Write(2, L"now enabled");
    const auto sent = Sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0x51u, sent[0].session);
}

TEST_F(EtwWriterTest, OnlyTheAttachedSessionIsServed)
{
    ASSERT_EQ(0u, writer_->Prepare());
    api_->enableLevels[0x51] = 2;
    api_->enableLevels[0x52] = 6;
    ASSERT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0x51));

    EXPECT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0x52));
    EXPECT_EQ(2u, writer_->GetSeverity());
    EXPECT_TRUE(writer_->IsSessionHandle(0x51));
    // Its enable was ignored, and so is its disable: the first session
    // still listens.
    EXPECT_EQ(0u, Control(WMI_DISABLE_EVENTS, 0x52));
    EXPECT_TRUE(writer_->IsEnabled());
    EXPECT_TRUE(writer_->IsSessionHandle(0x51));

    EXPECT_EQ(0u, Control(WMI_DISABLE_EVENTS, 0x51));
    EXPECT_FALSE(writer_->IsEnabled());
    EXPECT_TRUE(writer_->IsSessionHandle(0));
    Write(4, L"after the disable");
    EXPECT_TRUE(Sent().empty());

    // Detached, the provider serves the next session that asks.
    EXPECT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0x52));
    EXPECT_TRUE(writer_->IsSessionHandle(0x52));
    EXPECT_EQ(6u, writer_->GetSeverity());
}

TEST_F(EtwWriterTest, BadControlRequestsChangeNothing)
{
    ASSERT_EQ(0u, writer_->Prepare());
    EXPECT_EQ(87u, Control(WMI_GET_ALL_DATA, 0x51));
    // No session in the buffer: GetTraceLoggerHandle's error comes back.
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), Control(WMI_ENABLE_EVENTS, 0));
    // A session whose level cannot be read is attached but leaves the severity.
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), Control(WMI_ENABLE_EVENTS, 0x53));
    EXPECT_EQ(3u, writer_->GetSeverity());
    EXPECT_TRUE(writer_->IsEnabled());
    EXPECT_EQ(87u, CETWLogging::ControlCallbackEntry(WMI_ENABLE_EVENTS, nullptr, nullptr, nullptr));
}

TEST_F(EtwWriterTest, RegistryOverridesFollowEverySessionRequest)
{
    profile_.SetDword(L"Provider", L"Severity", 5);
    auto writer = NewWriter();
    EXPECT_EQ(5u, writer->GetSeverity()) << "applied at initialisation";
    writer_ = std::move(writer);
    ASSERT_EQ(0u, writer_->Prepare());

    api_->enableLevels[0x51] = 1;
    ASSERT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0x51));
    EXPECT_EQ(5u, writer_->GetSeverity()) << "the provider key overrides the session";

    // The application's subkey, then the source's, override the provider key.
    profile_.SetDword(L"Provider\\App", L"Severity", 2);
    ASSERT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0x51));
    EXPECT_EQ(2u, writer_->GetSeverity());
    profile_.SetDword(L"Provider\\App\\kernel32", L"Enable", 0);
    ASSERT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0x51));
    EXPECT_FALSE(writer_->IsEnabled());
}

TEST_F(EtwWriterTest, InitializationRules)
{
    EXPECT_EQ(L"App\\kernel32", std::wstring(writer_->GetSourceName()));
    EXPECT_EQ(L"App", std::wstring(writer_->GetApplicationName()));
    EXPECT_EQ(20001u, writer_->InitializeEx(kProfile, L"App", Kernel32(), nullptr, nullptr));
    EXPECT_EQ(20001u, writer_->Initialize(L"App", Kernel32(), nullptr, nullptr));

    CETWLogging unnamed(api_);
    EXPECT_EQ(87u, unnamed.InitializeEx(kProfile, L"", Kernel32(), nullptr, nullptr));
    EXPECT_EQ(87u, unnamed.InitializeEx(kProfile, L"App", Kernel32(), L"", nullptr));
    ASSERT_EQ(0u, unnamed.InitializeEx(kProfile, nullptr, Kernel32(), nullptr, nullptr));
    EXPECT_EQ(L"kernel32", std::wstring(unnamed.GetSourceName()));

    CETWLogging notReady(api_);
    EXPECT_EQ(20002u, notReady.Prepare());
    profile_.Remove(L"Provider");
    EXPECT_EQ(87u, notReady.InitializeEx(kProfile, L"App", Kernel32(), nullptr, nullptr));
    EXPECT_TRUE(api_->Registrations().empty());
}

TEST_F(EtwWriterTest, SeverityIsClampedAndTheSizeSettersDoNothing)
{
    writer_->SetSeverity(4);
    EXPECT_EQ(4u, writer_->SetSeverity(0)) << "returns the previous process-wide severity";
    EXPECT_EQ(1u, writer_->GetSeverity());
    writer_->SetSeverity(9);
    EXPECT_EQ(6u, writer_->GetSeverity());
    EXPECT_EQ(0u, writer_->SetMaxSize(1 << 20));
    EXPECT_EQ(0u, writer_->GetMaxSize());
    EXPECT_EQ(0u, writer_->SetMaxEntries(7));
    EXPECT_EQ(0u, writer_->GetMaxEntries());
}

TEST_F(EtwWriterTest, IdentityOfTheRecordMatchesWhatEventsCarry)
{
    Write(3, L"x");
    ETWLogging::EtwRecordIdentity identity;
    writer_->FillRecord(identity);
    const auto decoded = Sent().at(0).Decode().record;
    EXPECT_EQ(identity.processId, decoded.processId);
    EXPECT_EQ(identity.threadId, decoded.threadId);
    EXPECT_EQ(identity.processFileName, Wide(decoded.processFileName));
    EXPECT_EQ(identity.moduleFileName, Wide(decoded.moduleFileName));
    EXPECT_EQ(identity.moduleVersion, Wide(decoded.moduleVersion));
    EXPECT_EQ(identity.applicationName, Wide(decoded.applicationName));
}

TEST_F(EtwWriterTest, ConcurrentWritersEachSendWholeEvents)
{
    constexpr int kThreads = 4;
    constexpr int kWrites = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [this, t]
            {
                for (int i = 0; i < kWrites; ++i)
                {
                    writer_->WriteFormattedVa(3, L"f", L"F", i, L"thread %d write %d %s", t, i,
                                              std::wstring(50 + i % 200, L'z').c_str());
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }

    const auto sent = Sent();
    ASSERT_EQ(static_cast<std::size_t>(kThreads * kWrites), sent.size());
    std::set<std::string> seen;
    for (const CapturedEvent& event : sent)
    {
        const auto record = event.Decode().record;
        EXPECT_EQ(event.callingThread, record.threadId);
        int t = -1;
        int i = -1;
        ASSERT_EQ(2, sscanf(record.message.c_str(), "thread %d write %d", &t, &i)) << record.message;
        EXPECT_EQ(i, record.line);
        EXPECT_EQ("thread " + std::to_string(t) + " write " + std::to_string(i) + " " +
                      std::string(50 + i % 200, 'z'),
                  record.message);
        seen.insert(record.message);
    }
    EXPECT_EQ(sent.size(), seen.size());
}

// Under Wine the classic provider functions are stubs: RegisterTraceGuidsW
// succeeds with a made-up handle, TraceEvent fails (no session can exist),
// GetTraceLoggerHandle finds no session in any buffer and sets no error, and
// the system never calls the control callback. The writer must get along
// with all of that: registration reports success, the lost events are not
// reported, and an enable request it cannot place changes nothing. Where the
// system's functions are not those stubs, there is nothing of this to prove.
TEST_F(EtwWriterTest, UnderWineTheRealFunctionsLoseEventsQuietly)
{
    EtwTest::CapturedEvent probe;
    probe.raw.header.Size = sizeof(probe.raw);
    probe.raw.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
    WNODE_HEADER buffer = SessionBuffer(0x51);
    if (::TraceEvent(0x51, &probe.raw.header) != 120u ||
        ::GetTraceLoggerHandle(&buffer) != static_cast<TRACEHANDLE>(-1))
    {
        GTEST_SKIP() << "TraceEvent does not answer 120 (not implemented) or GetTraceLoggerHandle finds a "
                        "session: the system's ETW functions are not Wine's stubs";
    }

    CETWLogging real;
    ASSERT_EQ(0u, real.InitializeEx(kProfile, L"App", Kernel32(), nullptr, nullptr));
    EXPECT_EQ(0u, real.Prepare());
    EXPECT_EQ(0u, real.WriteFormattedVa(4, L"f", L"F", 1, L"%s", L"to nobody"));
    // The stub leaves the last error alone, so the writer hands back
    // whatever the thread held: nothing, here.
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(0u, real.ControlCallback(WMI_ENABLE_EVENTS, &buffer));
    EXPECT_TRUE(real.IsSessionHandle(0));
    EXPECT_EQ(3u, real.GetSeverity());
    EXPECT_EQ(0u, real.Uninitialize());
}

// The module names no profile, so its writer reads "ZEP". A "ZEP" key
// without its subkeys fails both initialisations the builder tries, and the
// module logs nothing rather than with half a configuration.
TEST(EtwLogManager, DefaultProfileWithoutItsSubkeysLeavesTheManagerWithoutAWriter)
{
    HKEY existing = nullptr;
    ASSERT_NE(ERROR_SUCCESS,
              ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvex.logging\\ZEP", 0, KEY_READ, &existing))
        << "this case needs HKLM\\SOFTWARE\\Korvex.logging\\ZEP absent in the test prefix";
    ASSERT_NE(1u, ETWLogging::CDefaultLogBuilder::ChooseMechanism(0, nullptr)) << "needs the ETW mechanism";

    TestKey zep(L"ZEP");
    zep.Create(L"Session");
    zep.Create(L"Controller");
    ETWLogging::SetLogProperties(nullptr, L"Wardline", nullptr, nullptr, 0);
    ETWLogging::CLogManager::ResetForTest();
    ASSERT_NE(nullptr, ETWLogging::GetLogManager());
    EXPECT_EQ(nullptr, ETWLogging::GetLogManager()->Implementation());
    EXPECT_FALSE(ETWLogging::IsLogLevelEnabled(ETWLogging::LevelInformation));
    EXPECT_EQ(1627u, ETWLogging::WriteLog(ETWLogging::LevelError, L"f", L"F", 1, L"lost"));

    zep.Remove(L"");
    ETWLogging::CLogManager::ResetForTest();
    EXPECT_NE(nullptr, dynamic_cast<CETWLogging*>(ETWLogging::GetLogManager()->Implementation()));
}

// Out of memory at any allocation of InitializeEx: a failure is answered (14,
// or 87 where the profile reader takes it for an unreadable profile) and
// leaves the writer uninitialised; where a lost allocation costs only the
// library's version text, initialisation succeeds.
TEST_F(EtwWriterTest, OutOfMemoryDuringInitialisationIsReported)
{
    auto writer = std::make_unique<CETWLogging>(api_);
    DWORD result = 0;
    const long runs = WardlineTest::FailEachAllocationInTurn(
        [&] { result = writer->InitializeEx(kProfile, L"App", Kernel32(), nullptr, nullptr); },
        [&](long n)
        {
            if (result != 0)
            {
                EXPECT_TRUE(result == ERROR_OUTOFMEMORY || result == ERROR_INVALID_PARAMETER)
                    << "allocation " << n << ": " << result;
                EXPECT_EQ(20002u, writer->Prepare()) << "allocation " << n;
            }
            writer = std::make_unique<CETWLogging>(api_);
        });
    EXPECT_GT(runs, 0);
    EXPECT_EQ(0u, result);
    EXPECT_EQ(0u, writer->Prepare());
}

TEST_F(EtwWriterTest, OutOfMemoryForTheFormattedTextSendsNothing)
{
    DWORD result = 0;
    {
        WardlineTest::FailOneAllocation failing(0);
        result = writer_->WriteFormatted(4, L"f", L"F", 1, L"%s", L"no room for this");
        EXPECT_TRUE(failing.Failed());
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_OUTOFMEMORY), result);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(0u, writer_->AddRef() + writer_->Release()) << "the log manager owns the writer";
}
