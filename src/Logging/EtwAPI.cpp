#include "Logging/EtwAPI.h"

namespace ETWLogging
{

ULONG EtwAPI::RegisterTraceGuidsW(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid, ULONG guidCount,
                                  PTRACE_GUID_REGISTRATION traceGuids, LPCWSTR mofImagePath,
                                  LPCWSTR mofResourceName, PTRACEHANDLE registrationHandle)
{
    return ::RegisterTraceGuidsW(callback, context, controlGuid, guidCount, traceGuids, mofImagePath,
                                 mofResourceName, registrationHandle);
}

ULONG EtwAPI::UnregisterTraceGuids(TRACEHANDLE registrationHandle)
{
    return ::UnregisterTraceGuids(registrationHandle);
}

TRACEHANDLE EtwAPI::GetTraceLoggerHandle(PVOID buffer)
{
    return ::GetTraceLoggerHandle(buffer);
}

UCHAR EtwAPI::GetTraceEnableLevel(TRACEHANDLE sessionHandle)
{
    return ::GetTraceEnableLevel(sessionHandle);
}

ULONG EtwAPI::GetTraceEnableFlags(TRACEHANDLE sessionHandle)
{
    return ::GetTraceEnableFlags(sessionHandle);
}

ULONG EtwAPI::TraceEvent(TRACEHANDLE sessionHandle, PEVENT_TRACE_HEADER header)
{
    return ::TraceEvent(sessionHandle, header);
}

DWORD EtwAPI::GetLastError()
{
    return ::GetLastError();
}

} // namespace ETWLogging
