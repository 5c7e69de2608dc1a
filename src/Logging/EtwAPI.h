#pragma once

#include <windows.h>
#include <wmistr.h>
#include <evntrace.h>

namespace ETWLogging
{

// The classic ETW provider functions behind an object, so that tests can see
// exactly what would reach the system (Wine only stubs these). Each operation
// passes its arguments to the function of the same name and returns its
// result unchanged.
class EtwAPI
{
public:
    virtual ~EtwAPI() = default;

    virtual ULONG RegisterTraceGuidsW(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid,
                                      ULONG guidCount, PTRACE_GUID_REGISTRATION traceGuids,
                                      LPCWSTR mofImagePath, LPCWSTR mofResourceName,
                                      PTRACEHANDLE registrationHandle);
    virtual ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle);
    virtual TRACEHANDLE GetTraceLoggerHandle(PVOID buffer);
    virtual UCHAR GetTraceEnableLevel(TRACEHANDLE sessionHandle);
    virtual ULONG GetTraceEnableFlags(TRACEHANDLE sessionHandle);
    virtual ULONG TraceEvent(TRACEHANDLE sessionHandle, PEVENT_TRACE_HEADER header);
    virtual DWORD GetLastError();
};

} // namespace ETWLogging
