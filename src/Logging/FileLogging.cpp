#include "Logging/FileLogging.h"

#include <shlobj.h>

#include "common/Path.h"
#include "Logging/LogFileFormat.h"
#include "Logging/LogManager.h"
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

// A file's last-write time counts as settled this long after it: a later
// rewrite cannot share it. File times are coarse (a few milliseconds on the
// Linux file systems under Wine).
constexpr ULONGLONG kSettledAfter = 250 * 10000ull; // 250 ms in FILETIME units

ULONGLONG Ticks(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// While the set is held by another, lines still go to the current file,
// unrotated, up to this many times its maximum size.
constexpr ULONGLONG kUnlockedGrowth = 2;

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
    Invalid,    // and the default is in the file now, or will be written by the repair
    Unwritable, // invalid, and the default could not be written
};

// A value that is there but no number ("abc", "-1") is as invalid as one out
// of range: both are replaced by the default, when `repair` allows writing.
Lookup LookUp(Plinth::CObfuscatedIniReader& ini, bool loaded, bool repair, const wchar_t* key,
              bool (*valid)(DWORD), DWORD fallback, DWORD& value)
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
    if (!repair)
    {
        return Lookup::Invalid;
    }
    return ini.WriteDword(kLogIniSection, key, fallback) ? Lookup::Invalid : Lookup::Unwritable;
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
    m_logRoot = rootFolder;

    // Nothing here waits for the set: this runs in the library's entry
    // point, under the loader lock.
    m_mutex.Open(m_logFolder);
    ReadSettings(false);
    m_processId = ::GetCurrentProcessId();
    m_initialized = true;
    return ERROR_SUCCESS;
}

void CLogging::ReadSettings(bool repair)
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
    // could not be written back. A file that is a link is not written.
    const struct
    {
        Plinth::CObfuscatedIniReader* ini;
        bool loaded;
        bool repair;
    } files[] = {{&application, applicationLoaded, repair && IsPlainFileOrMissing(m_applicationIniPath)},
                 {&global, globalLoaded, repair && IsPlainFileOrMissing(m_globalIniPath)}};
    auto resolve = [&](const wchar_t* key, bool (*valid)(DWORD), DWORD fallback, DWORD& value)
    {
        for (const auto& file : files)
        {
            switch (LookUp(*file.ini, file.loaded, file.repair, key, valid, fallback, value))
            {
            case Lookup::Taken:
                return true;
            case Lookup::Unwritable:
                return false;
            case Lookup::Invalid:
                m_repairPending = m_repairPending || !repair;
                break;
            default:
                break;
            }
        }
        value = fallback;
        return true;
    };

    DWORD value = 0;
    const bool apply = !repair;
    if (resolve(kLogIniEnable, AnyValue, 1, value) && apply)
    {
        m_enabled = value != 0;
    }
    if (resolve(kLogIniMaxSize, ValidMaxSize, kDefaultMaxSize, value) && apply)
    {
        SetMaxSize(value);
    }
    if (resolve(kLogIniMaxEntries, ValidMaxEntries, kDefaultMaxEntries, value) && apply)
    {
        SetMaxEntries(value);
    }
    if (resolve(kLogIniSeverity, ValidSeverity, kDefaultSeverity, value) && apply)
    {
        m_severity = value;
    }
    if (resolve(kLogIniOptions, AnyValue, kDefaultOptions, value) && apply)
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
    m_logRoot.clear();
    m_repairPending = false;
    m_lockProblemReported = false;
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
    CEntryPointAwareHold guard(m_lock);
    if (!guard.Owns())
    {
        return ERROR_BUSY;
    }
    // Before Initialize there is no folder to check: a write then must not
    // turn the writer off for good.
    if (!m_initialized)
    {
        return kErrorNotInitialized;
    }
    // Memory running out anywhere below (paths, the settings file, the line)
    // loses this one line, reported as such: a log call never throws.
    try
    {
        if (!PassFirstWriteCheck() || message == nullptr || *message == L'\0')
        {
            return ERROR_INVALID_PARAMETER;
        }
        // Built before the file is touched: an invalid level creates no file and
        // moves no rotation.
        std::wstring text;
        DWORD result = BuildLine(level, file, function, line, message, text);
        if (result != ERROR_SUCCESS)
        {
            return result;
        }

        CLogSetHold hold(m_mutex, InEntryPoint() ? CLogSetMutex::Wait::None : CLogSetMutex::Wait::Bounded);
        if (hold.Exclusive() && m_repairPending)
        {
            m_repairPending = false;
            ReadSettings(true);
        }
        if (!m_lockProblemReported && !m_mutex.Problem().empty())
        {
            text.insert(0, LockProblemReport());
        }
        bool isNew = false;
        result = OpenLogFile(hold.Exclusive(), isNew);
        if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS)
        {
            return result;
        }
        result = WriteLine(text, isNew);
        m_file.reset();
        m_lockProblemReported =
            m_lockProblemReported || (result == ERROR_SUCCESS && !m_mutex.Problem().empty());
        return result;
    }
    catch (const std::bad_alloc&)
    {
        m_file.reset();
        return ERROR_OUTOFMEMORY;
    }
}

DWORD CLogging::BuildLine(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* message, std::wstring& text) const
{
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
    return BuildLogLine(parts, text);
}

// Once per writer, in front of the first line it writes.
std::wstring CLogging::LockProblemReport() const
{
    const std::wstring text = L"The log set's mutex " + m_mutex.Name() + L" cannot be used: " + m_mutex.Problem() +
                              L". Its writers take turns through " + m_mutex.LockFile() + L" instead.";
    std::wstring report;
    if (BuildLine(LevelWarning, L"Logging\\internal_logging", L"ETWLogging::CLogging::WritePreformatted",
                  __LINE__, text.c_str(), report) != ERROR_SUCCESS)
    {
        report.clear();
    }
    return report;
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
        if (!CreateSetFolder())
        {
            m_firstWrite = FirstWrite::Failed;
            m_enabled = false;
            m_severity = kDisabledSeverity;
            return false;
        }
        const std::wstring unsafe = UnsafeFolderReason();
        if (!unsafe.empty())
        {
            RefuseSet(unsafe);
            return false;
        }
        m_firstWrite = FirstWrite::Passed;
    }
    return m_firstWrite == FirstWrite::Passed;
}

// The folders above the set are shared by every application's sets; the
// set's own folder is private to the accounts that may write it.
bool CLogging::CreateSetFolder()
{
    DWORD error = ERROR_SUCCESS;
    const std::wstring parent = m_logFolder.substr(0, m_logFolder.rfind(L'\\'));
    Norvan::unique_hlocal shared = LogSetSecurity::DescriptorFor(LogSetSecurity::Made::SharedFolder);
    SECURITY_ATTRIBUTES sharedAttributes{sizeof(sharedAttributes), shared.get(), FALSE};
    Norvan::unique_hlocal own = LogSetSecurity::DescriptorFor(LogSetSecurity::Made::SetFolder);
    SECURITY_ATTRIBUTES ownAttributes{sizeof(ownAttributes), own.get(), FALSE};
    return m_paths->createDirectory(parent.c_str(), error, shared ? &sharedAttributes : nullptr) &&
           m_paths->createDirectory(m_logFolder.c_str(), error, own ? &ownAttributes : nullptr);
}

// Empty when every folder from the program-data folder down to the set is a
// folder itself, not a link to one, and those below the log root belong to
// an account the writer trusts; otherwise why not. A folder owned by another
// account could be renamed away and replaced by a link at any time.
std::wstring CLogging::UnsafeFolderReason()
{
    const size_t rootLength = m_logRoot.size() - 1;
    const size_t programDataLength = rootLength - wcslen(kLogRootRelative) + 1;
    for (size_t end = m_logFolder.size(); end != std::wstring::npos && end > programDataLength;
         end = m_logFolder.rfind(L'\\', end - 1))
    {
        const std::wstring folder = m_logFolder.substr(0, end);
        Norvan::unique_hfile handle(
            ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        Norvan::PathAPI::FileShape shape;
        if (!handle || !m_paths->handleShape(handle.get(), shape))
        {
            return folder + L" cannot be examined (error " + std::to_wstring(::GetLastError()) + L")";
        }
        if ((shape.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            (shape.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        {
            return folder + L" is a link or no folder";
        }
        if (end > rootLength)
        {
            std::vector<BYTE> owner;
            const DWORD error = m_paths->handleOwner(handle.get(), owner);
            if (error != ERROR_SUCCESS)
            {
                return folder + L"'s owner cannot be read (error " + std::to_wstring(error) + L")";
            }
            if (!LogSetSecurity::IsTrustedOwner(owner.data()))
            {
                return folder + L" belongs to another account";
            }
        }
    }
    return std::wstring();
}

void CLogging::RefuseSet(const std::wstring& reason)
{
    m_firstWrite = FirstWrite::Failed;
    m_enabled = false;
    m_severity = kDisabledSeverity;
    const std::wstring report =
        L"Log set " + m_logFolder + L" refused: " + reason + L". Its lines are lost.\n";
    ::OutputDebugStringW(report.c_str());
}

CLogging::FileState CLogging::StateOf(const std::wstring& path)
{
    FileState state;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    {
        state.exists = true;
        state.attributes = data.dwFileAttributes;
        state.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        state.written = data.ftLastWriteTime;
    }
    return state;
}

// A folder, or a file someone marked read-only, hidden or system to keep it,
// is passed by (Wine run as root would even let us write the read-only one).
bool CLogging::IsUsable(DWORD attributes)
{
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                          FILE_ATTRIBUTE_SYSTEM)) == 0;
}

DWORD CLogging::OpenLogFile(bool locked, bool& isNew)
{
    if (m_logFolder.empty() || m_logBaseName.empty())
    {
        return ERROR_INVALID_PARAMETER;
    }
    if (m_file)
    {
        return ERROR_ALREADY_EXISTS;
    }
    DWORD index = m_unsavedIndex.active ? FollowNewerFiles(ReadLastIndex(false)) : ReadLastIndex(false);
    bool checked = false;
    bool fresh = false;
    for (;;)
    {
        if (index >= m_maxEntries)
        {
            if (!locked)
            {
                return ERROR_BUSY;
            }
            const FileState first = StateOf(PathOf(0));
            return first.exists && !IsUsable(first.attributes) ? Rotate(0, isNew) : CreateLogFile(0, isNew);
        }
        // Created here when missing, as a new file of the set; without the
        // set's lock another writer may be rotating, so then only an
        // existing file that has its mark is appended to.
        const std::wstring path = PathOf(index);
        Norvan::PathAPI::FileShape shape;
        const DWORD opened = OpenInSet(path, GENERIC_READ | FILE_APPEND_DATA,
                                       locked ? OPEN_ALWAYS : OPEN_EXISTING, locked, shape);
        if (m_firstWrite == FirstWrite::Failed)
        {
            return opened;
        }
        const bool usable = opened == ERROR_SUCCESS && IsUsable(shape.attributes);
        if (opened != ERROR_SUCCESS)
        {
            // A folder or a read-only file in its place is not opened for
            // appending, and is passed by; anything else loses this line.
            const FileState state = StateOf(path);
            if (!state.exists || IsUsable(state.attributes))
            {
                return locked ? opened : ERROR_BUSY;
            }
        }
        // Another writer rotates away from a file only once it is full by
        // that writer's maximum, and no maximum is below kLowestMaxSize:
        // until then the remembered "LastLogIdx" needs no second look.
        if (!checked && (!usable || shape.size >= kLowestMaxSize))
        {
            checked = true;
            const DWORD current = CurrentIndex();
            if (current != index)
            {
                m_file.reset();
                index = current;
                continue;
            }
        }
        if (usable && shape.size < m_maxSize)
        {
            isNew = shape.size == 0;
            if (locked && isNew && !StateOf(m_applicationIniPath).exists)
            {
                // The set's first file: "LastLogIdx" is written with it, so
                // that the look at it above is at a file that is there (a
                // missing one costs Wine a search of the folder).
                StoreLastIndex(index);
            }
            if (locked || !isNew)
            {
                return ERROR_SUCCESS;
            }
        }
        if (!locked)
        {
            if (usable && shape.size >= sizeof(wchar_t) && shape.size < kUnlockedGrowth * m_maxSize)
            {
                return ERROR_SUCCESS;
            }
            m_file.reset();
            return ERROR_BUSY;
        }
        m_file.reset();
        // Truncating a file is decided on what "LastLogIdx" says now, never on
        // the remembered value: another process may have rotated meanwhile.
        if (!fresh)
        {
            fresh = true;
            const DWORD now = ReadLastIndex(true);
            if (now != index)
            {
                index = now;
                continue;
            }
        }
        return Rotate(index, isNew);
    }
}

DWORD CLogging::Rotate(DWORD index, bool& isNew)
{
    FileState current = StateOf(PathOf(index));
    DWORD next = NextIndex(index);
    for (DWORD tries = 0; tries < m_maxEntries; ++tries, next = NextIndex(next))
    {
        const FileState candidate = StateOf(PathOf(next));
        if (candidate.exists && !IsUsable(candidate.attributes))
        {
            continue;
        }
        // The next file is not the oldest one when it was written after the
        // current one: a writer that could not store "LastLogIdx" rotated to
        // it. It is the current file now, and cutting it would lose that
        // writer's lines.
        if (candidate.exists && candidate.size > 0 &&
            ::CompareFileTime(&candidate.written, &current.written) >= 0)
        {
            StoreLastIndex(next);
            if (candidate.size < m_maxSize)
            {
                Norvan::PathAPI::FileShape shape;
                return OpenInSet(PathOf(next), GENERIC_READ | FILE_APPEND_DATA, OPEN_EXISTING, true, shape);
            }
            current = candidate;
            continue;
        }
        return CreateLogFile(next, isNew);
    }
    return ERROR_ACCESS_DENIED;
}

// A new file of the set, or an old one cut to nothing. Opened first and cut
// only once the handle has proved to be a plain file: CREATE_ALWAYS would
// cut whatever a link pointed at before anything could be checked.
DWORD CLogging::CreateLogFile(DWORD index, bool& isNew)
{
    Norvan::PathAPI::FileShape shape;
    const DWORD result = OpenInSet(PathOf(index), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, true, shape);
    if (result != ERROR_SUCCESS)
    {
        return result;
    }
    if (shape.size != 0 && !::SetEndOfFile(m_file.get()))
    {
        const DWORD error = ::GetLastError();
        m_file.reset();
        return error;
    }
    isNew = true;
    StoreLastIndex(index);
    return ERROR_SUCCESS;
}

// Opens a file of the set as itself and keeps it in m_file, with what it
// is, unless it is a link or one of several names of a file: then the set is
// refused.
DWORD CLogging::OpenInSet(const std::wstring& path, DWORD access, DWORD disposition, bool locked,
                          Norvan::PathAPI::FileShape& shape)
{
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_OPEN_REPARSE_POINT;
    m_file.reset(m_paths->createFile(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     disposition, flags, nullptr));
    if (!m_file && ::GetLastError() == ERROR_PATH_NOT_FOUND && locked)
    {
        // Someone removed the folder since the first write; what is made
        // again is checked again.
        if (!CreateSetFolder())
        {
            return ERROR_PATH_NOT_FOUND;
        }
        const std::wstring unsafe = UnsafeFolderReason();
        if (!unsafe.empty())
        {
            RefuseSet(unsafe);
            return ERROR_ACCESS_DENIED;
        }
        m_file.reset(m_paths->createFile(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         disposition, flags, nullptr));
    }
    if (!m_file)
    {
        return ::GetLastError();
    }
    if (!m_paths->handleShape(m_file.get(), shape))
    {
        const DWORD error = ::GetLastError();
        m_file.reset();
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_FUNCTION;
    }
    if ((shape.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        ((shape.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && shape.links != 1))
    {
        m_file.reset();
        RefuseSet(path + L" is a link, or one of several names of a file");
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

// "log.ini" is written through its name by the profile functions: never
// when that name is a link, or one of several names of a file.
bool CLogging::IsPlainFileOrMissing(const std::wstring& path)
{
    Norvan::unique_hfile file(::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
    {
        return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    Norvan::PathAPI::FileShape shape;
    return m_paths->handleShape(file.get(), shape) &&
           (shape.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
           shape.links == 1;
}

DWORD CLogging::NextIndex(DWORD index) const
{
    return index + 1 >= m_maxEntries ? 0 : index + 1;
}

DWORD CLogging::CurrentIndex()
{
    const FileState stamp = StateOf(m_applicationIniPath);
    const FileState& cached = m_indexCache.stamp;
    const bool same = m_indexCache.valid && m_indexCache.settled && stamp.exists == cached.exists &&
                      Ticks(stamp.written) == Ticks(cached.written) && stamp.size == cached.size;
    DWORD index = ReadLastIndex(!same);
    if (!same)
    {
        FILETIME now{};
        ::GetSystemTimeAsFileTime(&now);
        m_indexCache.stamp = stamp;
        m_indexCache.settled = !stamp.exists || Ticks(now) > Ticks(stamp.written) + kSettledAfter;
    }
    return m_unsavedIndex.active ? FollowNewerFiles(index) : index;
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
        m_indexCache.valid = true;
        m_indexCache.index = stored;
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

// Without a stored index every writer that rotated keeps its own; the newest
// file of the set is the one they all write.
DWORD CLogging::FollowNewerFiles(DWORD index)
{
    const DWORD entries = m_maxEntries;
    if (index >= entries)
    {
        return index;
    }
    FileState current = StateOf(PathOf(index));
    for (DWORD hops = 0; hops + 1 < entries; ++hops)
    {
        const DWORD next = NextIndex(index);
        const FileState candidate = StateOf(PathOf(next));
        if (!candidate.exists || candidate.size == 0 || !IsUsable(candidate.attributes) ||
            ::CompareFileTime(&candidate.written, &current.written) < 0)
        {
            break;
        }
        index = next;
        current = candidate;
    }
    m_unsavedIndex.index = index;
    return index;
}

void CLogging::StoreLastIndex(DWORD index)
{
    wchar_t text[16];
    _ultow_s(index, text, 10);
    // Plain text: people and the reader tool look at it; the settings
    // reader takes plain and scrambled values alike.
    if (IsPlainFileOrMissing(m_applicationIniPath) &&
        ::WritePrivateProfileStringW(kLogIniSection, kLogIniLastIndex, text, m_applicationIniPath.c_str()))
    {
        m_unsavedIndex.active = false;
        // Its time is too young to trust: the next line reads it again.
        m_indexCache.valid = true;
        m_indexCache.settled = false;
        m_indexCache.index = index;
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
