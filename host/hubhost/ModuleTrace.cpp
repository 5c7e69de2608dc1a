#include "ModuleTrace.h"

#include "ImportPatch.h"
#include "LoaderReport.h"

#include <evntrace.h>
#include <wmistr.h>

#include <atomic>
#include <string>

namespace hubhost
{

namespace
{

constexpr TRACEHANDLE kSession = 0x4855424855ull;
std::atomic<TRACEHANDLE> g_nextRegistration{0x100};

ULONG WINAPI registerTraceGuids(WMIDPREQUEST callback, PVOID context, LPCGUID, ULONG,
                                PTRACE_GUID_REGISTRATION, LPCWSTR, LPCWSTR, PTRACEHANDLE registration)
{
    if (registration == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    *registration = g_nextRegistration++;
    // As a real session that is already running does: enable the provider
    // from within its registration.
    if (callback != nullptr)
    {
        WNODE_HEADER buffer = {};
        buffer.BufferSize = sizeof(buffer);
        buffer.HistoricalContext = kSession;
        ULONG size = sizeof(buffer);
        callback(WMI_ENABLE_EVENTS, context, &size, &buffer);
    }
    return ERROR_SUCCESS;
}

ULONG WINAPI unregisterTraceGuids(TRACEHANDLE)
{
    return ERROR_SUCCESS;
}

TRACEHANDLE WINAPI getTraceLoggerHandle(PVOID buffer)
{
    const auto* header = static_cast<const WNODE_HEADER*>(buffer);
    if (header == nullptr || header->HistoricalContext != kSession)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return ~static_cast<TRACEHANDLE>(0);
    }
    return kSession;
}

UCHAR WINAPI getTraceEnableLevel(TRACEHANDLE session)
{
    if (session != kSession)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return 1; // everything the module logs
}

ULONG WINAPI getTraceEnableFlags(TRACEHANDLE)
{
    return 0;
}

// The event's second data field is its message, in UTF-8.
ULONG WINAPI traceEvent(TRACEHANDLE, PEVENT_TRACE_HEADER header)
{
    if (header == nullptr || (header->Flags & WNODE_FLAG_USE_MOF_PTR) == 0 ||
        header->Size < sizeof(EVENT_TRACE_HEADER) + 2 * sizeof(MOF_FIELD))
    {
        return ERROR_INVALID_PARAMETER;
    }
    const MOF_FIELD& message = reinterpret_cast<const MOF_FIELD*>(header + 1)[1];
    const auto* utf8 = reinterpret_cast<const char*>(static_cast<ULONG_PTR>(message.DataPtr));
    if (utf8 == nullptr || message.Length == 0 || message.Length > 0x100000)
    {
        return ERROR_SUCCESS;
    }
    try
    {
        const int bytes = static_cast<int>(message.Length);
        std::wstring text(static_cast<std::size_t>(bytes), L'\0');
        const int chars = MultiByteToWideChar(CP_UTF8, 0, utf8, bytes, &text[0], bytes);
        text.resize(static_cast<std::size_t>(chars > 0 ? chars : 0));
        addModuleLogText(text);
    }
    catch (...)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

} // namespace

bool traceModule(HMODULE module)
{
    const struct
    {
        const char* name;
        void* stand;
    } imports[] = {
        {"RegisterTraceGuidsW", reinterpret_cast<void*>(&registerTraceGuids)},
        {"UnregisterTraceGuids", reinterpret_cast<void*>(&unregisterTraceGuids)},
        {"GetTraceLoggerHandle", reinterpret_cast<void*>(&getTraceLoggerHandle)},
        {"GetTraceEnableLevel", reinterpret_cast<void*>(&getTraceEnableLevel)},
        {"GetTraceEnableFlags", reinterpret_cast<void*>(&getTraceEnableFlags)},
        {"TraceEvent", reinterpret_cast<void*>(&traceEvent)},
    };
    bool patched = false;
    for (const auto& import : imports)
    {
        patched = HostTools::PatchImport(module, "advapi32.dll", import.name, import.stand) != nullptr ||
                  patched;
    }
    return patched;
}

} // namespace hubhost
