// Rate of lines written through the module's WriteLog to the log-file writer,
// against a bare loop that opens the same kind of file for appending, writes
// the very same bytes and closes it again, line by line. Both run in one
// process, interleaved round by round, on the program-data folder of the
// prefix; each figure is the median of its rounds.
//
// Prints one parseable line:
//   BENCH file_write_lines_per_s value=<lines/s> baseline=<lines/s> ratio=<r> target=>=0.5 holds=<yes|no>

#include "Logging/FileLogging.h"
#include "Logging/Log.h"
#include "Logging/LogManager.h"
#include "wrappers/PathAPI.h"
#include "wrappers/UniqueResource.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
constexpr const wchar_t* kApplication = L"WLBench.FileWrite";

std::wstring ApplicationFolder()
{
    PWSTR path = nullptr;
    ::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &path);
    Norvan::unique_cotaskmem_string owner(path);
    return std::wstring(path != nullptr ? path : L"C:\\ProgramData") + L"\\Korvex\\KVLOGS\\" + kApplication;
}

std::vector<char> ReadFileBytes(const std::wstring& path)
{
    std::vector<char> bytes;
    Norvan::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size))
    {
        return bytes;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    bytes.resize(got);
    return bytes;
}

// The lines of a log file as the bytes that were written for each (the
// first one carries the byte-order mark, as the writer wrote it).
std::vector<std::string> SplitLines(const std::vector<char>& bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    {
        if (bytes[i] == '\n' && bytes[i + 1] == '\0')
        {
            lines.emplace_back(bytes.data() + start, i + 2 - start);
            start = i + 2;
        }
    }
    return lines;
}

double LinesPerSecond(Clock::duration elapsed, size_t lines)
{
    return static_cast<double>(lines) / std::chrono::duration<double>(elapsed).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    constexpr int kLines = 2000;
    constexpr int kRounds = 7;
    constexpr double kTarget = 0.5;

    const std::wstring folder = ApplicationFolder();
    Norvan::PathAPI paths;
    paths.removeDirectory(folder);

    auto* writer = new ETWLogging::CLogging();
    if (writer->Initialize(kApplication, ::GetModuleHandleW(nullptr), nullptr, nullptr) != 0)
    {
        std::printf("bench_file_write: the writer did not initialise\n");
        return 1;
    }
    // The largest file size: no rotation within a round.
    writer->SetMaxSize(0xA00000);
    writer->SetSeverity(1);
    delete ETWLogging::CLogManager::ReplaceImplementationForTest(writer);
    const std::wstring setFolder = writer->LogFolder();
    const std::wstring logFile = writer->LogFilePathFor(0);
    const std::wstring bareFile = setFolder + L"\\bare.log";
    const std::wstring padding(60, L'x');

    std::vector<double> written;
    std::vector<double> bare;
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round)
    {
        ::DeleteFileW(logFile.c_str());
        auto start = Clock::now();
        for (int i = 0; i < kLines; ++i)
        {
            WL_LOG(ETWLogging::LevelNormal, L"bench\\logfile\\FileWriteBench", L"bench::main",
                   L"line %05d %s", i, padding.c_str());
        }
        const double writerRate = LinesPerSecond(Clock::now() - start, kLines);

        const std::vector<std::string> lines = SplitLines(ReadFileBytes(logFile));
        if (lines.size() != static_cast<size_t>(kLines))
        {
            std::printf("bench_file_write: %zu lines in the log file, %d written\n", lines.size(), kLines);
            return 1;
        }
        ::DeleteFileW(bareFile.c_str());
        start = Clock::now();
        for (const std::string& line : lines)
        {
            Norvan::unique_hfile file(::CreateFileW(bareFile.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                                    FILE_ATTRIBUTE_NORMAL, nullptr));
            DWORD done = 0;
            ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
        }
        const double bareRate = LinesPerSecond(Clock::now() - start, lines.size());
        written.push_back(writerRate);
        bare.push_back(bareRate);
        ratios.push_back(writerRate / bareRate);
    }
    paths.removeDirectory(folder);

    const double value = Median(written);
    const double base = Median(bare);
    const double ratio = Median(ratios);
    std::printf("file write: %.0f lines/s through WriteLog, %.0f lines/s bare open-append-close "
                "(medians of %d rounds of %d lines)\n",
                value, base, kRounds, kLines);
    std::printf("BENCH file_write_lines_per_s value=%.0f baseline=%.0f ratio=%.2f target=>=%.1f holds=%s\n",
                value, base, ratio, kTarget, ratio >= kTarget ? "yes" : "no");
    return 0;
}
