// A module library for exercising hubhost: the four exports and the
// eight-function table, with behaviour chosen by message names and by the
// environment variable FAKE_MODULE_FAIL ("StartModule=0x80000002,...") so that
// every module function can be made to fail.
//
// Bus messages it handles (subscribed at initialisation):
//   Fake.Echo         publishes Fake.Echo.Out with the same payload
//   Fake.Status       returns the status written in the payload
//   Fake.Ask          answers a request with {"echo":<payload>}
//   Fake.Ask.Twice    answers a request twice (the bus must drop the second)
//   Fake.Crash        writes through a null pointer on the bus's thread
// InitializeModule fails with MODULE_STATUS_NOT_SUPPORTED, after writing the
// lines of FAKE_MODULE_LOG ('|' between lines) to the debugger output.
// Direct messages:
//   Fake.Direct.Status   returns the status written in the payload
//   Fake.Direct.Record   publishes Fake.Record describing the context record
//   Fake.Direct.Request  requests the name in the payload, publishes Fake.Got
//   Fake.Direct.Manager  calls the module-manager callback (manager, 7, 8, 9)
//   Fake.Direct.Crash    writes through a null pointer

#include "courier/CourierApi.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

namespace
{
using ManagerCallback = std::uint32_t (*)(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t);

constexpr std::uint32_t kInvalidParameter = 0x80000008u;
constexpr std::uint32_t kNotSupported = 0x80000001u;
constexpr std::uint32_t kUnknownException = 0x8000000Fu;

// A real access violation: a write to the never-mapped first page, at an
// address that is not null, so that a build with undefined-behaviour checks
// lets it through to the host as a crash instead of stopping it as a null
// dereference.
[[noreturn]] void crash()
{
    *reinterpret_cast<volatile int*>(static_cast<std::uintptr_t>(0x10)) = 1;
    __builtin_unreachable();
}

struct FakeModule
{
    std::wstring name;
    CourierHandle bus = nullptr;
    const CourierFunctionTable* table = nullptr;
    void* manager = nullptr;
    ManagerCallback managerCallback = nullptr;
    std::vector<std::uint32_t> subscriptions;

    std::mutex lock;
    std::condition_variable replied;
    std::uint64_t nextIndex = 1;
    bool haveReply = false;
    std::uint32_t replyStatus = 0;
    std::wstring replyPayload;
};

std::uint32_t configuredFailure(const char* function)
{
    const char* config = std::getenv("FAKE_MODULE_FAIL");
    if (config == nullptr)
    {
        return 0;
    }
    const std::string text = config;
    const std::string key = std::string(function) + "=";
    std::size_t at = text.find(key);
    while (at != std::string::npos && at != 0 && text[at - 1] != ',')
    {
        at = text.find(key, at + 1);
    }
    if (at == std::string::npos)
    {
        return 0;
    }
    return static_cast<std::uint32_t>(std::strtoul(text.c_str() + at + key.size(), nullptr, 0));
}

std::uint32_t parseStatus(const wchar_t* text)
{
    return text != nullptr ? static_cast<std::uint32_t>(std::wcstoul(text, nullptr, 0)) : 0;
}

std::uint32_t publish(FakeModule& module, const std::wstring& name, const std::wstring& payload)
{
    return module.table->publish(module.bus, nullptr, name.c_str(), module.name.c_str(), payload.c_str());
}

void answer(FakeModule& module, const void* record, const wchar_t* name, const wchar_t* payload)
{
    unsigned char reply[courier::kRecordSizeV2];
    std::memcpy(reply, record, sizeof(reply)); // the bus always hands out the 108-byte form
    std::uint32_t flags;
    std::memcpy(&flags, reply + courier::kOffsetFlags, sizeof(flags));
    flags |= courier::kFlagReply;
    std::memcpy(reply + courier::kOffsetFlags, &flags, sizeof(flags));
    const std::wstring text = L"{\"echo\":" + std::wstring(payload) + L"}";
    module.table->publish(module.bus, reply, name, module.name.c_str(), text.c_str());
}

CourierStatus onMessage(void* context, const void* record, const wchar_t* name, const wchar_t* source,
                        const wchar_t* payload)
{
    FakeModule& module = *static_cast<FakeModule*>(context);
    const std::wstring which = name != nullptr ? name : L"";
    std::uint64_t routing = 0;
    if (record != nullptr)
    {
        std::memcpy(&routing, static_cast<const unsigned char*>(record) + courier::kOffsetReplyRouting,
                    sizeof(routing));
    }
    if (which == L"Fake.Echo")
    {
        return publish(module, L"Fake.Echo.Out", payload != nullptr ? payload : L"");
    }
    if (which == L"Fake.Crash")
    {
        crash();
    }
    if (which == L"Fake.Status")
    {
        return parseStatus(payload);
    }
    if ((which == L"Fake.Ask" || which == L"Fake.Ask.Twice") && routing != 0)
    {
        answer(module, record, name, payload);
        if (which == L"Fake.Ask.Twice")
        {
            answer(module, record, name, payload);
        }
    }
    return 0;
}

CourierStatus onReply(void* context, std::uint64_t index, const void* record, const wchar_t* name,
                      const wchar_t* source, const wchar_t* payload, CourierStatus status)
{
    FakeModule& module = *static_cast<FakeModule*>(context);
    {
        std::lock_guard<std::mutex> guard(module.lock);
        module.haveReply = true;
        module.replyStatus = status;
        module.replyPayload = payload != nullptr ? payload : L"";
    }
    module.replied.notify_all();
    return 0;
}

FakeModule* moduleOf(void* handle)
{
    return static_cast<FakeModule*>(handle);
}

std::uint32_t NewModule(void** handle, const wchar_t* applicationName)
{
    if (handle == nullptr)
    {
        return kInvalidParameter;
    }
    if (const std::uint32_t failure = configuredFailure("NewModule"))
    {
        return failure;
    }
    *handle = new FakeModule();
    return 0;
}

std::uint32_t DestroyModule(void* handle)
{
    if (handle == nullptr)
    {
        return kInvalidParameter;
    }
    FakeModule* module = moduleOf(handle);
    if (module->table != nullptr)
    {
        publish(*module, L"Fake.Destroyed", module->name);
        for (const std::uint32_t id : module->subscriptions)
        {
            module->table->unsubscribe(module->bus, id);
        }
        module->table->removeReplyCallback(module->bus, &onReply);
    }
    const std::uint32_t failure = configuredFailure("DestroyModule");
    delete module;
    return failure;
}

std::uint32_t InitializeModule(void* handle, const wchar_t*, const wchar_t*, std::uint32_t,
                               const wchar_t* const*, const wchar_t* const*, void*, ManagerCallback)
{
    // This module only takes the bus it is given. It can tell the debugger
    // what a module's loader would have logged in its place: the lines of
    // FAKE_MODULE_LOG, separated by '|'.
    wchar_t lines[4096] = {};
    const DWORD length = GetEnvironmentVariableW(L"FAKE_MODULE_LOG", lines, 4096);
    if (length > 0 && length < 4096)
    {
        for (wchar_t* line = lines; line != nullptr;)
        {
            wchar_t* next = std::wcschr(line, L'|');
            if (next != nullptr)
            {
                *next++ = L'\0';
            }
            OutputDebugStringW((std::wstring(line) + L"\r\n").c_str());
            line = next;
        }
    }
    return handle == nullptr ? kInvalidParameter : kNotSupported;
}

std::uint32_t InitializeModuleV2(void* handle, const wchar_t* name, const wchar_t* secondaryName,
                                 std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                                 const wchar_t* const* propertyValues, void* manager,
                                 ManagerCallback managerCallback, void* busHandle, const void* busTable)
{
    if (handle == nullptr || name == nullptr)
    {
        return kInvalidParameter;
    }
    if (busHandle == nullptr || busTable == nullptr)
    {
        return kUnknownException;
    }
    if (const std::uint32_t failure = configuredFailure("InitializeModuleV2"))
    {
        return failure;
    }
    FakeModule* module = moduleOf(handle);
    module->name = name;
    module->bus = busHandle;
    module->table = static_cast<const CourierFunctionTable*>(busTable);
    module->manager = manager;
    module->managerCallback = managerCallback;
    for (const wchar_t* message :
         {L"Fake.Echo", L"Fake.Status", L"Fake.Ask", L"Fake.Ask.Twice", L"Fake.Crash"})
    {
        const std::uint32_t id = module->table->subscribe(module->bus, module, &onMessage, message);
        if (id == 0)
        {
            return 0x80000002u;
        }
        module->subscriptions.push_back(id);
    }
    // Shows what the host handed over, so that tests can check the arguments.
    std::wstring properties;
    for (std::uint32_t i = 0; i < propertyCount; ++i)
    {
        properties += std::wstring(i == 0 ? L"" : L",") + propertyNames[i] + L"=" + propertyValues[i];
    }
    publish(*module, L"Fake.Initialized",
            L"name=" + module->name + L";secondary=" +
                std::wstring(secondaryName != nullptr ? secondaryName : L"") + L";properties=" + properties +
                L";manager=" + (manager != nullptr ? L"yes" : L"no"));
    return 0;
}

std::uint32_t StartModule(void* handle)
{
    return handle == nullptr ? kInvalidParameter : configuredFailure("StartModule");
}

std::uint32_t StopModule(void* handle)
{
    return handle == nullptr ? kInvalidParameter : configuredFailure("StopModule");
}

std::uint32_t UninitializeModule(void* handle)
{
    return handle == nullptr ? kInvalidParameter : configuredFailure("UninitializeModule");
}

std::uint32_t DirectMessage(void* handle, const void* context, const wchar_t* name, const wchar_t* source,
                            const wchar_t* payload)
{
    if (handle == nullptr || name == nullptr || source == nullptr || payload == nullptr)
    {
        return kInvalidParameter;
    }
    FakeModule& module = *moduleOf(handle);
    const std::wstring which = name;
    if (which == L"Fake.Direct.Status")
    {
        return parseStatus(payload);
    }
    if (which == L"Fake.Direct.Record")
    {
        std::wstring text;
        if (context == nullptr)
        {
            text = L"record=none";
        }
        else
        {
            const unsigned char* bytes = static_cast<const unsigned char*>(context);
            std::uint16_t version;
            std::uint32_t flags;
            std::uint32_t total;
            std::memcpy(&version, bytes + courier::kOffsetVersion, sizeof(version));
            std::memcpy(&flags, bytes + courier::kOffsetFlags, sizeof(flags));
            std::memcpy(&total, bytes + courier::kOffsetTotalSize, sizeof(total));
            text = L"version=" + std::to_wstring(version) + L";flags=" + std::to_wstring(flags) + L";total=" +
                   std::to_wstring(total);
            if (version == 2)
            {
                std::uint32_t session;
                std::memcpy(&session, bytes + courier::kOffsetSessionId, sizeof(session));
                text += L";session=" + std::to_wstring(session);
            }
        }
        text += L";source=" + std::wstring(source) + L";payload=" + payload;
        return publish(module, L"Fake.Record", text);
    }
    if (which == L"Fake.Direct.Request")
    {
        std::uint64_t index;
        {
            std::lock_guard<std::mutex> guard(module.lock);
            index = module.nextIndex++;
            module.haveReply = false;
        }
        const std::uint32_t status = module.table->request(module.bus, index, &module, &onReply, nullptr,
                                                           payload, module.name.c_str(), L"{}", 1000);
        if (status != 0)
        {
            return publish(module, L"Fake.Got", L"refused=" + std::to_wstring(status));
        }
        std::unique_lock<std::mutex> guard(module.lock);
        if (!module.replied.wait_for(guard, std::chrono::milliseconds(3000),
                                     [&] { return module.haveReply; }))
        {
            guard.unlock();
            return publish(module, L"Fake.Got", L"no-callback");
        }
        const std::wstring text =
            L"status=" + std::to_wstring(module.replyStatus) + L";payload=" + module.replyPayload;
        guard.unlock();
        return publish(module, L"Fake.Got", text);
    }
    if (which == L"Fake.Direct.Crash")
    {
        crash();
        return 0;
    }
    if (which == L"Fake.Direct.Manager")
    {
        if (module.managerCallback == nullptr)
        {
            return kInvalidParameter;
        }
        module.managerCallback(reinterpret_cast<std::uintptr_t>(module.manager), 7, 8, 9);
        return 0;
    }
    return configuredFailure("DirectMessage");
}

using AnyFunction = void (*)();
const AnyFunction kTable[8] = {
    reinterpret_cast<AnyFunction>(&NewModule),        reinterpret_cast<AnyFunction>(&DestroyModule),
    reinterpret_cast<AnyFunction>(&InitializeModule), reinterpret_cast<AnyFunction>(&StartModule),
    reinterpret_cast<AnyFunction>(&StopModule),       reinterpret_cast<AnyFunction>(&UninitializeModule),
    reinterpret_cast<AnyFunction>(&DirectMessage),    reinterpret_cast<AnyFunction>(&InitializeModuleV2),
};
} // namespace

extern "C"
{
    __declspec(dllexport) const void* CreateObject()
    {
        return configuredFailure("CreateObject") != 0 ? nullptr : kTable;
    }

    __declspec(dllexport) void ReleaseObject() {}

    __declspec(dllexport) std::uint32_t GetVersionNum()
    {
        return 2001000u;
    }

    __declspec(dllexport) const char* GetVersionStr()
    {
        return "2.1.0";
    }
}
