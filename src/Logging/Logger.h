#pragma once

#include <windows.h>

#include <cstddef>

#include "Logging/LoggingHandler.h"

namespace Plinth
{

// The base library's static logger with its single handler slot. The slot is
// filled while the log manager is created and emptied at process exit; when
// it is empty on the first Log, the debugger-output handler takes it.
class CLogger
{
public:
    static DWORD RegisterHandler(ILoggingHandler* handler);
    static DWORD UnregisterHandler(ILoggingHandler* handler);
    static DWORD Log(int level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                     ...);

    // The handler in the slot, or null.
    static ILoggingHandler* RegisteredHandler();

    // The system's text for a Windows error number, as the handler messages
    // print it; empty when the system has none.
    static void SystemMessageText(DWORD error, wchar_t* buffer, std::size_t capacity);

    // Test only: replaces the allocation of message text (null restores the
    // default), so that the allocation-failure message can be exercised.
    using TextAllocator = wchar_t* (*)(std::size_t characters);
    static void SetTextAllocatorForTest(TextAllocator allocator);

    CLogger() = delete;
};

} // namespace Plinth
