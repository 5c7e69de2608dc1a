#include "Logging/Log.h"

#include <cstdarg>
#include <cwchar>

#include "Logging/LogManager.h"
#include "Logging/LogProperties.h"
#include "wrappers/SrwLock.h"

namespace ETWLogging
{

namespace
{

// A formatted message longer than this is cut to kKeptLength characters.
constexpr int kCutTrigger = 4160;
constexpr int kKeptLength = 2080;

Norvan::srw_mutex g_propertiesLock;

// Writers hold the lock exclusively.
LogProperties& StoredProperties() REQUIRES_SHARED(g_propertiesLock)
{
    static LogProperties properties;
    return properties;
}

void Assign(std::wstring& target, bool& present, const wchar_t* value)
{
    present = value != nullptr;
    target.assign(present ? value : L"");
}

} // namespace

void SetLogProperties(const wchar_t* profileName, const wchar_t* applicationName, HMODULE module,
                      const wchar_t* logName, int mechanismOverride)
{
    LogProperties copy;
    Assign(copy.profileName, copy.hasProfileName, profileName);
    Assign(copy.applicationName, copy.hasApplicationName, applicationName);
    copy.module = module;
    Assign(copy.logName, copy.hasLogName, logName);
    copy.mechanismOverride = mechanismOverride;

    Norvan::srw_exclusive_guard lock(g_propertiesLock);
    StoredProperties() = std::move(copy);
}

LogProperties CopyLogProperties()
{
    // The copy allocates: the guard releases the lock if it throws.
    Norvan::srw_shared_guard lock(g_propertiesLock);
    return StoredProperties();
}

CLogManager* GetLogManager()
{
    return CLogManager::Get();
}

bool IsLogLevelEnabled(DWORD level)
{
    CLogManager* manager = CLogManager::Get();
    if (manager == nullptr)
    {
        return false;
    }
    CLoggingIf* implementation = manager->Implementation();
    return implementation != nullptr && implementation->IsLevelEnabled(level);
}

DWORD WriteLog(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
               ...)
{
    CLogManager* manager = CLogManager::Get();
    if (manager == nullptr)
    {
        return ERROR_SUCCESS;
    }
    CLoggingIf* implementation = manager->Implementation();
    if (implementation == nullptr)
    {
        return ERROR_FUNCTION_FAILED;
    }
    if (format == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD prepared = implementation->Prepare();
    if (prepared != ERROR_SUCCESS)
    {
        return prepared;
    }

    va_list args;
    va_start(args, format);
    if (CLoggingIf_ex* extended = dynamic_cast<CLoggingIf_ex*>(implementation))
    {
        if (extended->IsLevelEnabled(level))
        {
            extended->WriteFormattedEx(level, file, function, line, format, args);
        }
        va_end(args);
        return ERROR_SUCCESS;
    }

    // One character more than the trigger tells "exactly 4160" from "longer".
    wchar_t message[kCutTrigger + 2];
    const int written = _vsnwprintf(message, kCutTrigger + 1, format, args);
    va_end(args);
    if (written >= 0 && written <= kCutTrigger)
    {
        message[written] = L'\0';
    }
    else
    {
        message[kKeptLength] = L'\0';
    }
    return implementation->WritePreformatted(file, function, line, level, message);
}

} // namespace ETWLogging
