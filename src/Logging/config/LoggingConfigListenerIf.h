#pragma once

#include <windows.h>

namespace ETWLogging
{

// Told by a logging implementation whenever a trace session enables or
// disables it, so that configuration can adjust the implementation.
class LoggingConfigListenerIf
{
public:
    virtual void OnConfigurationChange(bool enabled, DWORD level, DWORD flags) = 0;
    virtual ~LoggingConfigListenerIf() = default;
};

} // namespace ETWLogging
