#include "support/HostThreads.h"
#include "wrappers/UniqueResource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

namespace
{

struct Line
{
    char text[64];
};

// The probe, loaded for one test and freed after it, so that each test meets
// a fresh runtime; the host thread exists before the load.
class RuntimeProbe : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(library_) << "runtime_probe.dll is missing beside the test"; }

    template <typename Function> Function* probe(const char* name)
    {
        return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(library_.get(), name)));
    }

    WardlineTest::HostThreads host_{1};
    Norvan::unique_hmodule library_{LoadLibraryW(L"runtime_probe.dll")};
};

Norvan::unique_handle newEvent()
{
    return Norvan::unique_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

} // namespace

TEST_F(RuntimeProbe, AStaticWhoseInitialiserThrowsIsInitialisedByTheThreadWaitingForIt)
{
    const auto guarded = probe<int(HANDLE, HANDLE)>("GuardedStatic");
    const Norvan::unique_handle entered = newEvent(), goOn = newEvent();
    int first = 0, second = 0;
    std::thread firstCaller([&] { first = guarded(entered.get(), goOn.get()); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered.get(), 60000));
    std::thread secondCaller([&] { second = guarded(entered.get(), goOn.get()); });
    Sleep(200); // time for the second caller to reach the wait; the outcome holds either way
    SetEvent(goOn.get());
    firstCaller.join();
    secondCaller.join();
    EXPECT_EQ(-1, first);
    EXPECT_EQ(42, second);
}

TEST_F(RuntimeProbe, AOnceRoutineThatThrowsRunsAgainAndThenNeverAgain)
{
    const auto onceRuns = probe<int(bool)>("OnceRuns");
    EXPECT_EQ(-1, onceRuns(true));
    EXPECT_EQ(2, onceRuns(false));
    EXPECT_EQ(2, onceRuns(true));
}

TEST_F(RuntimeProbe, ThreadLocalsOfAThreadFromBeforeTheLoadKeepAlignmentInitialValuesAndTheLastError)
{
    const Line* line = nullptr;
    int value = 0;
    DWORD lastError = 0;
    host_.runRound(
        [&](unsigned)
        { lastError = probe<DWORD(DWORD, const Line**, int*)>("ThreadLocals")(1234, &line, &value); });
    EXPECT_EQ(1234u, lastError);
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(line) % 64) << line;
    EXPECT_STREQ("aligned", line->text);
    EXPECT_EQ(42, value);
}

// rundll32 loads the probe, calls its AtExit with the case and frees it.
TEST(RuntimeProbeProcess, UseAfterTheUnloadStopsAndExitNeverWaitsForAKilledInitialiser)
{
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], MAX_PATH));
    path = path.substr(0, path.find_last_of(L'\\') + 1) + L"runtime_probe.dll";
    constexpr DWORD kFailFast = 0xC0000602u;
    const std::pair<const wchar_t*, DWORD> cases[] = {
        {L"thread-local", kFailFast}, {L"throw", kFailFast}, {L"exit-while-initialising", 42}};
    for (const auto& [what, expected] : cases)
    {
        std::wstring command = L"rundll32.exe " + path + L",AtExit " + what;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION child{};
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &child));
        const Norvan::unique_handle process(child.hProcess), thread(child.hThread);
        DWORD code = WAIT_TIMEOUT;
        if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process.get(), &code))
        {
            TerminateProcess(process.get(), 1);
        }
        EXPECT_EQ(expected, code) << "AtExit " << std::string(what, what + wcslen(what));
    }
}
