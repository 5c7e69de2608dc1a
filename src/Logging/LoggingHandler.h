#pragma once

#include <windows.h>

namespace Plinth
{

// Levels of the base library's logger: 0 quiet, 1 information, 2 error; any
// other value is printed as unknown.
constexpr int kPlinthLevelNone = 0;
constexpr int kPlinthLevelInfo = 1;
constexpr int kPlinthLevelError = 2;

// Receives the finished messages of CLogger. The result is a Windows error
// number that CLogger hands back to its caller.
class ILoggingHandler
{
public:
    virtual DWORD Log(int level, const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* message) = 0;

protected:
    ~ILoggingHandler() = default;
};

} // namespace Plinth
