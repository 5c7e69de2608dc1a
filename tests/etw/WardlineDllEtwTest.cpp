#include "module/ModuleFunctions.h"
#include "module/ModuleStatus.h"

#include "CapturingEtwApi.h"
#include "ImportPatch.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using EtwTest::CapturingEtwAPI;

namespace
{

// The real Wardline.dll calls the system's ETW functions, which Wine only
// stubs. Its import table is pointed at these, which hand every call to the
// capturing stand-in, so the test sees what the module would send.
CapturingEtwAPI* g_system = nullptr;

ULONG WINAPI HookRegister(WMIDPREQUEST callback, PVOID context, LPCGUID control, ULONG count,
                          PTRACE_GUID_REGISTRATION guids, LPCWSTR image, LPCWSTR resource,
                          PTRACEHANDLE handle)
{
    return g_system->RegisterTraceGuidsW(callback, context, control, count, guids, image, resource, handle);
}

ULONG WINAPI HookUnregister(TRACEHANDLE handle)
{
    return g_system->UnregisterTraceGuids(handle);
}

TRACEHANDLE WINAPI HookLoggerHandle(PVOID buffer)
{
    const TRACEHANDLE session = g_system->GetTraceLoggerHandle(buffer);
    SetLastError(g_system->GetLastError());
    return session;
}

UCHAR WINAPI HookEnableLevel(TRACEHANDLE session)
{
    const UCHAR level = g_system->GetTraceEnableLevel(session);
    SetLastError(g_system->GetLastError());
    return level;
}

ULONG WINAPI HookEnableFlags(TRACEHANDLE session)
{
    return g_system->GetTraceEnableFlags(session);
}

ULONG WINAPI HookTraceEvent(TRACEHANDLE session, PEVENT_TRACE_HEADER header)
{
    return g_system->TraceEvent(session, header);
}

bool LoggingMechanismIsSet()
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvex\\Logging", L"Logging Mechanism", RRF_RT_ANY,
                        nullptr, &value, &size) == ERROR_SUCCESS;
}

// The first event with that message, if any.
std::optional<EtwTest::CapturedEvent> FindEvent(const std::vector<EtwTest::CapturedEvent>& events,
                                                const char* message)
{
    for (const EtwTest::CapturedEvent& event : events)
    {
        if (event.message == message)
        {
            return event;
        }
    }
    return std::nullopt;
}

std::wstring Wide(const std::u16string& text)
{
    return std::wstring(text.begin(), text.end());
}

// {E16CA450-55CC-11E0-B8AF-0800200C9A66}: the provider of the default profile.
const GUID kDefaultProvider = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

} // namespace

TEST(WardlineDllEtw, TheModuleSendsItsOwnLinesAsEventsByDefault)
{
    ASSERT_FALSE(LoggingMechanismIsSet()) << "this case needs no \"Logging Mechanism\" in the test prefix";
    CapturingEtwAPI system;
    g_system = &system;

    HMODULE dll = LoadLibraryW((WardlineTest::executableFolder() + L"Wardline.dll").c_str());
    ASSERT_NE(nullptr, dll) << GetLastError();
    const struct
    {
        const char* name;
        void* hook;
    } hooks[] = {
        {"RegisterTraceGuidsW", reinterpret_cast<void*>(&HookRegister)},
        {"UnregisterTraceGuids", reinterpret_cast<void*>(&HookUnregister)},
        {"GetTraceLoggerHandle", reinterpret_cast<void*>(&HookLoggerHandle)},
        {"GetTraceEnableLevel", reinterpret_cast<void*>(&HookEnableLevel)},
        {"GetTraceEnableFlags", reinterpret_cast<void*>(&HookEnableFlags)},
        {"TraceEvent", reinterpret_cast<void*>(&HookTraceEvent)},
    };
    for (const auto& hook : hooks)
    {
        ASSERT_NE(nullptr, HostTools::PatchImport(dll, "advapi32.dll", hook.name, hook.hook)) << hook.name;
    }

    using CreateObject = const void* (*)();
    auto create =
        reinterpret_cast<CreateObject>(reinterpret_cast<void*>(GetProcAddress(dll, "CreateObject")));
    ASSERT_NE(nullptr, create);
    const auto* table = static_cast<const Norvan::ModuleFunctionTable*>(create());
    EXPECT_EQ(Norvan::MODULE_STATUS_INVALID_PARAMETER, table->NewModule(nullptr, nullptr));

    auto sent = FindEvent(system.Events(), "Invalid handle address.");
    ASSERT_TRUE(sent.has_value());
    EXPECT_FALSE(FindEvent(system.Events(), "DLL loaded").has_value())
        << "level 1 lies below the default severity";
    const auto error = sent->Decode();
    EXPECT_EQ(4, error.header.level);
    EXPECT_EQ(GetCurrentProcessId(), error.record.processId);
    EXPECT_EQ(GetCurrentThreadId(), error.record.threadId);
    EXPECT_EQ(L"etw_tests.exe", Wide(error.record.processFileName));
    EXPECT_EQ(L"ModuleFunctions", Wide(error.record.sourceFile));
    EXPECT_EQ(L"NewModule", Wide(error.record.function));
    EXPECT_GT(error.record.line, 0);
    EXPECT_EQ(L"Wardline.dll", Wide(error.record.moduleFileName));
    EXPECT_EQ(L"2.1.0.0", Wide(error.record.moduleVersion));
    EXPECT_EQ(L"Wardline", Wide(error.record.applicationName));
    EXPECT_EQ(23u, error.record.messageLength);
    EXPECT_EQ("Invalid handle address.", error.record.message);

    const auto registrations = system.Registrations();
    ASSERT_EQ(1u, registrations.size());
    EXPECT_TRUE(IsEqualGUID(kDefaultProvider, registrations[0].controlGuid));

    // A session enables the provider at level 1: the unload's line now goes
    // out to it, and the unload gives the registration back.
    system.enableLevels[0x99] = 1;
    WNODE_HEADER buffer = EtwTest::SessionBuffer(0x99);
    ULONG size = sizeof(buffer);
    EXPECT_EQ(0u, registrations[0].callback(WMI_ENABLE_EVENTS, registrations[0].context, &size, &buffer));
    system.ClearEvents();
    ASSERT_TRUE(FreeLibrary(dll));
    g_system = nullptr;

    sent = FindEvent(system.Events(), "DLL unloaded");
    ASSERT_TRUE(sent.has_value());
    const auto unloaded = sent->Decode();
    EXPECT_EQ(0x99u, sent->session);
    EXPECT_EQ(1, unloaded.header.level);
    EXPECT_EQ(L"dllmain", Wide(unloaded.record.sourceFile));
    EXPECT_EQ(L"DllMain", Wide(unloaded.record.function));
    EXPECT_EQ("DLL unloaded", unloaded.record.message);
    EXPECT_EQ((std::vector<TRACEHANDLE>{system.handleToGive}), system.Unregistered());
}
