#pragma once

#include <windows.h>

#include "Logging/LogConfigReaderIf.h"
#include "Logging/LoggingIf.h"

namespace ETWLogging
{

// Builds the one logging implementation of the log manager. A builder stores
// the implementation in *out only when it returns true.
class CLogBuilderIf
{
public:
    virtual bool Build(const wchar_t* applicationName, HMODULE module, const wchar_t* logName,
                       int mechanismOverride, CLoggingIf** out, CLogConfigReaderIf* configReader) = 0;

protected:
    ~CLogBuilderIf() = default;
};

class CLogBuilderIf_ex : public CLogBuilderIf
{
public:
    virtual bool BuildEx(const wchar_t* profileName, const wchar_t* applicationName, HMODULE module,
                         const wchar_t* logName, int mechanismOverride, CLoggingIf** out,
                         CLogConfigReaderIf* configReader) = 0;

protected:
    ~CLogBuilderIf_ex() = default;
};

} // namespace ETWLogging
