#include "CapturingEtwApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace EtwTest
{

std::vector<std::uint8_t> CapturedEvent::ConsumerBytes() const
{
    EVENT_TRACE_HEADER header = raw.header;
    header.Size = static_cast<USHORT>(sizeof(header) + record.size() + message.size());
    std::vector<std::uint8_t> bytes(sizeof(header) + record.size() + message.size());
    std::memcpy(bytes.data(), &header, sizeof(header));
    std::copy(record.begin(), record.end(), bytes.begin() + sizeof(header));
    std::copy(message.begin(), message.end(), bytes.begin() + sizeof(header) + record.size());
    return bytes;
}

EtwDecode::DecodedEvent CapturedEvent::Decode() const
{
    const std::vector<std::uint8_t> bytes = ConsumerBytes();
    EtwDecode::DecodedEvent event;
    std::string error;
    EXPECT_TRUE(EtwDecode::DecodeEvent(bytes.data(), bytes.size(), true, event, error)) << error;
    return event;
}

WNODE_HEADER SessionBuffer(TRACEHANDLE session)
{
    WNODE_HEADER buffer = {};
    buffer.BufferSize = sizeof(buffer);
    buffer.HistoricalContext = session;
    return buffer;
}

ULONG CapturingEtwAPI::RegisterTraceGuidsW(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid,
                                           ULONG guidCount, PTRACE_GUID_REGISTRATION traceGuids,
                                           LPCWSTR mofImagePath, LPCWSTR mofResourceName,
                                           PTRACEHANDLE registrationHandle)
{
    std::lock_guard<std::mutex> hold(lock_);
    Registration registration;
    registration.callback = callback;
    registration.context = context;
    registration.controlGuid = controlGuid != nullptr ? *controlGuid : GUID{};
    registration.guidCount = guidCount;
    registration.traceGuid = guidCount > 0 && traceGuids->Guid != nullptr ? *traceGuids->Guid : GUID{};
    registration.withMofResource = mofImagePath != nullptr || mofResourceName != nullptr;
    registrations_.push_back(registration);
    *registrationHandle = registerResult == ERROR_SUCCESS ? handleToGive : 0;
    return registerResult;
}

ULONG CapturingEtwAPI::UnregisterTraceGuids(TRACEHANDLE registrationHandle)
{
    std::lock_guard<std::mutex> hold(lock_);
    unregistered_.push_back(registrationHandle);
    return ERROR_SUCCESS;
}

TRACEHANDLE CapturingEtwAPI::GetTraceLoggerHandle(PVOID buffer)
{
    std::lock_guard<std::mutex> hold(lock_);
    const auto* header = static_cast<const WNODE_HEADER*>(buffer);
    if (header == nullptr || header->HistoricalContext == 0)
    {
        lastError_ = ERROR_INVALID_HANDLE;
        return static_cast<TRACEHANDLE>(-1);
    }
    return header->HistoricalContext;
}

UCHAR CapturingEtwAPI::GetTraceEnableLevel(TRACEHANDLE session)
{
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = enableLevels.find(session);
    if (found == enableLevels.end() || found->second == 0)
    {
        lastError_ = ERROR_INVALID_HANDLE;
        return 0;
    }
    return found->second;
}

ULONG CapturingEtwAPI::GetTraceEnableFlags(TRACEHANDLE session)
{
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = enableFlags.find(session);
    return found != enableFlags.end() ? found->second : 0;
}

ULONG CapturingEtwAPI::TraceEvent(TRACEHANDLE session, PEVENT_TRACE_HEADER header)
{
    CapturedEvent event;
    event.session = session;
    event.callingThread = ::GetCurrentThreadId();
    std::memcpy(&event.raw, header, sizeof(event.raw));
    const MOF_FIELD& record = event.raw.fields[0];
    const MOF_FIELD& message = event.raw.fields[1];
    const auto* recordBytes = reinterpret_cast<const BYTE*>(record.DataPtr);
    event.record.assign(recordBytes, recordBytes + record.Length);
    if (message.Length != 0)
    {
        const auto* messageBytes = reinterpret_cast<const char*>(message.DataPtr);
        event.message.assign(messageBytes, messageBytes + message.Length);
    }
    std::lock_guard<std::mutex> hold(lock_);
    events_.push_back(std::move(event));
    return traceEventResult;
}

DWORD CapturingEtwAPI::GetLastError()
{
    std::lock_guard<std::mutex> hold(lock_);
    return lastError_;
}

std::vector<Registration> CapturingEtwAPI::Registrations() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return registrations_;
}

std::vector<TRACEHANDLE> CapturingEtwAPI::Unregistered() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return unregistered_;
}

std::vector<CapturedEvent> CapturingEtwAPI::Events() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return events_;
}

void CapturingEtwAPI::ClearEvents()
{
    std::lock_guard<std::mutex> hold(lock_);
    events_.clear();
}

} // namespace EtwTest
