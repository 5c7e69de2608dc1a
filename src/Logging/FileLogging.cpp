#include "Logging/FileLogging.h"

#include <shlobj.h>

#include "common/Path.h"
#include "Logging/LogFileFormat.h"
#include "Logging/Severity.h"
#include "Logging/config/IniReader.h"
#include "wrappers/PathAPI.h"
#include "wrappers/ShlObjAPI.h"
#include "wrappers/SrwLock.h"

#include <cstdarg>
#include <cwchar>
#include <new>
#include <utility>
#include <vector>

namespace ETWLogging
{

namespace
{

// Longest path the system hands out, with its NUL.
constexpr DWORD kLongestPath = 32768;

std::wstring WithoutExtension(const std::wstring& fileName)
{
    const size_t dot = fileName.rfind(L'.');
    return dot == std::wstring::npos ? fileName : fileName.substr(0, dot);
}

// Application and log names become folder and file names: anything that
// would lead out of the log folder, or is no file name at all, is refused.
bool IsPlainName(const wchar_t* name)
{
    // Windows drops a trailing dot or space from a folder name: "App." would
    // write into the folder of "App" under another lock name, and the two
    // writers' lines would interleave and be lost in rotation.
    const std::size_t length = wcslen(name);
    if (length == 0 || name[length - 1] == L'.' || name[length - 1] == L' ')
    {
        return false;
    }
    for (const wchar_t* c = name; *c != L'\0'; ++c)
    {
        if (*c < 0x20 || wcschr(L"\\/:*?\"<>|", *c) != nullptr)
        {
            return false;
        }
    }
    return true;
}

// A folder or a read-only file in the place of a log file is never written:
// the set moves past it instead of losing every line from then on.
bool IsUnusable(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0;
}

bool ValidMaxSize(DWORD value)
{
    return value >= CLogging::kLowestMaxSize && value <= CLogging::kHighestMaxSize;
}
bool ValidMaxEntries(DWORD value)
{
    return value >= CLogging::kLowestMaxEntries && value <= CLogging::kHighestMaxEntries;
}
bool ValidSeverity(DWORD value)
{
    return value < 7;
}
bool AnyValue(DWORD)
{
    return true;
}

enum class Lookup
{
    Taken,
    Absent,
    Rewritten,  // invalid, and the default is in the file now
    Unwritable, // invalid, and the default could not be written
};

// A value that is there but no number ("abc", "-1") is as invalid as one out
// of range: both are replaced by the default.
Lookup LookUp(Plinth::CObfuscatedIniReader& ini, bool loaded, const wchar_t* key, bool (*valid)(DWORD),
              DWORD fallback, DWORD& value)
{
    if (!loaded)
    {
        return Lookup::Absent;
    }
    DWORD read = 0;
    if (ini.ReadDword(kLogIniSection, key, read))
    {
        if (valid(read))
        {
            value = read;
            return Lookup::Taken;
        }
    }
    else
    {
        std::wstring text;
        if (!ini.ReadString(kLogIniSection, key, text))
        {
            return Lookup::Absent;
        }
    }
    return ini.WriteDword(kLogIniSection, key, fallback) ? Lookup::Rewritten : Lookup::Unwritable;
}

} // namespace

CLogging::CLogging(std::shared_ptr<Norvan::PathAPI> paths, std::shared_ptr<Norvan::ShlObjAPI> shell)
    : m_paths(paths ? std::move(paths) : std::make_shared<Norvan::PathAPI>()),
      m_shell(shell ? std::move(shell) : std::make_shared<Norvan::ShlObjAPI>())
{
}

// No lock here: the owner destroys the writer when nobody else can reach it,
// and at process exit a thread killed inside a write may still hold it.
CLogging::~CLogging() = default;

DWORD CLogging::Initialize(const wchar_t* applicationName, HMODULE module, const wchar_t* logName,
                           LoggingConfigListenerIf*)
{
    Norvan::srw_exclusive_guard guard(m_lock);
    if (m_initialized)
    {
        return kErrorAlreadyInitialized;
    }
    DWORD result = ERROR_SUCCESS;
    try
    {
        result = InitializeLocked(applicationName, module, logName);
    }
    catch (const std::bad_alloc&)
    {
        result = ERROR_OUTOFMEMORY;
    }
    if (result != ERROR_SUCCESS)
    {
        ResetLocked();
    }
    return result;
}

DWORD CLogging::InitializeLocked(const wchar_t* applicationName, HMODULE module, const wchar_t* logName)
{
    if ((applicationName != nullptr && (*applicationName == L'\0' || !IsPlainName(applicationName))) ||
        (logName != nullptr && (*logName == L'\0' || !IsPlainName(logName))))
    {
        return ERROR_INVALID_PARAMETER;
    }
    m_applicationName = applicationName != nullptr ? applicationName : L"";

    const std::wstring executable = Norvan::internal::moduleFileName(nullptr);
    const size_t slash = executable.rfind(L'\\');
    if (slash == std::wstring::npos)
    {
        return ERROR_OUTOFMEMORY;
    }
    m_processFileName = executable.substr(slash + 1);
    m_logBaseName = WithoutExtension(m_processFileName);
    if (module != nullptr)
    {
        const std::wstring modulePath = Norvan::internal::moduleFileName(module);
        const size_t moduleSlash = modulePath.rfind(L'\\');
        if (moduleSlash != std::wstring::npos)
        {
            m_processFileName.clear();
            m_logBaseName = WithoutExtension(modulePath.substr(moduleSlash + 1));
        }
    }
    m_logName = logName != nullptr ? logName : L"";

    std::vector<wchar_t> root(kLongestPath);
    if (GetLogRoot(root.data(), kLongestPath) != ERROR_SUCCESS || m_logBaseName.empty())
    {
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring rootFolder = std::wstring(root.data()) + kLogRootRelative;
    m_logFolder = rootFolder + (m_applicationName.empty() ? L"" : m_applicationName + L"\\") + m_logBaseName;
    m_applicationIniPath = m_logFolder + L"\\" + kLogIniFileName;
    m_globalIniPath = rootFolder + kLogIniFileName;

    // Settings are rewritten under the set's mutex, like "LastLogIdx".
    m_mutex.Open(m_logFolder);
    {
        CLogSetHold hold(m_mutex, kMutexWaitMs);
        ReadSettings();
    }
    m_processId = ::GetCurrentProcessId();
    m_initialized = true;
    return ERROR_SUCCESS;
}

void CLogging::ReadSettings()
{
    const bool haveApplication = m_paths->fileExists(m_applicationIniPath);
    const bool haveGlobal = m_paths->fileExists(m_globalIniPath);
    if (!haveApplication && !haveGlobal)
    {
        return;
    }
    Plinth::CObfuscatedIniReader application;
    Plinth::CObfuscatedIniReader global;
    const bool applicationLoaded = haveApplication && application.Load(m_applicationIniPath.c_str());
    const bool globalLoaded = haveGlobal && global.Load(m_globalIniPath.c_str());

    // The application file first; an invalid value there is rewritten and the
    // global file asked next. False leaves the setting as it is: its default
    // could not be written back.
    const std::pair<Plinth::CObfuscatedIniReader*, bool> files[] = {{&application, applicationLoaded},
                                                                    {&global, globalLoaded}};
    auto resolve = [&](const wchar_t* key, bool (*valid)(DWORD), DWORD fallback, DWORD& value)
    {
        for (const auto& [ini, loaded] : files)
        {
            switch (LookUp(*ini, loaded, key, valid, fallback, value))
            {
            case Lookup::Taken:
                return true;
            case Lookup::Unwritable:
                return false;
            default:
                break;
            }
        }
        value = fallback;
        return true;
    };

    DWORD value = 0;
    if (resolve(kLogIniEnable, AnyValue, 1, value))
    {
        m_enabled = value != 0;
    }
    if (resolve(kLogIniMaxSize, ValidMaxSize, kDefaultMaxSize, value))
    {
        SetMaxSize(value);
    }
    if (resolve(kLogIniMaxEntries, ValidMaxEntries, kDefaultMaxEntries, value))
    {
        SetMaxEntries(value);
    }
    if (resolve(kLogIniSeverity, ValidSeverity, kDefaultSeverity, value))
    {
        m_severity = value;
    }
    if (resolve(kLogIniOptions, AnyValue, kDefaultOptions, value))
    {
        m_options = value;
    }
}

void CLogging::ResetLocked() noexcept
{
    m_initialized = false;
    m_applicationName.clear();
    m_logBaseName.clear();
    m_processFileName.clear();
    m_processId = 0;
    m_logName.clear();
    m_logFolder.clear();
    m_file.reset();
    m_mutex.Close();
    m_maxSize = kDefaultMaxSize;
    m_maxEntries = kDefaultMaxEntries;
    m_severity = kDefaultSeverity;
    m_options = kDefaultOptions;
    m_globalIniPath.clear();
    m_applicationIniPath.clear();
    m_enabled = true;
    m_firstWrite = FirstWrite::Pending;
    m_indexCache = IndexCache();
    m_unsavedIndex = UnsavedIndex();
}

DWORD CLogging::Prepare()
{
    return m_initialized ? ERROR_SUCCESS : kErrorNotInitialized;
}

DWORD CLogging::Uninitialize()
{
    Norvan::srw_exclusive_guard guard(m_lock);
    if (!m_initialized)
    {
        return kErrorNotInitialized;
    }
    ResetLocked();
    return ERROR_SUCCESS;
}

void CLogging::SetEnabled(bool enabled)
{
    m_enabled = enabled;
}

bool CLogging::IsEnabled()
{
    return m_enabled;
}

bool CLogging::IsLevelEnabled(DWORD level)
{
    return level >= m_severity;
}

DWORD CLogging::SetMaxEntries(DWORD entries)
{
    m_maxEntries = entries < kLowestMaxEntries
                       ? kLowestMaxEntries
                       : (entries > kHighestMaxEntries ? kHighestMaxEntries : entries);
    return ERROR_SUCCESS;
}

DWORD CLogging::GetMaxEntries()
{
    return m_maxEntries;
}

DWORD CLogging::SetMaxSize(DWORD bytes)
{
    m_maxSize = bytes < kLowestMaxSize ? kLowestMaxSize : (bytes > kHighestMaxSize ? kHighestMaxSize : bytes);
    return ERROR_SUCCESS;
}

DWORD CLogging::GetMaxSize()
{
    return m_maxSize;
}

DWORD CLogging::SetSeverity(DWORD level)
{
    const DWORD severity = ClampSeverity(level);
    m_severity = severity;
    return ExchangeCurrentSeverity(severity);
}

DWORD CLogging::GetSeverity()
{
    return m_severity;
}

ULONG CLogging::AddRef()
{
    return ++m_refCount;
}

ULONG CLogging::Release()
{
    const ULONG count = --m_refCount;
    if (count == 0)
    {
        delete this;
    }
    return count;
}

DWORD CLogging::FormatAndWrite(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* format, va_list args)
{
    if (format == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    // Longer text is cut to kFormatChars - 1 characters.
    wchar_t message[kFormatChars];
    _vsnwprintf_s(message, kFormatChars, _TRUNCATE, format, args);
    return WritePreformatted(file, function, line, level, message);
}

DWORD CLogging::WriteFormatted(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* format, ...)
{
    if (!m_enabled || level < m_severity)
    {
        return ERROR_SUCCESS;
    }
    va_list args;
    va_start(args, format);
    const DWORD result = FormatAndWrite(level, file, function, line, format, args);
    va_end(args);
    return result;
}

#define WARDLINE_FILE_LOG_HELPER(name, level)                                                                \
    DWORD CLogging::name(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) \
    {                                                                                                        \
        va_list args;                                                                                        \
        va_start(args, format);                                                                              \
        const DWORD result = FormatAndWrite(level, file, function, line, format, args);                      \
        va_end(args);                                                                                        \
        return result;                                                                                       \
    }

WARDLINE_FILE_LOG_HELPER(LogNormal, LevelNormal)
WARDLINE_FILE_LOG_HELPER(LogError, LevelError)
WARDLINE_FILE_LOG_HELPER(LogWarning, LevelWarning)
WARDLINE_FILE_LOG_HELPER(LogCritical, LevelCritical)
WARDLINE_FILE_LOG_HELPER(LogInformation, LevelInformation)

#undef WARDLINE_FILE_LOG_HELPER

DWORD CLogging::WritePreformatted(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                                  const wchar_t* message)
{
    Norvan::srw_exclusive_guard guard(m_lock);
    // Before Initialize there is no folder to check: a write then must not
    // turn the writer off for good.
    if (!m_initialized)
    {
        return kErrorNotInitialized;
    }
    CLogSetHold hold(m_mutex, kMutexWaitMs);
    // Memory running out anywhere below (paths, the settings file, the line)
    // loses this one line, reported as such: a log call never throws.
    try
    {
        if (!PassFirstWriteCheck() || message == nullptr || *message == L'\0')
        {
            return ERROR_INVALID_PARAMETER;
        }

        LogLineParts parts;
        ::GetLocalTime(&parts.time);
        parts.level = level;
        parts.options = m_options;
        parts.processFileName = m_processFileName.c_str();
        parts.processId = m_processId;
        parts.threadId = ::GetCurrentThreadId();
        parts.file = file;
        parts.line = line;
        parts.function = function;
        parts.message = message;
        // Built before the file is touched: an invalid level creates no file and
        // moves no rotation.
        std::wstring text;
        DWORD result = BuildLogLine(parts, text);
        if (result != ERROR_SUCCESS)
        {
            return result;
        }

        bool isNew = false;
        result = OpenLogFile(hold.Exclusive(), isNew);
        if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS)
        {
            return result;
        }
        result = WriteLine(text, isNew);
        m_file.reset();
        return result;
    }
    catch (const std::bad_alloc&)
    {
        m_file.reset();
        return ERROR_OUTOFMEMORY;
    }
}

DWORD CLogging::WriteLine(const std::wstring& line, bool isNew)
{
    const wchar_t* data = line.data();
    std::wstring withMark;
    if (isNew)
    {
        try
        {
            withMark.reserve(line.size() + 1);
            withMark += kLogFileBom;
            withMark += line;
        }
        catch (const std::bad_alloc&)
        {
            return ERROR_OUTOFMEMORY;
        }
        data = withMark.data();
    }
    const DWORD bytes = static_cast<DWORD>((isNew ? withMark.size() : line.size()) * sizeof(wchar_t));
    DWORD written = 0;
    const BOOL ok = ::WriteFile(m_file.get(), data, bytes, &written, nullptr);
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    if ((m_options & kLogOptionDebugger) != 0 && !line.empty())
    {
        ::OutputDebugStringW(line.c_str());
    }
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    return written == bytes ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

bool CLogging::PassFirstWriteCheck()
{
    if (m_firstWrite == FirstWrite::Pending)
    {
        DWORD error = ERROR_SUCCESS;
        if (m_paths->createDirectory(m_logFolder.c_str(), error))
        {
            m_firstWrite = FirstWrite::Passed;
        }
        else
        {
            m_firstWrite = FirstWrite::Failed;
            m_enabled = false;
            m_severity = kDisabledSeverity;
        }
    }
    return m_firstWrite == FirstWrite::Passed;
}

DWORD CLogging::OpenLogFile(bool mayRotate, bool& isNew)
{
    if (m_logFolder.empty() || m_logBaseName.empty())
    {
        return ERROR_INVALID_PARAMETER;
    }
    if (m_file)
    {
        return ERROR_ALREADY_EXISTS;
    }
    DWORD index = ReadLastIndex(false);
    for (bool fresh = false;; fresh = true)
    {
        const DWORD entries = m_maxEntries;
        if (index < entries || !mayRotate)
        {
            const std::wstring path = PathOf(index < entries ? index : 0);
            WIN32_FILE_ATTRIBUTE_DATA data{};
            const bool exists = ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != FALSE;
            const ULONGLONG size =
                exists ? (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow : 0;
            // A folder, or a file someone marked read-only to keep it, is
            // passed by (Wine run as root would even let us write the latter).
            const bool unusable =
                exists && (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0;
            if (!mayRotate || (!unusable && size < m_maxSize))
            {
                // Created here when missing, as a new file of the set.
                m_file.reset(m_paths->createFile(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, nullptr));
                if (!m_file && ::GetLastError() == ERROR_PATH_NOT_FOUND)
                {
                    // Someone removed the folder since the first write.
                    DWORD ignored = 0;
                    m_paths->createDirectory(m_logFolder.c_str(), ignored);
                    m_file.reset(m_paths->createFile(
                        path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, nullptr));
                }
                if (!m_file)
                {
                    return ::GetLastError();
                }
                isNew = size == 0;
                return ERROR_SUCCESS;
            }
        }
        // Truncating a file is decided on what "LastLogIdx" says now, never on
        // the remembered value: another process may have rotated meanwhile.
        if (!fresh)
        {
            const DWORD current = ReadLastIndex(true);
            if (current != index)
            {
                index = current;
                continue;
            }
        }
        return CreateLogFile(index < entries ? NextIndex(index) : 0, true, isNew);
    }
}

DWORD CLogging::CreateLogFile(DWORD index, bool storeIndex, bool& isNew)
{
    const DWORD entries = m_maxEntries;
    for (DWORD tries = 0; tries < entries; ++tries)
    {
        const std::wstring path = PathOf(index);
        if (!IsUnusable(path))
        {
            m_file.reset(m_paths->createFile(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, nullptr));
            if (!m_file)
            {
                return ::GetLastError();
            }
            isNew = true;
            if (storeIndex)
            {
                StoreLastIndex(index);
            }
            return ERROR_SUCCESS;
        }
        index = NextIndex(index);
    }
    return ERROR_ACCESS_DENIED;
}

DWORD CLogging::NextIndex(DWORD index) const
{
    return index + 1 >= m_maxEntries ? 0 : index + 1;
}

DWORD CLogging::ReadLastIndex(bool fresh)
{
    DWORD stored = 0;
    if (!fresh && m_indexCache.valid)
    {
        stored = m_indexCache.index;
    }
    else
    {
        Plinth::CObfuscatedIniReader ini;
        DWORD value = 0;
        if (ini.Load(m_applicationIniPath.c_str()) && ini.ReadDword(kLogIniSection, kLogIniLastIndex, value))
        {
            stored = value;
        }
        m_indexCache = IndexCache{true, stored};
    }

    if (m_unsavedIndex.active)
    {
        if (stored == m_unsavedIndex.stored)
        {
            return m_unsavedIndex.index;
        }
        m_unsavedIndex.active = false;
    }
    return stored;
}

void CLogging::StoreLastIndex(DWORD index)
{
    wchar_t text[16];
    _ultow_s(index, text, 10);
    // Plain text: people and the reader tool look at it; the settings
    // reader takes plain and scrambled values alike.
    if (::WritePrivateProfileStringW(kLogIniSection, kLogIniLastIndex, text, m_applicationIniPath.c_str()))
    {
        m_unsavedIndex.active = false;
        m_indexCache = IndexCache{true, index};
        return;
    }
    const DWORD stored = m_unsavedIndex.active ? m_unsavedIndex.stored : ReadLastIndex(true);
    m_unsavedIndex = UnsavedIndex{true, stored, index};
}

DWORD CLogging::GetLogRoot(wchar_t* buffer, DWORD capacity)
{
    if (buffer == nullptr || capacity == 0)
    {
        return ERROR_INVALID_PARAMETER;
    }
    PWSTR path = nullptr;
    const HRESULT hr = m_shell->getKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &path);
    Norvan::unique_cotaskmem_string owner(path);
    if (FAILED(hr) || path == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    const size_t length = wcslen(path);
    if (length + 1 > capacity)
    {
        return ERROR_INVALID_PARAMETER;
    }
    wmemcpy(buffer, path, length + 1);
    return ERROR_SUCCESS;
}

std::wstring CLogging::LogFolder() const
{
    Norvan::srw_shared_guard guard(m_lock);
    return m_logFolder;
}

std::wstring CLogging::LogFilePathFor(DWORD index) const
{
    Norvan::srw_shared_guard guard(m_lock);
    return PathOf(index);
}

std::wstring CLogging::PathOf(DWORD index) const
{
    return LogFilePath(m_logFolder, m_logBaseName, m_logName, index);
}

std::wstring CLogging::ApplicationIniPath() const
{
    Norvan::srw_shared_guard guard(m_lock);
    return m_applicationIniPath;
}

std::wstring CLogging::GlobalIniPath() const
{
    Norvan::srw_shared_guard guard(m_lock);
    return m_globalIniPath;
}

} // namespace ETWLogging
