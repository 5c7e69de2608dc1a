#include <gtest/gtest.h>

#include "LogFileSupport.h"
#include "LogReader.h"
#include "Logging/Log.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <regex>
#include <thread>

using ETWLogging::CLogging;
using LogFileTest::AppLogFolder;

namespace
{

// WARDLINE_STRESS=long (make stress): 20,000 lines a writer across some 170
// rotations of a 20-file set; otherwise a few seconds' worth round a 3-file set.
const bool kLong =
    std::getenv("WARDLINE_STRESS") != nullptr && std::string(std::getenv("WARDLINE_STRESS")) == "long";
const int kLinesPerWriter = kLong ? 20000 : 600;
const size_t kEntries = kLong ? 20 : 3;
const std::string kSetIni = "[Config]\r\nMaxEntries=" + std::to_string(kEntries) + "\r\n";
constexpr DWORD kMaxSize = 262144;
// A writer that the lock favours finishes early, and the others may then
// write more than the whole set holds: its lines are rotated out, which is
// what a rotating set is for. So every writer ends with lines written after
// a barrier that all writers reach, and those must all be there.
constexpr int kTailLines = 20;

// What a set holds after many writers: lines that are not whole, numbers
// missing within one writer's run, and files rotated before they were full.
struct SetReport
{
    size_t lines = 0;
    std::vector<std::wstring> broken;
    std::vector<std::wstring> gaps;
    std::map<std::wstring, int> lastNumber; // per writer
    std::map<std::wstring, int> firstNumber;
    std::vector<DWORD> indices;
    std::vector<std::wstring> rotatedEarly;
};

// Every line is "<header> [field]$ <tag> T<thread> N<number> x*80": a line
// that two writes interleaved into fails the pattern, and a lost line shows
// as a gap in its writer's numbers.
SetReport ReadSet(const std::wstring& folder)
{
    static const std::wregex line(LR"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d [AP]M\$ -- \(Normal\)\$ )"
                                  LR"((?:\[[ \w.]{15}\]\$ )?([A-Z] T\d) N(\d{5}) x{80})");
    SetReport report;
    wlog::Reader reader(wlog::LogSet::InFolder(folder));
    auto take = [&](const std::wstring& text)
    {
        ++report.lines;
        std::wsmatch match;
        if (!std::regex_match(text, match, line))
        {
            if (report.broken.size() < 5)
            {
                report.broken.push_back(text);
            }
            return;
        }
        const int number = std::stoi(match[2].str());
        report.firstNumber.emplace(match[1].str(), number);
        auto [last, first] = report.lastNumber.emplace(match[1].str(), number);
        if (!first)
        {
            if (number != last->second + 1 && report.gaps.size() < 5)
            {
                report.gaps.push_back(match[1].str() + L": " + std::to_wstring(last->second) + L" then " +
                                      std::to_wstring(number));
            }
            last->second = number;
        }
    };
    reader.ReadAll(take);
    reader.Finish(take);

    wlog::LogSet set = wlog::LogSet::InFolder(folder);
    report.indices = set.IndicesOldestFirst();
    for (size_t i = 0; i + 1 < report.indices.size(); ++i)
    {
        const std::wstring file = set.FileFor(report.indices[i]);
        if (LogFileTest::ReadBytes(file).size() < kMaxSize)
        {
            report.rotatedEarly.push_back(file);
        }
    }
    return report;
}

void ExpectWholeSet(const SetReport& report, const std::vector<std::wstring>& writers, size_t entries)
{
    EXPECT_TRUE(report.broken.empty()) << "first broken line: " << LogFileTest::Narrow(report.broken.front());
    EXPECT_TRUE(report.gaps.empty()) << LogFileTest::Narrow(report.gaps.front());
    EXPECT_TRUE(report.rotatedEarly.empty()) << LogFileTest::Narrow(report.rotatedEarly.front());
    // The set went round: the oldest lines are gone, the newest all there.
    EXPECT_EQ(entries, report.indices.size());
    EXPECT_LT(report.lines, writers.size() * kLinesPerWriter);
    for (const std::wstring& writer : writers)
    {
        const auto last = report.lastNumber.find(writer);
        ASSERT_NE(report.lastNumber.end(), last) << LogFileTest::Narrow(writer);
        EXPECT_EQ(kLinesPerWriter + kTailLines - 1, last->second) << LogFileTest::Narrow(writer);
        EXPECT_LE(report.firstNumber.at(writer), kLinesPerWriter) << LogFileTest::Narrow(writer);
    }
}

std::wstring BarrierName(const wchar_t* test)
{
    return L"Local\\wardline-logfile-" + std::wstring(test) + std::to_wstring(::GetCurrentProcessId());
}

} // namespace

TEST(LogFileConcurrency, EightThreadsThroughWriteLogAcrossRotations)
{
    AppLogFolder app(L"WLTest.Threads");
    ASSERT_TRUE(app.WriteIni(kSetIni));
    auto* writer = new CLogging();
    ASSERT_EQ(0u,
              writer->Initialize(app.Application().c_str(), ::GetModuleHandleW(nullptr), nullptr, nullptr));
    LogFileTest::InstalledWriter installed(writer);

    const std::wstring padding(80, L'x');
    LogFileTest::WriterBarrier barrier(BarrierName(L"threads"));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < kLinesPerWriter + kTailLines; ++i)
                {
                    failures += i == kLinesPerWriter && !barrier.ArriveAndWait() ? 1 : 0;
                    if (ETWLogging::WriteLog(1, L"tests\\logfile\\ConcurrencyTest", L"writer", i,
                                             L"P T%d N%05d %s", t, i, padding.c_str()) != 0)
                    {
                        ++failures;
                    }
                }
            });
    }
    EXPECT_TRUE(barrier.ReleaseWhenArrived(8));
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(0, failures.load());

    std::vector<std::wstring> writers;
    for (int t = 0; t < 8; ++t)
    {
        writers.push_back(L"P T" + std::to_wstring(t));
    }
    ExpectWholeSet(ReadSet(app.Folder()), writers, kEntries);
}

// Two hosts loading the module write one set: the same load split over two
// processes of four threads each; again with the set's mutex name taken by
// another kind of object, when the lock file must keep the lines whole.
class TwoProcesses : public ::testing::TestWithParam<bool>
{
};

TEST_P(TwoProcesses, WritingOneSet)
{
    AppLogFolder app(L"WLTest.Processes");
    ASSERT_TRUE(app.WriteIni(kSetIni, L"logfile_child"));
    const std::wstring name = ETWLogging::CLogSetMutex::NameFor(app.Folder(L"logfile_child"));
    Norvan::unique_handle squatter(GetParam() ? ::CreateEventW(nullptr, TRUE, FALSE, name.c_str()) : nullptr);
    const std::wstring barrierName = BarrierName(GetParam() ? L"squatted" : L"shared");
    LogFileTest::WriterBarrier barrier(barrierName);

    const std::wstring child = LogFileTest::FromBuildPath(LOGFILE_CHILD_EXE);
    const std::wstring lines = std::to_wstring(kLinesPerWriter);
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::vector<std::unique_ptr<LogFileTest::ChildProcess>> children;
    for (const wchar_t* tag : {L"A", L"B"})
    {
        children.push_back(std::make_unique<LogFileTest::ChildProcess>(
            L"\"" + child + L"\" " + app.Application() + L" " + tag + L" 4 " + lines + L" " +
                std::to_wstring(kTailLines) + L" " + barrierName,
            std::wstring(temp) + L"wardline-logfile-child-" + tag +
                (GetParam() ? L"-squatted.txt" : L".txt")));
        ASSERT_TRUE(children.back()->Started());
    }
    EXPECT_TRUE(barrier.ReleaseWhenArrived(8));
    for (auto& process : children)
    {
        EXPECT_EQ(0u, process->Wait(15 * 60 * 1000));
    }

    std::vector<std::wstring> writers;
    for (const wchar_t* tag : {L"A", L"B"})
    {
        for (int t = 0; t < 4; ++t)
        {
            writers.push_back(std::wstring(tag) + L" T" + std::to_wstring(t));
        }
    }
    ExpectWholeSet(ReadSet(app.Folder(L"logfile_child")), writers, kEntries);
}
INSTANTIATE_TEST_SUITE_P(LogFileConcurrency, TwoProcesses, ::testing::Values(false, true));
