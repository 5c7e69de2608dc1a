#pragma once

#include <windows.h>

#include <string>

namespace WardlineTest
{

// Debugger output of this process, caught in process for the capture's
// lifetime: OutputDebugStringW raises the wide exception (Windows) or only
// the narrow one (Wine 8), for a debugger to see. Keep to ASCII.
class DebugOutputCapture
{
public:
    DebugOutputCapture() : handler_(::AddVectoredExceptionHandler(1, &DebugOutputCapture::Catch))
    {
        Text().clear();
    }
    ~DebugOutputCapture() { ::RemoveVectoredExceptionHandler(handler_); }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    static std::wstring& Text()
    {
        static std::wstring text;
        return text;
    }

private:
    static LONG CALLBACK Catch(EXCEPTION_POINTERS* info)
    {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        if (record->NumberParameters < 2)
        {
            return EXCEPTION_CONTINUE_SEARCH;
        }
        if (record->ExceptionCode == 0x4001000A) // DBG_PRINTEXCEPTION_WIDE_C
        {
            Text() += reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
            return EXCEPTION_CONTINUE_EXECUTION;
        }
        if (record->ExceptionCode == DBG_PRINTEXCEPTION_C)
        {
            for (const char* c = reinterpret_cast<const char*>(record->ExceptionInformation[1]); *c != '\0';
                 ++c)
            {
                Text() += static_cast<wchar_t>(static_cast<unsigned char>(*c));
            }
            return EXCEPTION_CONTINUE_EXECUTION;
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    void* handler_;
};

} // namespace WardlineTest
