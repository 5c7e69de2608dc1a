#pragma once

#include <windows.h>

#include <string>

namespace ETWLogging
{

// The properties the log manager is created from. Strings are copies, so the
// caller's buffers need not outlive the call; the flags keep null apart from
// empty, which the builder treats differently.
struct LogProperties
{
    std::wstring profileName;
    bool hasProfileName = false;
    std::wstring applicationName;
    bool hasApplicationName = false;
    HMODULE module = nullptr;
    std::wstring logName;
    bool hasLogName = false;
    int mechanismOverride = 0;
};

LogProperties CopyLogProperties();

} // namespace ETWLogging
