#pragma once

// The host's side of the integration tests: Courier.dll and Wardline.dll
// loaded from the test's folder the way the host framework loads them, with
// the module table declared here as a host declares it (from the contract,
// not from the module's headers).

#include "courier/CourierBus.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/ScratchFiles.h"
#include "support/WaitUntil.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace integration
{

using HostModuleManagerCallback = std::uintptr_t (*)(void*, void*, void*, void*);

// The eight module functions, in the order the host reads them.
struct HostModuleTable
{
    std::uint32_t (*NewModule)(void** handleAddress, const wchar_t* applicationName);
    std::uint32_t (*DestroyModule)(void* handle);
    std::uint32_t (*InitializeModule)(void* handle, const wchar_t* name, const wchar_t* secondaryName,
                                      std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                                      const wchar_t* const* propertyValues, void* moduleManager,
                                      HostModuleManagerCallback moduleManagerCallback);
    std::uint32_t (*StartModule)(void* handle);
    std::uint32_t (*StopModule)(void* handle);
    std::uint32_t (*UninitializeModule)(void* handle);
    std::uint32_t (*DirectMessage)(void* handle, const void* context, const wchar_t* name,
                                   const wchar_t* source, const wchar_t* payload);
    std::uint32_t (*InitializeModuleV2)(void* handle, const wchar_t* name, const wchar_t* secondaryName,
                                        std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                                        const wchar_t* const* propertyValues, void* moduleManager,
                                        HostModuleManagerCallback moduleManagerCallback, void* busHandle,
                                        const void* busFunctions);
};

constexpr std::uint32_t kDataError = 0x80000006u;

inline std::wstring besideThisExe(const wchar_t* fileName)
{
    return WardlineTest::executableFolder() + fileName;
}

template <typename Function> Function exportOf(HMODULE library, const char* name)
{
    // Through void*: the real signature is the export's, not FARPROC's.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// Courier.dll with its table and extras.
class Courier
{
public:
    Courier()
    {
        library_ = LoadLibraryW(besideThisExe(L"Courier.dll").c_str());
        if (library_ == nullptr)
        {
            return;
        }
        const auto create = exportOf<CourierCreateObjectFn>(library_, "CreateObject");
        setTap = exportOf<CourierSetTapFn>(library_, "CourierSetTap");
        getStats = exportOf<CourierGetStatsFn>(library_, "CourierGetStats");
        if (create != nullptr)
        {
            table = create(courier::kInterfaceVersion);
        }
    }
    ~Courier()
    {
        if (library_ != nullptr)
        {
            FreeLibrary(library_);
        }
    }
    Courier(const Courier&) = delete;
    Courier& operator=(const Courier&) = delete;

    bool loaded() const { return table != nullptr && setTap != nullptr && getStats != nullptr; }

    CourierStats stats() const
    {
        CourierStats now{};
        getStats(&now);
        return now;
    }

    const CourierFunctionTable* table = nullptr;
    CourierSetTapFn setTap = nullptr;
    CourierGetStatsFn getStats = nullptr;

private:
    HMODULE library_ = nullptr;
};

// One party's bus handle, released at the end of its scope.
class Handle
{
public:
    explicit Handle(const CourierFunctionTable* table) : table_(table)
    {
        status = table_->getHandle(&handle);
    }
    ~Handle()
    {
        if (handle != nullptr)
        {
            table_->releaseHandle(handle);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    operator CourierHandle() const { return handle; }

    CourierHandle handle = nullptr;
    CourierStatus status = 0;

private:
    const CourierFunctionTable* table_;
};

// Wardline.dll and its table.
class WardlineLibrary
{
public:
    WardlineLibrary()
    {
        library_ = LoadLibraryW(besideThisExe(L"Wardline.dll").c_str());
        if (library_ == nullptr)
        {
            return;
        }
        const auto create = exportOf<const void* (*)()>(library_, "CreateObject");
        if (create != nullptr)
        {
            table = static_cast<const HostModuleTable*>(create());
        }
    }
    ~WardlineLibrary() { unload(); }
    WardlineLibrary(const WardlineLibrary&) = delete;
    WardlineLibrary& operator=(const WardlineLibrary&) = delete;

    // Gives this host's reference back, as a host that is done with the module.
    void unload()
    {
        if (library_ != nullptr)
        {
            FreeLibrary(library_);
            library_ = nullptr;
            table = nullptr;
        }
    }

    const HostModuleTable* table = nullptr;

private:
    HMODULE library_ = nullptr;
};

// One module driven through its table, on a bus handle of its own, the way
// the host framework runs it.
class HostedModule
{
public:
    HostedModule(const WardlineLibrary& wardline, const Courier& bus, const wchar_t* name)
        : table_(*wardline.table), bus_(bus)
    {
        busStatus = bus.table->getHandle(&busHandle);
        newStatus = table_.NewModule(&module, L"IntegrationHost");
        if (busStatus == 0 && newStatus == 0)
        {
            initStatus = table_.InitializeModuleV2(module, name, L"", 0, nullptr, nullptr, nullptr, nullptr,
                                                   busHandle, bus.table);
        }
    }
    ~HostedModule()
    {
        destroy();
        if (busHandle != nullptr)
        {
            bus_.table->releaseHandle(busHandle);
        }
    }
    HostedModule(const HostedModule&) = delete;
    HostedModule& operator=(const HostedModule&) = delete;

    bool ready() const { return busStatus == 0 && newStatus == 0 && initStatus == 0; }
    std::uint32_t destroy()
    {
        std::uint32_t status = 0;
        if (module != nullptr)
        {
            status = table_.DestroyModule(module);
            module = nullptr;
        }
        return status;
    }
    std::uint32_t direct(const wchar_t* name, const std::wstring& payload)
    {
        return table_.DirectMessage(module, nullptr, name, L"IntegrationHost", payload.c_str());
    }

    void* module = nullptr;
    CourierHandle busHandle = nullptr;
    std::uint32_t busStatus = 0;
    std::uint32_t newStatus = 0;
    std::uint32_t initStatus = ~0u;

private:
    const HostModuleTable& table_;
    const Courier& bus_;
};

using WardlineTest::allowLateArrivals;
using WardlineTest::waitUntil;

// The record of an answer to the request whose record the bus handed over:
// the same routing, with the reply flag.
inline std::vector<unsigned char> replyRecordFor(const void* request)
{
    std::vector<unsigned char> reply(courier::kRecordSizeV2);
    std::memcpy(reply.data(), request, reply.size());
    std::uint32_t flags = 0;
    std::memcpy(&flags, reply.data() + courier::kOffsetFlags, sizeof(flags));
    flags |= courier::kFlagReply;
    std::memcpy(reply.data() + courier::kOffsetFlags, &flags, sizeof(flags));
    return reply;
}

// Everything the bus's tap reported, in bus order.
struct TapEvent
{
    std::uint32_t kind;
    CourierHandle handle;
    std::uint32_t status;
    std::wstring name;
    std::wstring source;
    std::wstring payload;
};

class TapLog
{
public:
    explicit TapLog(const Courier& bus) : bus_(bus)
    {
        installed_ = bus_.setTap(&TapLog::callback, this) == 0;
    }
    ~TapLog() { stop(); }
    TapLog(const TapLog&) = delete;
    TapLog& operator=(const TapLog&) = delete;

    bool installed() const { return installed_; }
    void stop()
    {
        if (installed_)
        {
            bus_.setTap(nullptr, nullptr);
            installed_ = false;
        }
    }
    std::vector<TapEvent> events() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }
    std::size_t size() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return events_.size();
    }
    // Events for which `match` holds, asked of each in bus order. Cheap
    // enough to poll while the bus is busy: nothing is copied.
    template <typename Match> std::size_t count(Match match) const
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::size_t found = 0;
        for (const TapEvent& event : events_)
        {
            found += match(event) ? 1 : 0;
        }
        return found;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(lock_);
        events_.clear();
    }

private:
    static void callback(void* context, const CourierTapEvent* event)
    {
        auto* self = static_cast<TapLog*>(context);
        TapEvent copy{event->kind,
                      event->handle,
                      event->status,
                      event->name ? event->name : L"",
                      event->source ? event->source : L"",
                      event->payload ? event->payload : L""};
        std::lock_guard<std::mutex> guard(self->lock_);
        self->events_.push_back(std::move(copy));
    }

    const Courier& bus_;
    bool installed_ = false;
    mutable std::mutex lock_;
    std::vector<TapEvent> events_;
};

} // namespace integration
