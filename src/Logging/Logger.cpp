#include "Logging/Logger.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>
#include <new>

#include "Logging/DefaultLoggingHandler.h"

namespace Plinth
{

namespace
{

constexpr const wchar_t* kInternalFile = L"Logging\\internal_logging";
constexpr const wchar_t* kRegisterFunction = L"Plinth::CLogger::RegisterHandler";
constexpr const wchar_t* kUnregisterFunction = L"Plinth::CLogger::UnregisterHandler";
constexpr std::size_t kSystemTextCapacity = 1024;

// Not locked: registration happens while the manager is created and at exit.
// Atomic only so that readers on other threads see a whole pointer.
std::atomic<ILoggingHandler*> g_handler{nullptr};
std::atomic<CLogger::TextAllocator> g_textAllocator{nullptr};

wchar_t* DefaultTextAllocator(std::size_t characters)
{
    return new (std::nothrow) wchar_t[characters];
}

// The handler messages print addresses with "0x%08X": only the low 32 bits.
unsigned int AddressBits(const void* address)
{
    return static_cast<unsigned int>(reinterpret_cast<ULONG_PTR>(address));
}

} // namespace

void CLogger::SystemMessageText(DWORD error, wchar_t* buffer, std::size_t capacity)
{
    if (buffer == nullptr || capacity == 0)
    {
        return;
    }
    buffer[0] = L'\0';
    const DWORD written = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                         error, 0, buffer, static_cast<DWORD>(capacity), nullptr);
    if (written == 0 || written >= capacity)
    {
        buffer[written == 0 ? 0 : capacity - 1] = L'\0';
    }
}

ILoggingHandler* CLogger::RegisteredHandler()
{
    return g_handler.load();
}

void CLogger::SetTextAllocatorForTest(TextAllocator allocator)
{
    g_textAllocator.store(allocator);
}

DWORD CLogger::RegisterHandler(ILoggingHandler* handler)
{
    wchar_t text[kSystemTextCapacity];
    if (handler == nullptr)
    {
        SystemMessageText(ERROR_INVALID_PARAMETER, text, kSystemTextCapacity);
        Log(kPlinthLevelError, kInternalFile, kRegisterFunction, __LINE__,
            L"%s: Cannot Register (NULL) handler", text);
        return ERROR_INVALID_PARAMETER;
    }
    ILoggingHandler* registered = g_handler.load();
    if (registered == nullptr || registered == handler || registered == &CDefaultLoggingHandler::Instance())
    {
        g_handler.store(handler);
        return ERROR_SUCCESS;
    }
    SystemMessageText(ERROR_INVALID_STATE, text, kSystemTextCapacity);
    Log(kPlinthLevelError, kInternalFile, kRegisterFunction, __LINE__,
        L"%s: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X", text,
        AddressBits(registered), AddressBits(handler));
    return ERROR_INVALID_STATE;
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler)
{
    wchar_t text[kSystemTextCapacity];
    if (handler == nullptr)
    {
        SystemMessageText(ERROR_INVALID_PARAMETER, text, kSystemTextCapacity);
        Log(kPlinthLevelError, kInternalFile, kUnregisterFunction, __LINE__,
            L"%s: Cannot Unregister (NULL) handler", text);
        return ERROR_INVALID_PARAMETER;
    }
    ILoggingHandler* registered = g_handler.load();
    if (registered == handler)
    {
        g_handler.store(nullptr);
        return ERROR_SUCCESS;
    }
    SystemMessageText(ERROR_INVALID_STATE, text, kSystemTextCapacity);
    if (registered == nullptr)
    {
        // The caller still hears about its mistake, through its own handler.
        g_handler.store(handler);
        Log(kPlinthLevelError, kInternalFile, kUnregisterFunction, __LINE__,
            L"%s: Request to Unregister Logging handler 0x%08X, but none are registered", text,
            AddressBits(handler));
        g_handler.store(nullptr);
        return ERROR_INVALID_STATE;
    }
    const wchar_t* format =
        L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered handler 0x%08X)";
    Log(kPlinthLevelError, kInternalFile, kUnregisterFunction, __LINE__, format, text, AddressBits(handler),
        AddressBits(registered));
    g_handler.store(handler);
    Log(kPlinthLevelError, kInternalFile, kUnregisterFunction, __LINE__, format, text, AddressBits(handler),
        AddressBits(registered));
    g_handler.store(registered);
    return ERROR_INVALID_STATE;
}

DWORD CLogger::Log(int level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                   ...)
{
    ILoggingHandler* handler = g_handler.load();
    if (handler == nullptr)
    {
        ILoggingHandler* expected = nullptr;
        g_handler.compare_exchange_strong(expected, &CDefaultLoggingHandler::Instance());
        handler = g_handler.load();
        if (handler == nullptr)
        {
            return ERROR_INVALID_STATE;
        }
    }
    if (format == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }

    va_list args;
    va_start(args, format);
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int length = _vscwprintf(format, measureArgs);
    va_end(measureArgs);
    if (length < 0)
    {
        va_end(args);
        return ERROR_INVALID_PARAMETER;
    }

    const std::size_t characters = static_cast<std::size_t>(length) + 1;
    TextAllocator allocate = g_textAllocator.load();
    wchar_t* text = allocate != nullptr ? allocate(characters) : DefaultTextAllocator(characters);
    if (text == nullptr)
    {
        va_end(args);
        return handler->Log(kPlinthLevelError, file, function, line,
                            L"General memory-allocation failure in Plinth logger.");
    }
    _vsnwprintf_s(text, characters, _TRUNCATE, format, args);
    va_end(args);
    const DWORD result = handler->Log(level, file, function, line, text);
    delete[] text;
    return result;
}

} // namespace Plinth
