#include <gtest/gtest.h>

#include "LogFileSupport.h"
#include "LogReader.h"
#include "support/ScratchFiles.h"

#include <atomic>
#include <thread>

using LogFileTest::WriteBytes;

namespace
{

const std::string kMark = "\xFF\xFE";

std::string Utf16Le(const std::wstring& text)
{
    std::string bytes;
    for (wchar_t c : text)
    {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

std::vector<std::wstring> ReadAll(wlog::Reader reader)
{
    std::vector<std::wstring> lines;
    auto sink = [&](const std::wstring& line) { lines.push_back(line); };
    reader.ReadAll(sink);
    reader.Finish(sink);
    return lines;
}

std::vector<std::wstring> Decode(const std::string& bytes, size_t chunk)
{
    wlog::LineDecoder decoder;
    std::vector<std::wstring> lines;
    for (size_t at = 0; at < bytes.size(); at += chunk)
    {
        decoder.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at,
                     std::min(chunk, bytes.size() - at), lines);
    }
    decoder.Finish(lines);
    return lines;
}

std::wstring Header(const wchar_t* time, const wchar_t* level)
{
    return std::wstring(time) + L"$ -- (" + level + L")$";
}

} // namespace

TEST(LogReader, ReadsTheSetOldestFirstFromLastLogIdx)
{
    WardlineTest::ScratchFolder scratch(L"wlog-order");
    ASSERT_TRUE(scratch.makeFolder(L"Set"));
    const std::wstring folder = scratch / L"Set";
    for (const auto& [name, text] : std::vector<std::pair<const wchar_t*, const wchar_t*>>{
             {L"Set000.log", L"zero"},
             {L"Set001.log", L"one"},
             {L"Set002.log", L"two"},
             {L"Set007.log", L"left from a larger setting"},
             {L"Set_other000.log", L"other set"},
             {L"Set01.log", L"no index"}})
    {
        ASSERT_TRUE(WriteBytes(folder + L"\\" + name, kMark + Utf16Le(std::wstring(text) + L"\r\n")));
    }
    wlog::Reader reader(wlog::LogSet::InFolder(folder + L"\\"));

    // No "log.ini": index 0, three entries.
    EXPECT_EQ((std::vector<std::wstring>{L"left from a larger setting", L"one", L"two", L"zero"}),
              ReadAll(reader));
    ASSERT_TRUE(WriteBytes(folder + L"\\log.ini", "[Config]\r\nLastLogIdx=1\r\nMaxEntries=3\r\n"));
    EXPECT_EQ((std::vector<std::wstring>{L"left from a larger setting", L"two", L"zero", L"one"}),
              ReadAll(reader));
    EXPECT_EQ((std::vector<std::wstring>{L"other set"}),
              ReadAll(wlog::Reader(wlog::LogSet::InFolder(folder, L"other"))));
    EXPECT_EQ((std::vector<std::wstring>{L"two"}), ReadAll(wlog::Reader::ForFile(folder + L"\\Set002.log")));
    std::vector<std::wstring> none;
    EXPECT_FALSE(wlog::Reader(wlog::LogSet::InFolder(scratch.path()))
                     .ReadAll([&](const std::wstring& l) { none.push_back(l); }));
}

TEST(LogReader, DecodesByTheMarkWhereverTheBytesBreak)
{
    const std::wstring text = L"caf\u00e9 \U0001F600\r\nplain\ncontinued";
    const std::vector<std::wstring> lines = {L"caf\u00e9 \U0001F600", L"plain", L"continued"};
    std::string bigEndian = "\xFE\xFF";
    for (wchar_t c : text)
    {
        bigEndian += static_cast<char>(c >> 8);
        bigEndian += static_cast<char>(c & 0xFF);
    }
    const std::string utf8 = "\xEF\xBB\xBF" + wlog::ToUtf8(text);
    for (const std::string& bytes : {kMark + Utf16Le(text), Utf16Le(text), bigEndian, utf8})
    {
        for (size_t chunk : {size_t{1}, size_t{3}, bytes.size()})
        {
            EXPECT_EQ(lines, Decode(bytes, chunk)) << chunk << " " << bytes.size();
        }
    }
}

TEST(LogReader, Utf8OfEveryPlaneAndUnpairedSurrogates)
{
    EXPECT_EQ("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", wlog::ToUtf8(L"a\u00e9\u20ac\U0001F600"));
    EXPECT_EQ("\xEF\xBF\xBDx\xEF\xBF\xBD", wlog::ToUtf8(std::wstring{L'\xD800', L'x', L'\xDC00'}));
}

TEST(LogReader, LevelAndTimeFiltersKeepContinuationsWithTheirLine)
{
    const std::vector<std::wstring> log = {Header(L"12/31/2025 11:59:59 PM", L"Error") + L" old error",
                                           Header(L"01/01/2026 12:00:00 AM", L"Normal") + L" midnight",
                                           Header(L"01/01/2026 12:30:00 PM", L"Information") +
                                               L" from level 6",
                                           L"continuation of level 6",
                                           Header(L"01/01/2026 01:00:00 PM", L"Critical") + L" afternoon",
                                           Header(L"01/02/2026 09:00:00 AM", L"Warning") + L" next day"};
    auto kept = [&](wlog::Filter filter)
    {
        std::vector<size_t> indices;
        for (size_t i = 0; i < log.size(); ++i)
        {
            if (filter.Accept(log[i]))
            {
                indices.push_back(i);
            }
        }
        return indices;
    };

    wlog::Filter levels;
    ASSERT_TRUE(levels.SetLevels(L"error, 5"));
    EXPECT_EQ((std::vector<size_t>{0, 4}), kept(levels));
    ASSERT_TRUE(levels.SetLevels(L"INFORMATION"));
    EXPECT_EQ((std::vector<size_t>{2, 3}), kept(levels));
    ASSERT_TRUE(levels.SetLevels(L"6"));
    EXPECT_EQ((std::vector<size_t>{2, 3}), kept(levels));
    for (const wchar_t* bad : {L"fatal", L"7", L"0", L"", L"error,"})
    {
        EXPECT_FALSE(wlog::Filter().SetLevels(bad)) << LogFileTest::Narrow(bad);
    }

    wlog::Filter window;
    std::uint64_t since = 0, until = 0;
    ASSERT_TRUE(wlog::ParseTime(L"2026-01-01", since));
    ASSERT_TRUE(wlog::ParseTime(L"2026-01-01T13:00:00", until));
    window.SetSince(since);
    window.SetUntil(until);
    EXPECT_EQ((std::vector<size_t>{1, 2, 3, 4}), kept(window));
    ASSERT_TRUE(wlog::ParseTime(L"2026-01-01 12:30", since));
    wlog::Filter afterNoon;
    afterNoon.SetSince(since);
    EXPECT_EQ((std::vector<size_t>{2, 3, 4, 5}), kept(afterNoon));
    for (const wchar_t* bad :
         {L"2026-1-1", L"01/01/2026", L"2026-13-01", L"2026-01-01 24:00", L"2026-01-01 10"})
    {
        EXPECT_FALSE(wlog::ParseTime(bad, since)) << LogFileTest::Narrow(bad);
    }
}

// -f across a "log.ini" read half-rewritten: without its "MaxEntries" the
// set seems to have the default three entries, which must not send the
// reader round to the old files it has printed already.
TEST(LogReader, FollowingDoesNotWrapOnAHalfWrittenIni)
{
    WardlineTest::ScratchFolder scratch(L"wlog-follow-ini");
    ASSERT_TRUE(scratch.makeFolder(L"Set"));
    const std::wstring folder = scratch / L"Set";
    const wchar_t* const texts[] = {L"zero", L"one", L"two", L"three", L"four"};
    for (int i = 0; i < 5; ++i)
    {
        ASSERT_TRUE(WriteBytes(folder + L"\\Set00" + std::to_wstring(i) + L".log",
                               kMark + Utf16Le(std::wstring(texts[i]) + L"\r\n")));
    }
    ASSERT_TRUE(WriteBytes(folder + L"\\log.ini", "[Config]\r\nLastLogIdx=4\r\nMaxEntries=10\r\n"));
    wlog::Reader reader(wlog::LogSet::InFolder(folder));
    std::vector<std::wstring> seen;
    const auto sink = [&](const std::wstring& line) { seen.push_back(line); };
    ASSERT_TRUE(reader.ReadAll(sink));
    ASSERT_EQ(5u, seen.size());

    ASSERT_TRUE(WriteBytes(folder + L"\\Set005.log", kMark + Utf16Le(L"five\r\n")));
    ASSERT_TRUE(WriteBytes(folder + L"\\log.ini", "[Config]\r\nLastLogIdx=5\r\n"));
    seen.clear();
    reader.Poll(sink);
    EXPECT_EQ((std::vector<std::wstring>{L"five"}), seen);
}

// -f: a writer rotating through files while the reader follows; every line
// arrives once, in order.
TEST(LogReader, FollowsNewLinesAcrossRotations)
{
    LogFileTest::AppLogFolder app(L"WLTest.Follow");
    ASSERT_TRUE(app.WriteIni("[Config]\r\nMaxEntries=50\r\n"));
    ETWLogging::CLogging writer;
    ASSERT_EQ(0u,
              writer.Initialize(app.Application().c_str(), ::GetModuleHandleW(nullptr), nullptr, nullptr));
    ASSERT_EQ(0u, writer.WritePreformatted(L"f", L"fn", 1, 1, L"before following"));

    wlog::Reader reader(wlog::LogSet::InFolder(app.Folder()));
    std::vector<std::wstring> seen;
    auto sink = [&](const std::wstring& line) { seen.push_back(line.substr(line.find(L")$ ") + 3)); };
    ASSERT_TRUE(reader.ReadAll(sink));

    constexpr int kLines = 1200; // about 4 KB each: 18 files
    std::atomic<bool> done{false};
    std::thread writing(
        [&]
        {
            for (int i = 0; i < kLines; ++i)
            {
                writer.WritePreformatted(L"f", L"fn", 1, 1,
                                         (std::to_wstring(i) + L" " + std::wstring(2000, L'y')).c_str());
            }
            done = true;
        });
    while (!done)
    {
        reader.Poll(sink);
        ::Sleep(2);
    }
    writing.join();
    reader.Poll(sink);

    ASSERT_EQ(static_cast<size_t>(kLines + 1), seen.size());
    EXPECT_EQ(L"before following", seen[0]);
    for (int i = 0; i < kLines; ++i)
    {
        ASSERT_EQ(std::to_wstring(i) + L" " + std::wstring(2000, L'y'), seen[i + 1]) << i;
    }
    EXPECT_GT(wlog::LogSet::InFolder(app.Folder()).CurrentIndex(), 10u);
}

TEST(LogReader, WlogPrintsUtf8AndReportsWhatItCannotDo)
{
    WardlineTest::ScratchFolder scratch(L"wlog-exe");
    ASSERT_TRUE(scratch.makeFolder(L"Host"));
    ASSERT_TRUE(scratch.makeFolder(L"Empty"));
    const std::wstring set = scratch / L"Host";
    ASSERT_TRUE(WriteBytes(
        set + L"\\Host000.log",
        kMark + Utf16Le(Header(L"05/06/2026 07:08:09 AM", L"Error") + L" caf\u00e9 \U0001F600\r\n" +
                        Header(L"05/06/2026 07:08:10 AM", L"Normal") + L" progress\r\n" +
                        Header(L"05/06/2026 07:08:11 AM", L"Error") + L" second\nline\n")));

    const std::wstring wlogExe = L"\"" + LogFileTest::FromBuildPath(LOGFILE_WLOG_EXE) + L"\" ";
    auto run = [&](const std::wstring& arguments, std::string& output)
    {
        const std::wstring outputFile = scratch / L"out.txt";
        LogFileTest::ChildProcess process(wlogExe + arguments, outputFile);
        const DWORD code = process.Wait(60000);
        const std::vector<BYTE> bytes = LogFileTest::ReadBytes(outputFile);
        output.assign(bytes.begin(), bytes.end());
        return code;
    };

    std::string output;
    EXPECT_EQ(0u, run(L"-l error \"" + set + L"\"", output));
    EXPECT_EQ("05/06/2026 07:08:09 AM$ -- (Error)$ caf\xC3\xA9 \xF0\x9F\x98\x80\n"
              "05/06/2026 07:08:11 AM$ -- (Error)$ second\nline\n",
              output);
    EXPECT_EQ(0u, run(L"-n 1 --until \"2026-05-06 07:08:10\" \"" + set + L"\"", output));
    EXPECT_EQ("05/06/2026 07:08:10 AM$ -- (Normal)$ progress\n", output);
    EXPECT_EQ(1u, run(L"\"" + scratch / L"Empty" + L"\"", output));
    EXPECT_NE(std::string::npos, output.find("no log files")) << output;
    EXPECT_EQ(2u, run(L"--level fatal", output));
    EXPECT_NE(std::string::npos, output.find("usage: wlog")) << output;
}
