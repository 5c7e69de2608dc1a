#pragma once

#include "Logging/ETWLogging.h"

#include "EtwEventDecoder.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace EtwTest
{

// One TraceEvent call: the 80 bytes the writer passed, and copies of what
// its two MOF fields pointed to (the pointers die with the call).
struct CapturedEvent
{
    TRACEHANDLE session = 0;
    ETWLogging::EtwEvent raw = {};
    std::vector<BYTE> record;
    std::string message;
    DWORD callingThread = 0;

    // As a trace consumer receives the event: 48-byte header, then the
    // record and the message. The size field then counts those bytes.
    std::vector<std::uint8_t> ConsumerBytes() const;
    // Decodes ConsumerBytes; a failure fails the calling test.
    EtwDecode::DecodedEvent Decode() const;
};

struct Registration
{
    WMIDPREQUEST callback = nullptr;
    PVOID context = nullptr;
    GUID controlGuid = {};
    ULONG guidCount = 0;
    GUID traceGuid = {};
    bool withMofResource = false;
};

// What a session hands the control callback: the session's logger handle
// travels in the WNODE_HEADER's HistoricalContext, which is where
// GetTraceLoggerHandle finds it.
WNODE_HEADER SessionBuffer(TRACEHANDLE session);

// Stands in for the system: records what the writer sends and answers what
// the script says. Safe to call from several threads.
class CapturingEtwAPI : public ETWLogging::EtwAPI
{
public:
    ULONG RegisterTraceGuidsW(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid, ULONG guidCount,
                              PTRACE_GUID_REGISTRATION traceGuids, LPCWSTR mofImagePath,
                              LPCWSTR mofResourceName, PTRACEHANDLE registrationHandle) override;
    ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) override;
    // The handle from the buffer; an empty buffer fails with
    // ERROR_INVALID_HANDLE as the last error.
    TRACEHANDLE GetTraceLoggerHandle(PVOID buffer) override;
    UCHAR GetTraceEnableLevel(TRACEHANDLE session) override;
    ULONG GetTraceEnableFlags(TRACEHANDLE session) override;
    ULONG TraceEvent(TRACEHANDLE session, PEVENT_TRACE_HEADER header) override;
    DWORD GetLastError() override;

    // Script.
    ULONG registerResult = ERROR_SUCCESS;
    TRACEHANDLE handleToGive = 0x7700;
    std::map<TRACEHANDLE, UCHAR> enableLevels;
    std::map<TRACEHANDLE, ULONG> enableFlags;
    ULONG traceEventResult = ERROR_SUCCESS;

    // Record.
    std::vector<Registration> Registrations() const;
    std::vector<TRACEHANDLE> Unregistered() const;
    std::vector<CapturedEvent> Events() const;
    void ClearEvents();

private:
    mutable std::mutex lock_;
    DWORD lastError_ = 0;
    std::vector<Registration> registrations_;
    std::vector<TRACEHANDLE> unregistered_;
    std::vector<CapturedEvent> events_;
};

} // namespace EtwTest
