#pragma once

#include <windows.h>

#include "Logging/LogBuilderIf.h"
#include "Logging/LogWriterFactory.h"

namespace ETWLogging
{

// The registry key and value that choose the writer.
constexpr const wchar_t* kLoggingKeyPath = L"SOFTWARE\\Korvex\\Logging";
constexpr const wchar_t* kLoggingMechanismValue = L"Logging Mechanism";
// The mechanism number of the log-file writer; every other number means ETW.
constexpr DWORD kMechanismLogFile = 1;

// Reads "Logging Mechanism" from HKLM\SOFTWARE\Korvex\Logging. False when the
// key cannot be opened; *found tells whether the value was there.
bool ReadLoggingMechanismFromRegistry(DWORD* mechanism, bool* found);

class CDefaultLogBuilder final : public CLogBuilderIf_ex
{
public:
    // The factories are replaceable so that the building rules can be
    // exercised with writers made for the purpose.
    explicit CDefaultLogBuilder(LogWriterFactory fileWriterFactory = CreateFileLogWriter,
                                LogWriterFactory etwWriterFactory = CreateEtwLogWriter);
    ~CDefaultLogBuilder() = default;

    bool Build(const wchar_t* applicationName, HMODULE module, const wchar_t* logName, int mechanismOverride,
               CLoggingIf** out, CLogConfigReaderIf* configReader) override;
    bool BuildEx(const wchar_t* profileName, const wchar_t* applicationName, HMODULE module,
                 const wchar_t* logName, int mechanismOverride, CLoggingIf** out,
                 CLogConfigReaderIf* configReader) override;

    // The mechanism BuildEx would use for these arguments.
    static DWORD ChooseMechanism(int mechanismOverride, CLogConfigReaderIf* configReader);

private:
    bool BuildWriter(LogWriterFactory factory, const wchar_t* profileName, const wchar_t* applicationName,
                     HMODULE module, const wchar_t* logName, CLoggingIf** out);

    LogWriterFactory m_fileWriterFactory;
    LogWriterFactory m_etwWriterFactory;
};

} // namespace ETWLogging
