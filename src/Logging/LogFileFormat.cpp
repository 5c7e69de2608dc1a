#include "Logging/LogFileFormat.h"

#include <cstdarg>
#include <cwchar>
#include <new>

namespace ETWLogging
{

namespace
{

// Each prefix field is formatted into a buffer of this many characters.
constexpr size_t kFieldChars = 260;

// The C runtime's own wide formatting: "%s" takes a wide string here,
// whatever mingw-w64 does to swprintf in C++.
void AppendFormat(std::wstring& out, const wchar_t* format, ...)
{
    wchar_t field[kFieldChars];
    va_list args;
    va_start(args, format);
    const int written = _vsnwprintf_s(field, kFieldChars, _TRUNCATE, format, args);
    va_end(args);
    out.append(field, written >= 0 ? static_cast<size_t>(written) : wcslen(field));
}

const wchar_t* TextOrEmpty(const wchar_t* text) noexcept
{
    return text != nullptr ? text : L"";
}

const wchar_t* AfterLastBackslash(const wchar_t* path) noexcept
{
    const wchar_t* slash = wcsrchr(path, L'\\');
    return slash != nullptr ? slash + 1 : path;
}

} // namespace

const wchar_t* LogLevelName(DWORD level) noexcept
{
    switch (level)
    {
    case 1:
        return L"Normal";
    case 2:
        return L"Warning";
    case 3:
    case 6:
        return L"Information";
    case 4:
        return L"Error";
    case 5:
        return L"Critical";
    default:
        return nullptr;
    }
}

std::wstring LogFilePath(const std::wstring& folder, const std::wstring& baseName,
                         const std::wstring& logName, DWORD index)
{
    wchar_t number[16];
    _snwprintf_s(number, _countof(number), _TRUNCATE, L"%03lu", index);
    std::wstring path = folder + L"\\" + baseName;
    if (!logName.empty())
    {
        path += L"_" + logName;
    }
    return path + number + L".log";
}

DWORD BuildLogLine(const LogLineParts& parts, std::wstring& line)
{
    const wchar_t* levelName = LogLevelName(parts.level);
    if (levelName == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    const wchar_t* message = TextOrEmpty(parts.message);
    const size_t messageLength = wcslen(message);
    const bool endsWithLineFeed = messageLength > 0 && message[messageLength - 1] == L'\n';
    const wchar_t* processFileName = TextOrEmpty(parts.processFileName);
    try
    {
        // One allocation: the message and every field at its widest.
        line.clear();
        line.reserve(messageLength + 5 * kFieldChars + 30);

        const WORD hour = parts.time.wHour % 12 == 0 ? 12 : parts.time.wHour % 12;
        AppendFormat(line, L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", parts.time.wMonth, parts.time.wDay,
                     parts.time.wYear, hour, parts.time.wMinute, parts.time.wSecond,
                     parts.time.wHour < 12 ? L"AM" : L"PM");
        line += L" -- (";
        line += levelName;
        line += L")$";

        if ((parts.options & kLogOptionProcessName) != 0 && *processFileName != L'\0')
        {
            AppendFormat(line, L" [%15.15s]$", processFileName);
        }
        if ((parts.options & kLogOptionIds) != 0)
        {
            AppendFormat(line, L" [PID:%5lu TID:%5lu]$", parts.processId, parts.threadId);
        }
        if ((parts.options & kLogOptionSource) != 0)
        {
            AppendFormat(line, L" [%20.20s:%5d]$", AfterLastBackslash(TextOrEmpty(parts.file)), parts.line);
        }
        if ((parts.options & kLogOptionFunction) != 0)
        {
            AppendFormat(line, L" [%40.40s()]$", TextOrEmpty(parts.function));
        }
        line += L' ';
        line.append(message, messageLength);
        if (!endsWithLineFeed)
        {
            line += L"\r\n";
        }
        return ERROR_SUCCESS;
    }
    catch (const std::bad_alloc&)
    {
        line.clear();
        return ERROR_OUTOFMEMORY;
    }
}

} // namespace ETWLogging
