#include <gtest/gtest.h>

#include "LogFileSupport.h"
#include "LogReader.h"
#include "Logging/Log.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <thread>

using ETWLogging::CLogging;
using LogFileTest::AppLogFolder;

namespace
{

// WARDLINE_STRESS=long (make stress): 20,000 lines a writer across some 170
// rotations of a 20-file set. Otherwise a few seconds' worth that still
// wraps a 3-file set.
bool LongRun()
{
    const char* mode = std::getenv("WARDLINE_STRESS");
    return mode != nullptr && std::string(mode) == "long";
}
const int kLinesPerWriter = LongRun() ? 20000 : 600;
const int kEntries = LongRun() ? 20 : 3;
constexpr DWORD kMaxSize = 262144;

std::string SetIni()
{
    return "[Config]\r\nMaxEntries=" + std::to_string(kEntries) + "\r\n";
}

// What a set holds after many writers: lines that are not whole, numbers
// missing within one writer's kept run, and files rotated before they were
// full.
struct SetReport
{
    size_t lines = 0;
    std::vector<std::wstring> broken;
    std::vector<std::wstring> gaps;
    std::map<std::wstring, std::pair<int, int>> kept; // per writer: first and last number
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
        auto [run, first] = report.kept.emplace(match[1].str(), std::make_pair(number, number));
        if (!first)
        {
            if (number != run->second.second + 1 && report.gaps.size() < 5)
            {
                report.gaps.push_back(match[1].str() + L": " + std::to_wstring(run->second.second) +
                                      L" then " + std::to_wstring(number));
            }
            run->second.second = number;
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

// A writer that the lock favours finishes early, and the others may then
// write more than the whole set holds: its lines are rotated out, which is
// what a rotating set is for. So every writer ends with a few lines written
// after a barrier that all writers reach; the set holds those many times
// over, and they must all be there, each writer's kept lines one run
// without a gap up to its last.
constexpr int kTailLines = 20;

void ExpectWholeSet(const SetReport& report, const std::vector<std::wstring>& writers,
                    int linesPerWriter = kLinesPerWriter)
{
    EXPECT_TRUE(report.broken.empty()) << "first broken line: " << LogFileTest::Narrow(report.broken.front());
    EXPECT_TRUE(report.gaps.empty()) << LogFileTest::Narrow(report.gaps.front());
    EXPECT_TRUE(report.rotatedEarly.empty()) << LogFileTest::Narrow(report.rotatedEarly.front());
    // The set went round: the oldest lines are gone.
    EXPECT_EQ(static_cast<size_t>(kEntries), report.indices.size());
    EXPECT_LT(report.lines, writers.size() * (linesPerWriter + kTailLines));
    for (const std::wstring& writer : writers)
    {
        const auto run = report.kept.find(writer);
        ASSERT_NE(report.kept.end(), run) << LogFileTest::Narrow(writer);
        EXPECT_LE(run->second.first, linesPerWriter) << LogFileTest::Narrow(writer);
        EXPECT_EQ(linesPerWriter + kTailLines - 1, run->second.second) << LogFileTest::Narrow(writer);
    }
}

std::wstring BarrierName(const wchar_t* test)
{
    return L"Local\\wardline-logfile-" + std::wstring(test) + L"-" + std::to_wstring(::GetCurrentProcessId());
}

} // namespace

TEST(LogFileConcurrency, EightThreadsThroughWriteLogAcrossRotations)
{
    AppLogFolder app(L"WLTest.Threads");
    ASSERT_TRUE(app.WriteIni(SetIni()));
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
                    if (i == kLinesPerWriter && !barrier.ArriveAndWait())
                    {
                        ++failures;
                    }
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
    ExpectWholeSet(ReadSet(app.Folder()), writers);
}

// Two hosts loading the module write one set: the same load split over two
// processes of four threads each. Again with the set's mutex name taken by
// another kind of object: the lock file keeps the lines whole.
TEST(LogFileConcurrency, TwoProcessesWritingOneSet)
{
    for (const bool squatted : {false, true})
    {
        AppLogFolder app(L"WLTest.Processes");
        ASSERT_TRUE(app.WriteIni(SetIni(), L"logfile_child"));
        Norvan::unique_handle squatter(
            squatted ? ::CreateEventW(nullptr, TRUE, FALSE,
                                      ETWLogging::CLogSetMutex::NameFor(app.Folder(L"logfile_child")).c_str())
                     : nullptr);
        SCOPED_TRACE(squatted ? "mutex name squatted" : "mutex usable");

        const std::wstring barrierName = BarrierName(L"processes");
        LogFileTest::WriterBarrier barrier(barrierName);
        std::vector<std::unique_ptr<LogFileTest::ChildProcess>> children;
        for (const wchar_t* tag : {L"A", L"B"})
        {
            children.push_back(LogFileTest::StartChild(L"write " + app.Application() + L" " + tag + L" 4 " +
                                                           std::to_wstring(kLinesPerWriter) + L" " +
                                                           std::to_wstring(kTailLines) + L" " + barrierName,
                                                       tag));
            ASSERT_TRUE(children.back()->Started());
        }
        EXPECT_TRUE(barrier.ReleaseWhenArrived(8));
        for (auto& process : children)
        {
            EXPECT_EQ(0u, process->Wait(LogFileTest::WriterBarrier::kPatienceMs));
        }

        std::vector<std::wstring> writers;
        for (const wchar_t* tag : {L"A", L"B"})
        {
            for (int t = 0; t < 4; ++t)
            {
                writers.push_back(std::wstring(tag) + L" T" + std::to_wstring(t));
            }
        }
        ExpectWholeSet(ReadSet(app.Folder(L"logfile_child")), writers);
    }
}

// Two writers that disagree on one set: one with a larger maximum size (an
// edited "log.ini", or an invalid value that only the first host rewrote),
// or neither able to store "LastLogIdx". Each line still goes to the set's
// current file, so none is cut away by the other's rotation.
TEST(LogFileConcurrency, WritersThatDisagreeShareOneSet)
{
    constexpr int kLines = 2500;
    for (const bool unstorable : {false, true})
    {
        AppLogFolder app(L"WLTest.Disagree");
        ASSERT_TRUE(app.WriteIni(""));
        ASSERT_TRUE(::DeleteFileW(app.Ini().c_str()));
        if (unstorable)
        {
            ASSERT_TRUE(::CreateDirectoryW(app.Ini().c_str(), nullptr));
        }
        CLogging writers[2];
        for (CLogging& writer : writers)
        {
            ASSERT_EQ(0u, writer.Initialize(app.Application().c_str(), ::GetModuleHandleW(nullptr), nullptr,
                                            nullptr));
        }
        writers[1].SetMaxSize(unstorable ? 0x40000 : 0xA00000);

        const std::wstring padding(80, L'x');
        LogFileTest::WriterBarrier barrier(BarrierName(L"disagree"));
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t)
        {
            threads.emplace_back(
                [&, t]
                {
                    for (int i = 0; i < kLines + kTailLines; ++i)
                    {
                        wchar_t line[160];
                        swprintf_s(line, L"D T%d N%05d %s", t, i, padding.c_str());
                        failures += (i == kLines && !barrier.ArriveAndWait()) ? 1 : 0;
                        failures += writers[t].WritePreformatted(L"f", L"fn", 1, 1, line) != 0 ? 1 : 0;
                    }
                });
        }
        EXPECT_TRUE(barrier.ReleaseWhenArrived(2));
        for (std::thread& thread : threads)
        {
            thread.join();
        }
        EXPECT_EQ(0, failures.load()) << unstorable;
        if (unstorable)
        {
            // The reader puts the set in order by "LastLogIdx": the newest file.
            DWORD newest = 0;
            FILETIME newestTime{};
            for (DWORD index = 0; index < static_cast<DWORD>(kEntries); ++index)
            {
                WIN32_FILE_ATTRIBUTE_DATA data{};
                if (::GetFileAttributesExW(app.File(index).c_str(), GetFileExInfoStandard, &data) &&
                    ::CompareFileTime(&data.ftLastWriteTime, &newestTime) > 0)
                {
                    newest = index;
                    newestTime = data.ftLastWriteTime;
                }
            }
            ASSERT_TRUE(::RemoveDirectoryW(app.Ini().c_str()));
            ASSERT_TRUE(app.WriteIni("[Config]\r\nLastLogIdx=" + std::to_string(newest) + "\r\n"));
        }
        SCOPED_TRACE(unstorable ? "LastLogIdx cannot be stored" : "different maximum sizes");
        ExpectWholeSet(ReadSet(app.Folder()), {L"D T0", L"D T1"}, kLines);
    }
}
