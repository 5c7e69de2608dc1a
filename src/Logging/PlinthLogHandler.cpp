#include "Logging/PlinthLogHandler.h"

#include "Logging/LogManager.h"
#include "Logging/Logger.h"

namespace ETWLogging
{

CPlinthLogHandler& CPlinthLogHandler::Instance()
{
    static CPlinthLogHandler instance;
    return instance;
}

CPlinthLogHandler::~CPlinthLogHandler()
{
    if (CLogManager* manager = CLogManager::Existing())
    {
        if (manager->TakeRegisteredHandler(this))
        {
            Plinth::CLogger::UnregisterHandler(this);
        }
    }
    // Never leave the slot pointing at a destroyed object.
    if (Plinth::CLogger::RegisteredHandler() == this)
    {
        Plinth::CLogger::UnregisterHandler(this);
    }
}

DWORD CPlinthLogHandler::MapLevel(int level)
{
    switch (level)
    {
    case Plinth::kPlinthLevelNone:
    case Plinth::kPlinthLevelInfo:
        return LevelNormal;
    case Plinth::kPlinthLevelError:
        return LevelError;
    default:
        return LevelWarning;
    }
}

DWORD CPlinthLogHandler::Log(int level, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* message)
{
    // The base library may log before or after the manager's life; that must
    // not bring a manager into being.
    CLogManager* manager = CLogManager::Existing();
    if (manager == nullptr)
    {
        return ERROR_SUCCESS;
    }
    CLoggingIf* implementation = manager->Implementation();
    if (implementation == nullptr)
    {
        return ERROR_FUNCTION_FAILED;
    }
    const DWORD prepared = implementation->Prepare();
    if (prepared != ERROR_SUCCESS)
    {
        return prepared;
    }
    const DWORD mapped = MapLevel(level);
    if (CLoggingIf_ex* extended = dynamic_cast<CLoggingIf_ex*>(implementation))
    {
        return extended->WritePreformattedEx(mapped, file, function, line, message);
    }
    return implementation->WritePreformatted(file, function, line, mapped, message);
}

} // namespace ETWLogging
