#include "Logging/ETWLogging.h"

#include "Logging/Severity.h"
#include "Logging/config/ETWConfigurationListener.h"
#include "wrappers/FileVersionInfo.h"
#include "wrappers/SrwLock.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

namespace ETWLogging
{

// {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66}
const GUID kEtwEventClass = {0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

namespace
{

// What GetTraceLoggerHandle answers when the buffer names no session.
constexpr TRACEHANDLE kInvalidTraceHandle = static_cast<TRACEHANDLE>(-1);
constexpr DWORD kAlwaysEnabledLevel = LevelInformation;
// The Log* operations cut their text here before it is cut again for the event.
constexpr int kLogTextChars = 4160;
// The largest event: header, process and thread ids, line, message length,
// six cut names and the longest message in UTF-8.
static_assert(sizeof(EtwEvent) + 4 + 4 + 4 + 8 + 6 * (2 + kEtwNameChars * sizeof(wchar_t)) +
                      3 * kEtwMessageChars <=
                  0xFFFF,
              "an event must fit what a session takes");

// The record of one event: inline for ordinary names, on the heap beyond.
// A failed allocation marks the record lost rather than throwing out of a
// log call.
class RecordBuffer
{
public:
    RecordBuffer() = default;
    RecordBuffer(const RecordBuffer&) = delete;
    RecordBuffer& operator=(const RecordBuffer&) = delete;

    template <typename T> void AppendValue(T value) noexcept { Append(&value, sizeof(value)); }

    void AppendCounted(const wchar_t* text, std::size_t length) noexcept
    {
        if (text == nullptr)
        {
            length = 0;
        }
        length = std::min(length, kEtwNameChars);
        AppendValue(static_cast<std::uint16_t>(length));
        Append(text, length * sizeof(wchar_t));
    }
    void AppendCounted(const wchar_t* text) noexcept
    {
        AppendCounted(text, text != nullptr ? wcslen(text) : 0);
    }
    void AppendCounted(const std::wstring& text) noexcept { AppendCounted(text.c_str(), text.size()); }

    bool Complete() const noexcept { return !failed_; }
    const BYTE* Data() const noexcept { return data_; }
    std::size_t Size() const noexcept { return size_; }

private:
    void Append(const void* bytes, std::size_t count) noexcept
    {
        if (failed_ || count == 0)
        {
            return;
        }
        if (size_ + count > capacity_ && !Grow(size_ + count))
        {
            failed_ = true;
            return;
        }
        std::memcpy(data_ + size_, bytes, count);
        size_ += count;
    }

    bool Grow(std::size_t needed) noexcept
    {
        const std::size_t capacity = std::max(capacity_ + capacity_ / 2, needed);
        std::unique_ptr<BYTE[]> larger(new (std::nothrow) BYTE[capacity]);
        if (!larger)
        {
            return false;
        }
        std::memcpy(larger.get(), data_, size_);
        heap_ = std::move(larger);
        data_ = heap_.get();
        capacity_ = capacity;
        return true;
    }

    BYTE inline_[256];
    std::unique_ptr<BYTE[]> heap_;
    BYTE* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = sizeof(inline_);
    bool failed_ = false;
};

// The library that holds this code, looked up once per process: its file
// name and file version go into every event.
struct LoggingModuleIdentity
{
    wchar_t fileName[MAX_PATH];
    wchar_t version[64];
};

LoggingModuleIdentity g_loggingModule;
INIT_ONCE g_loggingModuleOnce = INIT_ONCE_STATIC_INIT;

const wchar_t* AfterLastBackslash(const wchar_t* path)
{
    const wchar_t* slash = wcsrchr(path, L'\\');
    return slash != nullptr ? slash + 1 : path;
}

// Old resource scripts write "2, 1, 0, 0"; events carry "2.1.0.0".
void StoreFileVersion(const std::wstring& text, wchar_t* version, std::size_t capacity)
{
    unsigned parts[4] = {};
    if (swscanf(text.c_str(), L"%u,%u,%u,%u", &parts[0], &parts[1], &parts[2], &parts[3]) == 4)
    {
        _snwprintf_s(version, capacity, _TRUNCATE, L"%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
    }
    else
    {
        wcsncpy_s(version, capacity, text.c_str(), _TRUNCATE);
    }
}

BOOL CALLBACK FindLoggingModule(PINIT_ONCE, PVOID, PVOID*)
{
    MEMORY_BASIC_INFORMATION region = {};
    if (VirtualQuery(reinterpret_cast<const void*>(&FindLoggingModule), &region, sizeof(region)) == 0)
    {
        return TRUE;
    }
    HMODULE module = static_cast<HMODULE>(region.AllocationBase);
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length != 0 && length < MAX_PATH)
    {
        wcsncpy_s(g_loggingModule.fileName, AfterLastBackslash(path), _TRUNCATE);
    }
    try
    {
        Plinth::FileVersionInfo info;
        std::wstring version;
        if (length != 0 && length < MAX_PATH && info.Load(path))
        {
            info.GetString(version, L"FileVersion");
        }
        StoreFileVersion(version, g_loggingModule.version, _countof(g_loggingModule.version));
    }
    catch (const std::bad_alloc&)
    {
        // Events go out without a version rather than not at all.
    }
    return TRUE;
}

} // namespace

CETWLogging::CETWLogging(std::shared_ptr<EtwAPI> api) : api_(std::move(api)) {}

CETWLogging::~CETWLogging()
{
    // The registration's callback context is this object: it must not
    // outlive us.
    if (registered_.load())
    {
        Shutdown();
    }
    listener_.reset();
}

DWORD CETWLogging::Initialize(const wchar_t* applicationName, HMODULE module, const wchar_t* logName,
                              LoggingConfigListenerIf* listener)
{
    return InitializeEx(nullptr, applicationName, module, logName, listener);
}

DWORD CETWLogging::InitializeEx(const wchar_t* profileName, const wchar_t* applicationName, HMODULE module,
                                const wchar_t* logName, LoggingConfigListenerIf* listener)
{
    // The listener is ours from here on, whatever the outcome.
    std::unique_ptr<LoggingConfigListenerIf> given(listener);
    if (registered_.load() || initialized_)
    {
        return kErrorAlreadyInitialized;
    }
    if ((applicationName != nullptr && *applicationName == L'\0') ||
        (logName != nullptr && *logName == L'\0'))
    {
        return ERROR_INVALID_PARAMETER;
    }
    try
    {
        applicationName_ = applicationName != nullptr ? applicationName : L"";
        logName_ = logName != nullptr ? logName : L"";
        if (!properties_.Load(profileName))
        {
            return ERROR_INVALID_PARAMETER;
        }
        GetModuleName(processFileName_, nullptr, false);
        GetModuleName(moduleBaseName_, module, true);
        ComposeSourceName();

        listener_.reset();
        if (given)
        {
            if (auto* etwListener = dynamic_cast<CETWConfigurationListener*>(given.get()))
            {
                etwListener->Attach(this);
            }
            listener_ = std::move(given);
        }
        else
        {
            listener_.reset(new CETWConfigurationListener(properties_, this));
        }
        listener_->OnConfigurationChange(true, kAlwaysEnabledLevel, 0);

        processId_ = GetCurrentProcessId();
        InitOnceExecuteOnce(&g_loggingModuleOnce, &FindLoggingModule, nullptr, nullptr);
        loggingModuleFileName_ = g_loggingModule.fileName;
        loggingModuleVersion_ = g_loggingModule.version;
        SetEventClass();
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_OUTOFMEMORY;
    }
    initialized_ = true;
    return ERROR_SUCCESS;
}

DWORD CETWLogging::Prepare()
{
    if (registered_.load())
    {
        return ERROR_SUCCESS;
    }
    if (!initialized_)
    {
        return kErrorNotInitialized;
    }
    Norvan::srw_exclusive_guard lock(registrationLock_);
    if (registered_.load())
    {
        return ERROR_SUCCESS;
    }
    TRACE_GUID_REGISTRATION traceGuid = {&eventClass_, nullptr};
    TRACEHANDLE handle = 0;
    const ULONG result =
        api_->RegisterTraceGuidsW(&CETWLogging::ControlCallbackEntry, this, &properties_.ProviderGuid(), 1,
                                  &traceGuid, nullptr, nullptr, &handle);
    const TRACEHANDLE previous = registrationHandle_;
    registrationHandle_ = result == ERROR_SUCCESS ? handle : 0;
    if (previous != 0 && previous != registrationHandle_)
    {
        api_->UnregisterTraceGuids(previous);
    }
    // A failed registration is reported once; writes then go ahead unheard.
    registered_.store(true);
    return result;
}

const wchar_t* CETWLogging::GetSourceName()
{
    return sourceName_.c_str();
}

const wchar_t* CETWLogging::GetApplicationName()
{
    return applicationName_.c_str();
}

DWORD CETWLogging::Uninitialize()
{
    if (!registered_.load())
    {
        return ERROR_SUCCESS;
    }
    const ULONG result = Shutdown();
    registered_.store(false);
    return result;
}

void CETWLogging::SetEnabled(bool enabled)
{
    enabled_.store(enabled);
}

bool CETWLogging::IsEnabled()
{
    return enabled_.load();
}

DWORD CETWLogging::WriteFormatted(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                  const wchar_t* format, ...)
{
    if (!enabled_.load() || !IsLevelEnabled(level) || format == nullptr || *format == L'\0')
    {
        return ERROR_SUCCESS;
    }
    std::wstring message;
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length > 0)
    {
        try
        {
            message.resize(static_cast<std::size_t>(length));
        }
        catch (const std::bad_alloc&)
        {
            va_end(args);
            return ERROR_OUTOFMEMORY;
        }
        _vsnwprintf(&message[0], message.size() + 1, format, args);
    }
    va_end(args);
    return WritePreformattedEx(level, file, function, line, message.c_str());
}

DWORD CETWLogging::WritePreformatted(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                                     const wchar_t* message)
{
    WritePreformattedEx(level, file, function, line, message);
    return ERROR_SUCCESS;
}

bool CETWLogging::IsLevelEnabled(DWORD level)
{
    return level >= severity_.load(std::memory_order_relaxed) || level == kAlwaysEnabledLevel;
}

DWORD CETWLogging::SetMaxEntries(DWORD)
{
    return 0;
}

DWORD CETWLogging::GetMaxEntries()
{
    return 0;
}

DWORD CETWLogging::SetMaxSize(DWORD)
{
    return 0;
}

DWORD CETWLogging::GetMaxSize()
{
    return 0;
}

DWORD CETWLogging::SetSeverity(DWORD level)
{
    const DWORD clamped = ClampSeverity(level);
    severity_.store(clamped);
    return ExchangeCurrentSeverity(clamped);
}

DWORD CETWLogging::GetSeverity()
{
    return severity_.load();
}

ULONG CETWLogging::AddRef()
{
    return 0;
}

ULONG CETWLogging::Release()
{
    return 0;
}

DWORD CETWLogging::LogAtLevel(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                              const wchar_t* format, va_list args)
{
    if (format == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    wchar_t text[kLogTextChars];
    _vsnwprintf_s(text, kLogTextChars, _TRUNCATE, format, args);
    return WritePreformatted(file, function, line, level, text);
}

#define WL_ETW_LOG_AT(level)                                                                                 \
    va_list args;                                                                                            \
    va_start(args, format);                                                                                  \
    const DWORD result = LogAtLevel((level), file, function, line, format, args);                            \
    va_end(args);                                                                                            \
    return result

DWORD CETWLogging::LogNormal(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                             ...)
{
    WL_ETW_LOG_AT(LevelNormal);
}

DWORD CETWLogging::LogError(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                            ...)
{
    WL_ETW_LOG_AT(LevelError);
}

DWORD CETWLogging::LogWarning(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                              ...)
{
    WL_ETW_LOG_AT(LevelWarning);
}

DWORD CETWLogging::LogCritical(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                               ...)
{
    WL_ETW_LOG_AT(LevelCritical);
}

DWORD CETWLogging::LogInformation(const wchar_t* file, const wchar_t* function, int line,
                                  const wchar_t* format, ...)
{
    WL_ETW_LOG_AT(LevelInformation);
}

#undef WL_ETW_LOG_AT

DWORD CETWLogging::WritePreformattedEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                       const wchar_t* message)
{
    if (message == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    return WriteFormattedVa(level, file, function, line, L"%s", message);
}

DWORD CETWLogging::WriteFormattedVa(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                    const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const DWORD result = WriteFormattedEx(level, file, function, line, format, args);
    va_end(args);
    return result;
}

DWORD CETWLogging::WriteFormattedEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                    const wchar_t* format, va_list args)
{
    if (format == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    if (!enabled_.load(std::memory_order_relaxed) || !IsLevelEnabled(level))
    {
        return ERROR_SUCCESS;
    }
    wchar_t text[kEtwMessageChars];
    int length = _vsnwprintf(text, kEtwMessageChars, format, args);
    if (length < 0 || length >= kEtwMessageChars)
    {
        // The cut text keeps its terminating NUL: readers can tell it was cut.
        text[kEtwMessageChars - 1] = L'\0';
        length = kEtwMessageChars;
    }
    SendEvent(level, file, function, line, text, length);
    return ERROR_SUCCESS;
}

void CETWLogging::SendEvent(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* text, int textLength)
{
    // Three UTF-8 bytes at most for each UTF-16 unit (a surrogate pair
    // makes four from two), so no message needs the heap.
    char utf8[kEtwMessageChars * 3];
    int utf8Length = 0;
    if (textLength > 0)
    {
        utf8Length = WideCharToMultiByte(CP_UTF8, 0, text, textLength, utf8, sizeof(utf8), nullptr, nullptr);
    }
    if (utf8Length <= 0)
    {
        utf8Length = 0;
    }

    RecordBuffer record;
    record.AppendValue(static_cast<std::uint32_t>(processId_));
    record.AppendValue(static_cast<std::uint32_t>(GetCurrentThreadId()));
    record.AppendCounted(processFileName_);
    record.AppendCounted(file);
    record.AppendCounted(function);
    record.AppendValue(static_cast<std::int32_t>(line));
    record.AppendCounted(loggingModuleFileName_);
    record.AppendCounted(loggingModuleVersion_);
    record.AppendCounted(applicationName_);
    record.AppendValue(static_cast<std::uint64_t>(utf8Length));
    if (!record.Complete())
    {
        return;
    }

    DWORD mapped = MapLevel(level);
    if (mapped < LevelNormal || mapped > LevelCritical)
    {
        mapped = LevelInformation;
    }
    EtwEvent event = {};
    event.header.Size = sizeof(EtwEvent);
    event.header.Flags = kEtwEventFlags;
    event.header.Guid = eventClass_;
    event.header.Class.Type = kEtwEventType;
    event.header.Class.Level = static_cast<UCHAR>(mapped);
    event.header.Class.Version = kEtwEventVersion;
    event.fields[0].DataPtr = reinterpret_cast<ULONG64>(record.Data());
    event.fields[0].Length = static_cast<ULONG>(record.Size());
    event.fields[1].DataPtr = reinterpret_cast<ULONG64>(utf8);
    event.fields[1].Length = static_cast<ULONG>(utf8Length);
    // Without a session the event is simply lost; nobody is told.
    api_->TraceEvent(sessionHandle_.load(), &event.header);
}

bool CETWLogging::IsSessionHandle(TRACEHANDLE handle)
{
    return handle == sessionHandle_.load();
}

ULONG WINAPI CETWLogging::ControlCallbackEntry(WMIDPREQUESTCODE requestCode, PVOID context, ULONG*,
                                               PVOID buffer)
{
    if (context == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    return static_cast<CETWLogging*>(context)->ControlCallback(requestCode, buffer);
}

ULONG CETWLogging::ControlCallback(WMIDPREQUESTCODE requestCode, PVOID buffer)
{
    switch (requestCode)
    {
    case WMI_ENABLE_EVENTS:
    {
        const TRACEHANDLE session = api_->GetTraceLoggerHandle(buffer);
        if (session == kInvalidTraceHandle)
        {
            return api_->GetLastError();
        }
        TRACEHANDLE stored = 0;
        if (!sessionHandle_.compare_exchange_strong(stored, session) && stored != session)
        {
            return ERROR_SUCCESS; // another session holds the provider
        }
        if (listener_)
        {
            const UCHAR level = api_->GetTraceEnableLevel(session);
            if (level == 0)
            {
                return api_->GetLastError();
            }
            const ULONG flags = api_->GetTraceEnableFlags(session);
            listener_->OnConfigurationChange(true, level, flags);
        }
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
    {
        const TRACEHANDLE session = api_->GetTraceLoggerHandle(buffer);
        TRACEHANDLE stored = sessionHandle_.load();
        // Its enable was ignored, so is its disable: the attached session
        // still wants the events.
        if (stored != 0 && session != kInvalidTraceHandle && session != stored)
        {
            return ERROR_SUCCESS;
        }
        if (listener_)
        {
            listener_->OnConfigurationChange(false, GetSeverity(), 0);
        }
        if (session != kInvalidTraceHandle)
        {
            sessionHandle_.compare_exchange_strong(stored, 0);
        }
        return ERROR_SUCCESS;
    }
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

void CETWLogging::SetEventClass()
{
    eventClass_ = kEtwEventClass;
}

bool CETWLogging::GetModuleName(std::wstring& name, HMODULE module, bool stripExtension)
{
    name.clear();
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
    {
        return false;
    }
    name = AfterLastBackslash(path);
    if (stripExtension)
    {
        const std::size_t dot = name.rfind(L'.');
        if (dot != std::wstring::npos)
        {
            name.resize(dot);
        }
    }
    return true;
}

void CETWLogging::ComposeSourceName()
{
    sourceName_ = applicationName_;
    if (!moduleBaseName_.empty())
    {
        // Without an application name the module name stands alone: a
        // leading backslash would make a registry subkey nobody can open.
        if (!sourceName_.empty())
        {
            sourceName_ += L'\\';
        }
        sourceName_ += moduleBaseName_;
    }
}

ULONG CETWLogging::UnregisterProvider()
{
    Norvan::srw_exclusive_guard lock(registrationLock_);
    const TRACEHANDLE handle = registrationHandle_;
    registrationHandle_ = 0;
    registered_.store(false);
    return handle != 0 ? api_->UnregisterTraceGuids(handle) : ERROR_SUCCESS;
}

ULONG CETWLogging::Shutdown()
{
    SetEnabled(false);
    return UnregisterProvider();
}

DWORD CETWLogging::MapLevel(DWORD level)
{
    return level == LevelInformation6 ? LevelInformation : level;
}

void CETWLogging::FillRecord(EtwRecordIdentity& record)
{
    record.processId = processId_;
    record.threadId = GetCurrentThreadId();
    record.processFileName = processFileName_.c_str();
    record.moduleFileName = loggingModuleFileName_.c_str();
    record.moduleVersion = loggingModuleVersion_.c_str();
    record.applicationName = applicationName_.c_str();
}

} // namespace ETWLogging
