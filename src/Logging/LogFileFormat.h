#pragma once

#include <windows.h>

#include <string>

// What a rotating log set looks like on disk: where it lives, how its files
// are named, where the rotation state is kept, and how one line reads. The
// writer produces it; the reader tool and the tests depend on it.
namespace ETWLogging
{

// Below the program-data folder.
constexpr const wchar_t* kLogRootRelative = L"\\Korvex\\KVLOGS\\";
constexpr const wchar_t* kLogIniFileName = L"log.ini";
constexpr const wchar_t* kLogIniSection = L"Config";
constexpr const wchar_t* kLogIniLastIndex = L"LastLogIdx";
constexpr const wchar_t* kLogIniEnable = L"Enable";
constexpr const wchar_t* kLogIniMaxSize = L"MaxSize";
constexpr const wchar_t* kLogIniMaxEntries = L"MaxEntries";
constexpr const wchar_t* kLogIniSeverity = L"Severity";
constexpr const wchar_t* kLogIniOptions = L"Options";

// Option bits of a line, in the order their fields appear.
constexpr DWORD kLogOptionDebugger = 0x01;    // no field: the line also goes to the debugger
constexpr DWORD kLogOptionProcessName = 0x10; // "[%15.15s]$"
constexpr DWORD kLogOptionIds = 0x04;         // "[PID:%5lu TID:%5lu]$"
constexpr DWORD kLogOptionSource = 0x08;      // "[%20.20s:%5d]$"
constexpr DWORD kLogOptionFunction = 0x20;    // "[%40.40s()]$"

// The byte-order mark that starts every file (UTF-16 little-endian).
constexpr wchar_t kLogFileBom = 0xFEFF;

// The name printed for levels 1 to 6; null for any other level.
const wchar_t* LogLevelName(DWORD level) noexcept;

// "<folder>\<base>[_<logName>]<index as three digits>.log".
std::wstring LogFilePath(const std::wstring& folder, const std::wstring& baseName,
                         const std::wstring& logName, DWORD index);

// What one line is made of. Null texts count as empty.
struct LogLineParts
{
    SYSTEMTIME time{};
    DWORD level = 0;
    DWORD options = 0;
    const wchar_t* processFileName = nullptr; // empty leaves the 0x10 field out
    DWORD processId = 0;
    DWORD threadId = 0;
    const wchar_t* file = nullptr; // only the part after the last backslash is printed
    int line = 0;
    const wchar_t* function = nullptr;
    const wchar_t* message = nullptr;
};

// Builds one line: timestamp, level name, the option fields, the message and
// a CR LF unless the message already ends in a line feed. 0, 87 for a level
// outside 1 to 6, or 14 when memory runs out.
DWORD BuildLogLine(const LogLineParts& parts, std::wstring& line);

} // namespace ETWLogging
