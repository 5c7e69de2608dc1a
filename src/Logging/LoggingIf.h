#pragma once

#include <windows.h>

#include <cstdarg>

namespace ETWLogging
{

// Log levels of the log manager. The file writer prints the name, the ETW
// writer sends the number.
enum LogLevel : DWORD
{
    LevelNormal = 1,      // "Normal": progress and success
    LevelWarning = 2,     // "Warning": recoverable failures
    LevelInformation = 3, // "Information": details of an action
    LevelError = 4,       // "Error"
    LevelCritical = 5,    // "Critical"
    LevelInformation6 = 6 // printed as "Information" too
};

// Results of the logging code are Windows error numbers, plus these two.
constexpr DWORD kErrorAlreadyInitialized = 20001;
constexpr DWORD kErrorNotInitialized = 20002;

class LoggingConfigListenerIf;

// One implementation of the logging interface is owned by the log manager:
// the log-file writer or the ETW event writer. The order of the operations is
// the order of the interface's virtual slots.
class CLoggingIf
{
public:
    virtual ~CLoggingIf() = default;

    virtual DWORD Initialize(const wchar_t* applicationName, HMODULE module, const wchar_t* logName,
                             LoggingConfigListenerIf* listener) = 0;
    // Readiness check before each write; non-zero is handed back to the writer.
    virtual DWORD Prepare() = 0;
    virtual const wchar_t* GetSourceName() = 0;
    virtual const wchar_t* GetApplicationName() = 0;
    virtual DWORD Uninitialize() = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool IsEnabled() = 0;
    virtual DWORD WriteFormatted(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                 const wchar_t* format, ...) = 0;
    virtual DWORD WritePreformatted(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                                    const wchar_t* message) = 0;
    virtual bool IsLevelEnabled(DWORD level) = 0;
    virtual DWORD SetMaxEntries(DWORD entries) = 0;
    virtual DWORD GetMaxEntries() = 0;
    virtual DWORD SetMaxSize(DWORD bytes) = 0;
    virtual DWORD GetMaxSize() = 0;
    virtual DWORD SetSeverity(DWORD level) = 0;
    virtual DWORD GetSeverity() = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    virtual DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                            ...) = 0;
    virtual DWORD LogError(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                           ...) = 0;
    virtual DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                             ...) = 0;
    virtual DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                              ...) = 0;
    virtual DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line,
                                 const wchar_t* format, ...) = 0;
};

// The extended interface of the ETW writer. The writer adds its own ETW
// operations after these three.
class CLoggingIf_ex : public CLoggingIf
{
public:
    virtual DWORD InitializeEx(const wchar_t* profileName, const wchar_t* applicationName, HMODULE module,
                               const wchar_t* logName, LoggingConfigListenerIf* listener) = 0;
    virtual DWORD WritePreformattedEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                      const wchar_t* message) = 0;
    virtual DWORD WriteFormattedEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                   const wchar_t* format, va_list args) = 0;
};

} // namespace ETWLogging
