#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "Logging/LogSetMutex.h"
#include "Logging/LoggingIf.h"
#include "wrappers/PathAPI.h"
#include "wrappers/UniqueResource.h"

namespace Norvan
{
class ShlObjAPI;
} // namespace Norvan

namespace ETWLogging
{

// The log-file writer: UTF-16 lines in a rotating set of files under the
// program-data folder, tuned by two "log.ini" files (see LogFileFormat.h for
// names and the line).
//
// Serialising. Many bus threads log at once, and several hosts may load the
// module and write the same set. Every write holds the writer's own lock
// (threads of this process, and the object's fields) and, when it can have
// it, the set's lock (CLogSetMutex: every process writing that folder) while
// it reads "LastLogIdx", rotates, and appends its line in one write call.
// Nothing but SYSTEM, the administrators and the set's own account can take
// the set's lock; still, a wait for it that times out is not repeated: until
// the set is seen free again each write only looks, and a write without the
// set appends to the current file if it is there and never rotates, creates
// or truncates one.
//
// Links. A standard user can create folders and links where the writer
// looks. Files are opened as themselves (FILE_FLAG_OPEN_REPARSE_POINT) and
// written only when the open handle is a plain file with one name; the
// folders down to the set must be plain folders, those below the log root
// owned by SYSTEM, the administrators or this process's account. A set that
// fails is refused for the writer's life, with the reason on the debugger
// output, and its lines are lost.
class CLogging : public CLoggingIf
{
public:
    static constexpr DWORD kDefaultMaxSize = 0x40000;
    static constexpr DWORD kLowestMaxSize = 0x40000;
    static constexpr DWORD kHighestMaxSize = 0xA00000;
    static constexpr DWORD kDefaultMaxEntries = 3;
    static constexpr DWORD kLowestMaxEntries = 2;
    static constexpr DWORD kHighestMaxEntries = 100;
    static constexpr DWORD kDefaultSeverity = 3;
    static constexpr DWORD kDefaultOptions = 0x10;
    // After a failed first write nothing is enabled any more.
    static constexpr DWORD kDisabledSeverity = 10000;
    static constexpr DWORD kMutexWaitMs = CLogSetMutex::kWaitMs;
    // WriteFormatted and the Log* helpers format into this many characters.
    static constexpr size_t kFormatChars = 4160;

    // Empty wrappers are replaced by the real ones.
    explicit CLogging(std::shared_ptr<Norvan::PathAPI> paths = nullptr,
                      std::shared_ptr<Norvan::ShlObjAPI> shell = nullptr);
    ~CLogging() override;
    CLogging(const CLogging&) = delete;
    CLogging& operator=(const CLogging&) = delete;

    DWORD Initialize(const wchar_t* applicationName, HMODULE module, const wchar_t* logName,
                     LoggingConfigListenerIf* listener) override;
    DWORD Prepare() override;
    const wchar_t* GetSourceName() override { return nullptr; }
    const wchar_t* GetApplicationName() override { return nullptr; }
    DWORD Uninitialize() override;
    void SetEnabled(bool enabled) override;
    bool IsEnabled() override;
    DWORD WriteFormatted(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...) override;
    DWORD WritePreformatted(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                            const wchar_t* message) override;
    bool IsLevelEnabled(DWORD level) override;
    DWORD SetMaxEntries(DWORD entries) override;
    DWORD GetMaxEntries() override;
    DWORD SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    // Returns the process-wide severity it replaces.
    DWORD SetSeverity(DWORD level) override;
    DWORD GetSeverity() override;
    ULONG AddRef() override;
    ULONG Release() override;
    DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                    ...) override;
    DWORD LogError(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                   ...) override;
    DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                     ...) override;
    DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                      ...) override;
    DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                         ...) override;

    // The program-data folder, created if missing: 0, or 87 when it cannot be
    // had or does not fit in capacity characters (with its NUL).
    virtual DWORD GetLogRoot(wchar_t* buffer, DWORD capacity);

    // Where this writer puts things (empty before Initialize).
    std::wstring LogFolder() const;
    std::wstring LogFilePathFor(DWORD index) const;
    std::wstring ApplicationIniPath() const;
    std::wstring GlobalIniPath() const;
    DWORD GetOptions() const noexcept { return m_options.load(); }

private:
    enum class FirstWrite
    {
        Pending,
        Passed,
        Failed,
    };

    // A file of the set as GetFileAttributesExW sees it.
    struct FileState
    {
        bool exists = false;
        DWORD attributes = 0;
        ULONGLONG size = 0;
        FILETIME written{};
    };

    DWORD InitializeLocked(const wchar_t* applicationName, HMODULE module, const wchar_t* logName);
    // Applies the settings, or (repair) writes the defaults over invalid
    // values, which takes the set's lock.
    void ReadSettings(bool repair);
    void ResetLocked() noexcept;
    bool PassFirstWriteCheck();
    bool CreateSetFolder();
    std::wstring UnsafeFolderReason();
    void RefuseSet(const std::wstring& reason);
    DWORD FormatAndWrite(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, va_list args);
    DWORD BuildLine(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* message, std::wstring& text) const;
    std::wstring LockProblemReport() const;

    // Rotation, under the writer's lock; `locked` when the set's is held too.
    DWORD OpenLogFile(bool locked, bool& isNew);
    DWORD Rotate(DWORD index, bool& isNew);
    DWORD CreateLogFile(DWORD index, bool& isNew);
    DWORD OpenInSet(const std::wstring& path, DWORD access, DWORD disposition, bool locked,
                    Norvan::PathAPI::FileShape& shape);
    static FileState StateOf(const std::wstring& path);
    static bool IsUsable(DWORD attributes);
    bool IsPlainFileOrMissing(const std::wstring& path);
    DWORD CurrentIndex();
    DWORD ReadLastIndex(bool fresh);
    DWORD FollowNewerFiles(DWORD index);
    void StoreLastIndex(DWORD index);
    DWORD NextIndex(DWORD index) const;
    std::wstring PathOf(DWORD index) const;
    DWORD WriteLine(const std::wstring& line, bool isNew);

    // Fields in the order the writer has always had them.
    std::atomic<bool> m_initialized{false};
    std::wstring m_applicationName; // empty: none
    std::wstring m_logBaseName;
    std::wstring m_processFileName; // empty when a module was given
    DWORD m_processId = 0;
    std::wstring m_logName; // empty: none
    std::wstring m_logFolder;
    Norvan::unique_hfile m_file;
    std::atomic<ULONG> m_refCount{0};
    CLogSetMutex m_mutex;
    std::atomic<DWORD> m_maxSize{kDefaultMaxSize};
    std::atomic<DWORD> m_maxEntries{kDefaultMaxEntries};
    std::atomic<DWORD> m_severity{kDefaultSeverity};
    std::atomic<DWORD> m_options{kDefaultOptions};
    std::wstring m_globalIniPath;
    std::wstring m_applicationIniPath;
    std::atomic<bool> m_enabled{true};
    FirstWrite m_firstWrite = FirstWrite::Pending;

    // The root log folder ("...\KVLOGS\"): the folders below it must belong
    // to a trusted account.
    std::wstring m_logRoot;
    // Initialize reads the settings without the set's lock (it may run in
    // the loader's entry point); invalid values are written over by the
    // first write that holds the set.
    bool m_repairPending = false;
    bool m_lockProblemReported = false;

    // "LastLogIdx" as last read or stored, trusted while "log.ini" keeps the
    // last-write time and size it had when it was read, and that time was
    // already settled then (file times are coarse: a rewrite within the same
    // tick keeps the time). Another process's rotation, or a writer with
    // other settings, so sends the next line to the set's current file.
    struct IndexCache
    {
        bool valid = false;
        bool settled = false;
        DWORD index = 0;
        FileState stamp; // of "log.ini"
    } m_indexCache;
    // A rotation whose "LastLogIdx" could not be stored (a read-only or
    // broken "log.ini"): this process goes on with the file it rotated to for
    // as long as the stored value stays the one it failed to replace, and
    // follows any newer file of the set, which another such process rotated
    // to.
    struct UnsavedIndex
    {
        bool active = false;
        DWORD stored = 0;
        DWORD index = 0;
    } m_unsavedIndex;

    std::shared_ptr<Norvan::PathAPI> m_paths;
    std::shared_ptr<Norvan::ShlObjAPI> m_shell;
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
};

} // namespace ETWLogging
