// wlog: prints a rotating log set of the module as UTF-8 text, oldest line
// first, optionally filtered, and follows it as it grows.

#include "LogReader.h"

#include "Logging/LogFileFormat.h"
#include "wrappers/ShlObjAPI.h"
#include "wrappers/UniqueResource.h"

#include <windows.h>

#include <cstdio>
#include <deque>
#include <string>

namespace
{

constexpr DWORD kPollMs = 250;

const char kUsage[] = "usage: wlog [options] [FOLDER | FILE]\n"
                      "\n"
                      "Prints a log set of the module, oldest line first, as UTF-8.\n"
                      "FOLDER holds the set (NAME000.log, NAME001.log, ... and log.ini, whose\n"
                      "LastLogIdx names the newest file); NAME is the folder's own name. FILE\n"
                      "prints one file. Without either: the module's own folder,\n"
                      "%ProgramData%\\Korvex\\KVLOGS\\Wardline\\Wardline.\n"
                      "\n"
                      "  -f, --follow        keep printing new lines as they are written, across\n"
                      "                      rotations, until interrupted\n"
                      "  -n, --lines N       only the last N lines (before following)\n"
                      "  -l, --level LIST    only these levels: names or numbers, comma separated\n"
                      "                      (normal=1, warning=2, information=3 or 6, error=4,\n"
                      "                      critical=5), e.g. -l error,critical\n"
                      "      --since TIME    only lines at or after TIME\n"
                      "      --until TIME    only lines at or before TIME\n"
                      "                      TIME: YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYY-MM-DD HH:MM:SS,\n"
                      "                      local time as the log prints it\n"
                      "      --name LOGNAME  the set NAME_LOGNAME in FOLDER\n"
                      "  -h, --help          this text\n"
                      "\n"
                      "Lines that continue a message go with its first line through every filter.\n"
                      "Exit status: 0 printed, 1 no log files found, 2 bad arguments.\n";

// The console's code page before ours, put back however wlog ends (-f ends
// with Ctrl+C).
UINT g_consoleCodePage = 0;

BOOL WINAPI RestoreCodePage(DWORD)
{
    if (g_consoleCodePage != 0)
    {
        ::SetConsoleOutputCP(g_consoleCodePage);
    }
    return FALSE;
}

// UTF-8 out, whatever the console's code page; never text-mode translation.
class Output
{
public:
    Output() : handle_(::GetStdHandle(STD_OUTPUT_HANDLE))
    {
        DWORD mode = 0;
        if (::GetConsoleMode(handle_, &mode))
        {
            g_consoleCodePage = ::GetConsoleOutputCP();
            ::SetConsoleCtrlHandler(RestoreCodePage, TRUE);
            ::SetConsoleOutputCP(CP_UTF8);
        }
    }
    ~Output()
    {
        Flush();
        RestoreCodePage(0);
    }
    void Line(const std::wstring& line)
    {
        buffer_ += wlog::ToUtf8(line);
        buffer_ += '\n';
        if (buffer_.size() > 64 * 1024)
        {
            Flush();
        }
    }
    void Flush()
    {
        size_t done = 0;
        while (done < buffer_.size())
        {
            DWORD written = 0;
            if (!::WriteFile(handle_, buffer_.data() + done, static_cast<DWORD>(buffer_.size() - done),
                             &written, nullptr) ||
                written == 0)
            {
                break;
            }
            done += written;
        }
        buffer_.clear();
    }

private:
    HANDLE handle_;
    std::string buffer_;
};

std::wstring DefaultFolder()
{
    PWSTR path = nullptr;
    const HRESULT hr = Norvan::ShlObjAPI().getKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &path);
    Norvan::unique_cotaskmem_string owner(path);
    if (FAILED(hr) || path == nullptr)
    {
        return std::wstring();
    }
    return std::wstring(path) + ETWLogging::kLogRootRelative + L"Wardline\\Wardline";
}

int Usage(const char* problem)
{
    std::fprintf(stderr, "wlog: %s\n\n%s", problem, kUsage);
    return 2;
}

bool ParseCount(const wchar_t* text, size_t& count)
{
    wchar_t* end = nullptr;
    const unsigned long long value = wcstoull(text, &end, 10);
    if (end == text || *end != L'\0' || text[0] == L'-')
    {
        return false;
    }
    count = static_cast<size_t>(value);
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    bool follow = false;
    bool tail = false;
    size_t lines = 0;
    wlog::Filter filter;
    std::wstring path;
    std::wstring logName;

    for (int i = 1; i < argc; ++i)
    {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"-h" || arg == L"--help")
        {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == L"-f" || arg == L"--follow")
        {
            follow = true;
        }
        else if (arg == L"-n" || arg == L"--lines")
        {
            if (!hasValue || !ParseCount(argv[++i], lines))
            {
                return Usage("-n needs a number of lines");
            }
            tail = true;
        }
        else if (arg == L"-l" || arg == L"--level")
        {
            if (!hasValue || !filter.SetLevels(argv[++i]))
            {
                return Usage("-l needs level names or numbers 1 to 6, comma separated");
            }
        }
        else if (arg == L"--since" || arg == L"--until")
        {
            std::uint64_t time = 0;
            if (!hasValue || !wlog::ParseTime(argv[++i], time))
            {
                return Usage("--since and --until need YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYY-MM-DD HH:MM:SS");
            }
            arg == L"--since" ? filter.SetSince(time) : filter.SetUntil(time);
        }
        else if (arg == L"--name")
        {
            if (!hasValue)
            {
                return Usage("--name needs the set's log name");
            }
            logName = argv[++i];
        }
        else if (!arg.empty() && arg[0] == L'-')
        {
            return Usage("unknown option");
        }
        else if (path.empty())
        {
            path = arg;
        }
        else
        {
            return Usage("one folder or file only");
        }
    }
    if (path.empty())
    {
        path = DefaultFolder();
    }

    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    const bool isFile = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    wlog::Reader reader =
        isFile ? wlog::Reader::ForFile(path) : wlog::Reader(wlog::LogSet::InFolder(path, logName));

    Output out;
    std::deque<std::wstring> last;
    const bool found = reader.ReadAll(
        [&](const std::wstring& line)
        {
            if (!filter.Accept(line))
            {
                return;
            }
            if (!tail)
            {
                out.Line(line);
                return;
            }
            last.push_back(line);
            if (last.size() > lines)
            {
                last.pop_front();
            }
        });
    if (!follow)
    {
        reader.Finish(
            [&](const std::wstring& line)
            {
                if (filter.Accept(line))
                {
                    tail ? last.push_back(line) : out.Line(line);
                    if (tail && last.size() > lines)
                    {
                        last.pop_front();
                    }
                }
            });
    }
    for (const std::wstring& line : last)
    {
        out.Line(line);
    }
    out.Flush();
    if (!found && !follow)
    {
        std::fprintf(stderr, "wlog: no log files in %ls\n", path.c_str());
        return 1;
    }

    if (!found)
    {
        std::fprintf(stderr, "wlog: no log files in %ls yet; waiting for them\n", path.c_str());
    }
    if (!follow)
    {
        return 0;
    }
    // Until the user stops it.
    for (;;)
    {
        ::Sleep(kPollMs);
        reader.Poll(
            [&](const std::wstring& line)
            {
                if (filter.Accept(line))
                {
                    out.Line(line);
                }
            });
        out.Flush();
    }
}
