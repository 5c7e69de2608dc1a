#pragma once

#include <windows.h>
#include <wmistr.h>
#include <evntrace.h>

#include <atomic>
#include <memory>
#include <string>

#include "Logging/EtwAPI.h"
#include "Logging/LoggingIf.h"
#include "Logging/config/ETWAppProperties.h"
#include "wrappers/Sync.h"

namespace ETWLogging
{

// The event class every message is sent under:
// {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66}.
extern const GUID kEtwEventClass;

// A message is formatted into this many characters: at most one less of
// text, and a cut text keeps its terminating NUL in the event.
constexpr int kEtwMessageChars = 2080;

// Each name in an event (process file, source file, function, module file,
// module version, application) is cut to this many characters, so that six
// of them, the fixed fields and the longest message stay within the 64 KiB a
// session takes for one event: a host's overlong name must not make every
// event too large to be logged.
constexpr std::size_t kEtwNameChars = 4096;

// The header every event goes out with: TraceEvent reads the two MOF fields
// that follow the header through pointers (flag 0x00100000).
struct EtwEvent
{
    EVENT_TRACE_HEADER header;
    MOF_FIELD fields[2];
};
static_assert(sizeof(EtwEvent) == 80, "consumers expect an 80-byte event header");

constexpr ULONG kEtwEventFlags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR; // 0x120000
constexpr UCHAR kEtwEventType = 1;
constexpr USHORT kEtwEventVersion = 2;

// The identity part of an event record, as this writer would send it now.
struct EtwRecordIdentity
{
    DWORD processId = 0;
    DWORD threadId = 0;
    const wchar_t* processFileName = L"";
    const wchar_t* moduleFileName = L"";
    const wchar_t* moduleVersion = L"";
    const wchar_t* applicationName = L"";
};

// Sends every log message as a classic (MOF) ETW event to whichever trace
// session enables the provider. It owns no session: a controller elsewhere
// does. The provider is registered on the first write, and a session's
// enable and disable requests reach ControlCallback on a thread of the
// system's tracing service, which adjusts the writer through its listener.
//
// Writes take no lock and build each event on the caller's stack: a message
// under kEtwMessageChars characters with a record of ordinary size needs no
// heap allocation. The enabled flag, the severity and the session handle are
// atomics, because the control callback changes them while others write.
class CETWLogging : public CLoggingIf_ex
{
public:
    explicit CETWLogging(std::shared_ptr<EtwAPI> api = std::make_shared<EtwAPI>());
    ~CETWLogging() override;

    CETWLogging(const CETWLogging&) = delete;
    CETWLogging& operator=(const CETWLogging&) = delete;

    // --- CLoggingIf ------------------------------------------------------
    DWORD Initialize(const wchar_t* applicationName, HMODULE module, const wchar_t* logName,
                     LoggingConfigListenerIf* listener) override;
    // Registers the provider the first time; only that first result can be
    // a failure, and later writes go ahead (their events are lost).
    DWORD Prepare() override;
    const wchar_t* GetSourceName() override;
    const wchar_t* GetApplicationName() override;
    DWORD Uninitialize() override;
    void SetEnabled(bool enabled) override;
    bool IsEnabled() override;
    DWORD WriteFormatted(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...) override;
    DWORD WritePreformatted(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                            const wchar_t* message) override;
    // Level 3 is always enabled, whatever the severity.
    bool IsLevelEnabled(DWORD level) override;
    DWORD SetMaxEntries(DWORD entries) override;
    DWORD GetMaxEntries() override;
    DWORD SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    // Clamped to 1..6; also the process-wide current severity, whose
    // previous value is returned.
    DWORD SetSeverity(DWORD level) override;
    DWORD GetSeverity() override;
    // The writer lives until the log manager deletes it: no counting.
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

    // --- CLoggingIf_ex ---------------------------------------------------
    // 20001 when already initialised or registered; 87 for an empty name
    // (null is allowed) or when the application properties of the profile
    // cannot be loaded. The writer takes ownership of a given listener; with
    // none it makes a CETWConfigurationListener of its own.
    DWORD InitializeEx(const wchar_t* profileName, const wchar_t* applicationName, HMODULE module,
                       const wchar_t* logName, LoggingConfigListenerIf* listener) override;
    DWORD WritePreformattedEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                              const wchar_t* message) override;
    // 87 for a null format; 0 otherwise, whether or not an event could go out.
    DWORD WriteFormattedEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                           const wchar_t* format, va_list args) override;

    // --- ETW operations --------------------------------------------------
    virtual DWORD WriteFormattedVa(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                   const wchar_t* format, ...);
    virtual bool IsSessionHandle(TRACEHANDLE handle);
    // WMI_ENABLE_EVENTS and WMI_DISABLE_EVENTS; 87 for any other request.
    // One session at a time: another session's requests are ignored while
    // one is attached.
    virtual ULONG ControlCallback(WMIDPREQUESTCODE requestCode, PVOID buffer);
    virtual void SetEventClass();
    // The file name of a module (the executable for null), optionally
    // without what follows its last ".". False when it cannot be had.
    virtual bool GetModuleName(std::wstring& name, HMODULE module, bool stripExtension);
    virtual void ComposeSourceName();
    virtual ULONG UnregisterProvider();
    virtual ULONG Shutdown();
    // 6 is sent as 3; the event header then sends anything outside 1..5 as 3.
    virtual DWORD MapLevel(DWORD level);
    virtual void FillRecord(EtwRecordIdentity& record);

    // The callback registered with the system; the context is the writer.
    static ULONG WINAPI ControlCallbackEntry(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize,
                                             PVOID buffer);

private:
    void SendEvent(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text,
                   int textLength);
    DWORD LogAtLevel(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* format, va_list args);

    std::shared_ptr<EtwAPI> api_;
    std::atomic<bool> registered_{false};
    Norvan::srw_mutex registrationLock_;
    bool initialized_ = false;
    DWORD processId_ = 0;
    GUID eventClass_ = {};
    std::unique_ptr<LoggingConfigListenerIf> listener_;
    std::atomic<bool> enabled_{true};
    std::atomic<DWORD> severity_{3};
    std::wstring applicationName_;
    std::wstring logName_;
    std::wstring processFileName_;
    std::wstring moduleBaseName_;
    std::wstring sourceName_;
    std::wstring loggingModuleFileName_;
    std::wstring loggingModuleVersion_;
    std::atomic<TRACEHANDLE> sessionHandle_{0};
    TRACEHANDLE registrationHandle_ = 0;
    internal::ETWAppProperties properties_;
};

} // namespace ETWLogging
