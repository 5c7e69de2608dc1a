#pragma once

#include <windows.h>

#include "Logging/LoggingIf.h"

namespace ETWLogging
{

class CLogManager;

// Stores the properties the log manager is created from. They take effect
// only if the manager does not exist yet.
void SetLogProperties(const wchar_t* profileName, const wchar_t* applicationName, HMODULE module,
                      const wchar_t* logName, int mechanismOverride);

// The process-wide log manager, created on first use. Null when creation
// failed without an exception.
CLogManager* GetLogManager();

bool IsLogLevelEnabled(DWORD level);

// The log call of the whole module. Formats follow the Microsoft wide
// convention: "%s" and "%ls" take wide strings, "%hs" narrow ones.
DWORD WriteLog(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
               ...);

} // namespace ETWLogging

// Every call site asks for the level first, so a filtered message costs no
// formatting.
#define WL_LOG(level, file, function, ...)                                                                   \
    do                                                                                                       \
    {                                                                                                        \
        if (::ETWLogging::IsLogLevelEnabled(level))                                                          \
        {                                                                                                    \
            ::ETWLogging::WriteLog((level), (file), (function), __LINE__, __VA_ARGS__);                      \
        }                                                                                                    \
    } while (0)
