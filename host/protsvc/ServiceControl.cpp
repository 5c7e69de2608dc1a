#include "protsvc/ServiceControl.h"

#include "Logging/config/RegKey.h"
#include "common/Hex.h"
#include "wrappers/UniqueResource.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cwctype>

namespace ProtSvc
{

namespace
{

constexpr const wchar_t kFailStepValue[] = L"FailStep";
constexpr const wchar_t kFailResultValue[] = L"FailResult";
constexpr const wchar_t kHangStepValue[] = L"HangStep";

constexpr Step kSteps[] = {Step::None, Step::CreateInstance, Step::LaunchObject, Step::CreateObject,
                           Step::TakeAlertAction};

bool sameText(const std::wstring& a, const wchar_t* b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

std::wstring programDataFolder()
{
    Norvan::unique_cotaskmem_string path;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, path.put())) || !path)
    {
        return L"C:\\ProgramData";
    }
    return path.get();
}

// Inside the quotes of a subject: printable ASCII stays, except the quote and
// the backslash; everything else becomes \uXXXX (UTF-16 units, so nothing is
// lost, unpaired surrogates and NULs included).
void appendEscaped(std::string& out, const std::wstring& text)
{
    for (const wchar_t c : text)
    {
        if (c == L'"' || c == L'\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c >= 0x20 && c < 0x7F)
        {
            out += static_cast<char>(c);
        }
        else
        {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
            {
                out += static_cast<char>(Plinth::HexDigitChar(static_cast<unsigned>(c) >> shift));
            }
        }
    }
}

// Reads a quoted subject starting at `at` (the opening quote); leaves `at`
// after the closing quote.
bool readQuoted(const std::string& line, std::size_t& at, std::wstring& text)
{
    if (at >= line.size() || line[at] != '"')
    {
        return false;
    }
    for (++at; at < line.size(); ++at)
    {
        const char c = line[at];
        if (c == '"')
        {
            ++at;
            return true;
        }
        if (c != '\\')
        {
            text += static_cast<wchar_t>(static_cast<unsigned char>(c));
            continue;
        }
        if (++at >= line.size())
        {
            return false;
        }
        if (line[at] == '"' || line[at] == '\\')
        {
            text += static_cast<wchar_t>(line[at]);
            continue;
        }
        if (line[at] != 'u' || at + 4 >= line.size())
        {
            return false;
        }
        unsigned value = 0;
        for (int i = 1; i <= 4; ++i)
        {
            const int digit = Plinth::HexDigitValue(static_cast<wchar_t>(line[at + i]));
            if (digit < 0)
            {
                return false;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        text += static_cast<wchar_t>(value);
        at += 4;
    }
    return false;
}

bool readWord(const std::string& line, std::size_t& at, std::string& word)
{
    while (at < line.size() && line[at] == ' ')
    {
        ++at;
    }
    const std::size_t start = at;
    while (at < line.size() && line[at] != ' ')
    {
        ++at;
    }
    word = line.substr(start, at - start);
    return !word.empty();
}

bool readNumber(const std::string& text, int base, long long& value)
{
    if (text.empty())
    {
        return false;
    }
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, base);
    return end != nullptr && *end == '\0';
}

} // namespace

const wchar_t* stepName(Step step) noexcept
{
    switch (step)
    {
    case Step::CreateInstance:
        return L"CreateInstance";
    case Step::LaunchObject:
        return L"LaunchObject";
    case Step::CreateObject:
        return L"CreateObject";
    case Step::TakeAlertAction:
        return L"TakeAlertAction";
    case Step::None:
        break;
    }
    return L"none";
}

std::optional<Step> parseStep(const std::wstring& text)
{
    for (const Step step : kSteps)
    {
        if (sameText(text, stepName(step)))
        {
            return step;
        }
    }
    return std::nullopt;
}

Failure readFailure()
{
    Failure failure;
    Plinth::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kControlKey, KEY_READ) != ERROR_SUCCESS)
    {
        return failure;
    }
    std::wstring step;
    if (key.ReadString(kFailStepValue, step) == ERROR_SUCCESS)
    {
        // A step the service does not know fails nothing.
        failure.step = parseStep(step).value_or(Step::None);
    }
    DWORD result = 0;
    if (key.ReadDword(kFailResultValue, result) == ERROR_SUCCESS)
    {
        failure.result = static_cast<HRESULT>(result);
    }
    return failure;
}

LONG writeFailure(const Failure& failure)
{
    Norvan::unique_hkey key;
    LONG error = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kControlKey, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                   nullptr, key.put(), nullptr);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    if (failure.step == Step::None)
    {
        ::RegDeleteValueW(key.get(), kFailStepValue);
        ::RegDeleteValueW(key.get(), kFailResultValue);
        return ERROR_SUCCESS;
    }
    const std::wstring step = stepName(failure.step);
    error =
        ::RegSetValueExW(key.get(), kFailStepValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(step.c_str()),
                         static_cast<DWORD>((step.size() + 1) * sizeof(wchar_t)));
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    const DWORD result = static_cast<DWORD>(failure.result);
    return ::RegSetValueExW(key.get(), kFailResultValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&result),
                            sizeof(result));
}

Step readHang()
{
    Plinth::CRegKey key;
    std::wstring step;
    if (key.Open(HKEY_LOCAL_MACHINE, kControlKey, KEY_READ) != ERROR_SUCCESS ||
        key.ReadString(kHangStepValue, step) != ERROR_SUCCESS)
    {
        return Step::None;
    }
    return parseStep(step).value_or(Step::None);
}

LONG writeHang(Step step)
{
    Norvan::unique_hkey key;
    LONG error = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kControlKey, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                   nullptr, key.put(), nullptr);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    if (step == Step::None)
    {
        error = ::RegDeleteValueW(key.get(), kHangStepValue);
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    const std::wstring name = stepName(step);
    return ::RegSetValueExW(key.get(), kHangStepValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                            static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
}

std::wstring recordPath()
{
    return programDataFolder() + L"\\Wardline\\ProtectionManager\\record.txt";
}

std::wstring guidText(const GUID& guid)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

// pid=1234 TakeAlertAction "0F16..._512" action=2 -> 0x00000000
// pid=1234 LaunchObject "{AD6E7ABF-...}" -> 0x80004005 (told to fail)
// pid=1234 CreateObject "{AD4969AA-...}" -> hanging
std::string formatEntry(const Entry& entry)
{
    char number[32];
    std::string line = "pid=";
    std::snprintf(number, sizeof(number), "%lu", static_cast<unsigned long>(entry.processId));
    line += number;
    line += ' ';
    for (const wchar_t* c = stepName(entry.step); *c != L'\0'; ++c)
    {
        line += static_cast<char>(*c);
    }
    line += " \"";
    appendEscaped(line, entry.subject);
    line += '"';
    if (entry.step == Step::TakeAlertAction)
    {
        std::snprintf(number, sizeof(number), " action=%ld", static_cast<long>(entry.action));
        line += number;
    }
    if (entry.hanging)
    {
        return line + " -> hanging";
    }
    std::snprintf(number, sizeof(number), " -> 0x%08lX", static_cast<unsigned long>(entry.result));
    line += number;
    if (entry.toldToFail)
    {
        line += " (told to fail)";
    }
    return line;
}

std::optional<Entry> parseEntry(const std::string& line)
{
    Entry entry;
    std::size_t at = 0;
    std::string word;
    long long number = 0;
    if (!readWord(line, at, word) || word.compare(0, 4, "pid=") != 0 ||
        !readNumber(word.substr(4), 10, number))
    {
        return std::nullopt;
    }
    entry.processId = static_cast<DWORD>(number);

    if (!readWord(line, at, word))
    {
        return std::nullopt;
    }
    const std::optional<Step> step = parseStep(std::wstring(word.begin(), word.end()));
    if (!step || *step == Step::None)
    {
        return std::nullopt;
    }
    entry.step = *step;

    ++at; // the blank before the subject
    if (!readQuoted(line, at, entry.subject) || !readWord(line, at, word))
    {
        return std::nullopt;
    }
    if (word.compare(0, 7, "action=") == 0)
    {
        if (!readNumber(word.substr(7), 10, number) || !readWord(line, at, word))
        {
            return std::nullopt;
        }
        entry.action = static_cast<LONG>(number);
    }
    if (word != "->" || !readWord(line, at, word))
    {
        return std::nullopt;
    }
    if (word == "hanging")
    {
        entry.hanging = true;
        return at == line.size() ? std::optional<Entry>(entry) : std::nullopt;
    }
    if (word.compare(0, 2, "0x") != 0 || !readNumber(word.substr(2), 16, number))
    {
        return std::nullopt;
    }
    entry.result = static_cast<HRESULT>(static_cast<DWORD>(number));
    entry.toldToFail = line.compare(at, std::string::npos, " (told to fail)") == 0;
    if (!entry.toldToFail && at != line.size())
    {
        return std::nullopt;
    }
    return entry;
}

DWORD appendRecord(const Entry& entry)
{
    const std::wstring path = recordPath();
    // The folders may not exist yet in a fresh prefix; an existing one is fine.
    for (std::size_t slash = path.find(L'\\', 3); slash != std::wstring::npos;
         slash = path.find(L'\\', slash + 1))
    {
        ::CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    }
    // Opened per entry for appending, shared with readers and with a clear
    // that deletes the file, so that nobody has to stop the service first.
    Norvan::unique_hfile file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        return ::GetLastError();
    }
    const std::string line = formatEntry(entry) + "\r\n";
    DWORD written = 0;
    if (!::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
    {
        return ::GetLastError();
    }
    return written == line.size() ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

std::vector<Entry> readRecord()
{
    std::vector<Entry> entries;
    Norvan::unique_hfile file(::CreateFileW(recordPath().c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        return entries;
    }
    std::string text;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        text.append(buffer, read);
    }
    std::size_t start = 0;
    while (start < text.size())
    {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
        {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        if (std::optional<Entry> entry = parseEntry(line))
        {
            entries.push_back(std::move(*entry));
        }
        start = end + 1;
    }
    return entries;
}

DWORD clearRecord()
{
    if (::DeleteFileW(recordPath().c_str()))
    {
        return ERROR_SUCCESS;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
}

} // namespace ProtSvc
