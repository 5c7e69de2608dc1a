#pragma once

#include "Logging/LoggingHandler.h"

namespace ETWLogging
{

// Carries the base library's messages into the log manager's implementation,
// so both end up in the same log.
class CPlinthLogHandler : public Plinth::ILoggingHandler
{
public:
    // Created on first use; destroyed at process exit, unregistering itself.
    static CPlinthLogHandler& Instance();

    DWORD Log(int level, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* message) override;
    virtual ~CPlinthLogHandler();

    // 0 and 1 -> 1 (Normal), 2 -> 4 (Error), anything else -> 2 (Warning).
    static DWORD MapLevel(int level);

private:
    CPlinthLogHandler() = default;
};

} // namespace ETWLogging
