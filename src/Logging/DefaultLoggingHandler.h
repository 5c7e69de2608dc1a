#pragma once

#include <string>

#include "Logging/LoggingHandler.h"

namespace Plinth
{

// Sends each message as one line to the debugger output.
class CDefaultLoggingHandler : public ILoggingHandler
{
public:
    static CDefaultLoggingHandler& Instance();

    DWORD Log(int level, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* message) override;

    // The line Log sends for these arguments; empty for level 0.
    static std::wstring FormatLine(int level, const wchar_t* file, const wchar_t* function, int line,
                                   const wchar_t* message);
};

} // namespace Plinth
