#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "Logging/LogSetMutex.h"
#include "Logging/LoggingIf.h"
#include "wrappers/UniqueResource.h"

namespace Norvan
{
class PathAPI;
class ShlObjAPI;
} // namespace Norvan

namespace ETWLogging
{

// The log-file writer: UTF-16 lines in a rotating set of files under the
// program-data folder, tuned by two "log.ini" files (see LogFileFormat.h for
// names and the line).
//
// Serialising. Many bus threads log at once, and two hosts may load the
// module and write the same set. Every write holds, in this order, the
// writer's own lock (threads of this process, and the object's fields) and
// the set's named mutex (CLogSetMutex: every process writing that folder)
// while it reads "LastLogIdx", rotates, and appends its line in one write
// call. A writer that cannot get the mutex within 7 s still writes its line
// but appends it to the current file without rotating, so that a stuck
// process can neither silence the others nor make them truncate a file it is
// still using.
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
    static constexpr DWORD kMutexWaitMs = 7000;
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

    DWORD InitializeLocked(const wchar_t* applicationName, HMODULE module, const wchar_t* logName);
    void ReadSettings();
    void ResetLocked() noexcept;
    bool PassFirstWriteCheck();
    DWORD FormatAndWrite(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, va_list args);

    // Rotation; all under both locks.
    DWORD OpenLogFile(bool mayRotate, bool& isNew);
    DWORD CreateLogFile(DWORD index, bool storeIndex, bool& isNew);
    DWORD ReadLastIndex(bool fresh);
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

    // "LastLogIdx" as last read or stored. Appends trust it while the file it
    // names is there and not full; whatever would rotate, and truncate, reads
    // the file again first, so a value gone stale because another process
    // rotated can only send a line to a file that is still in the set.
    struct IndexCache
    {
        bool valid = false;
        DWORD index = 0;
    } m_indexCache;
    // A rotation whose "LastLogIdx" could not be stored (a read-only or
    // broken "log.ini"): this process goes on with the file it rotated to for
    // as long as the stored value stays the one it failed to replace, instead
    // of rotating again, and truncating, at every line.
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
