#include "Logging/DefaultLoggingHandler.h"

#include <cwchar>
#include <new>

namespace Plinth
{

namespace
{
const wchar_t* OrEmpty(const wchar_t* text)
{
    return text != nullptr ? text : L"";
}
} // namespace

CDefaultLoggingHandler& CDefaultLoggingHandler::Instance()
{
    // Trivially destructible, so it outlives every other static object that
    // might still log on the way out.
    static CDefaultLoggingHandler instance;
    return instance;
}

std::wstring CDefaultLoggingHandler::FormatLine(int level, const wchar_t* file, const wchar_t* function,
                                                int line, const wchar_t* message)
{
    const wchar_t* format = nullptr;
    switch (level)
    {
    case kPlinthLevelNone:
        return std::wstring();
    case kPlinthLevelInfo:
        format = L"%s(%d): [INFO]: [%s]: %s\n";
        break;
    case kPlinthLevelError:
        format = L"%s(%d): [ERROR]: [%s]: %s\n";
        break;
    default:
        format = L"%s(%d): [UNKNOWN]: [%s]: %s\n";
        break;
    }
    const int length = _scwprintf(format, OrEmpty(file), line, OrEmpty(function), OrEmpty(message));
    if (length <= 0)
    {
        return std::wstring();
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    _snwprintf_s(&text[0], text.size(), _TRUNCATE, format, OrEmpty(file), line, OrEmpty(function),
                 OrEmpty(message));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

DWORD CDefaultLoggingHandler::Log(int level, const wchar_t* file, const wchar_t* function, int line,
                                  const wchar_t* message)
{
    if (level == kPlinthLevelNone)
    {
        return ERROR_SUCCESS;
    }
    try
    {
        const std::wstring text = FormatLine(level, file, function, line, message);
        OutputDebugStringW(text.c_str());
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

} // namespace Plinth
