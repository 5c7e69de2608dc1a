#pragma once

// A host bus of the benchmark's own, for benchmarks that call the module's
// message callback themselves: its table records the module's subscription to
// one message name and counts what the module publishes. Its handle is the
// object's address. Every entry may be called from several threads at once.

#include "HostLibraries.h"

#include "message/MessageBusFunctions.h"
#include "message/MessageContext.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>

namespace bench
{

class RecordingBus
{
public:
    explicit RecordingBus(const wchar_t* watchedName) : watchedName_(watchedName) {}
    RecordingBus(const RecordingBus&) = delete;
    RecordingBus& operator=(const RecordingBus&) = delete;

    void* handle() { return this; }
    const Norvan::MessageBusFunctionTable* table() const { return &kTable; }

    bool subscribed() const { return callback_ != nullptr; }
    long published() const { return published_.load(); }

    // What the host does for a message of the watched name: calls the
    // module's callback with the module's own context and a record of the
    // host's.
    std::uint32_t deliver(const wchar_t* name, const wchar_t* source, const wchar_t* payload) const
    {
        return callback_(context_, &record_, name, source, payload);
    }

private:
    static Norvan::MessageContext hostRecord()
    {
        Norvan::MessageContext record = Norvan::kDefaultMessageContext;
        record.totalSize = 200;
        return record;
    }
    static RecordingBus& of(Norvan::MessageBusHandle handle) { return *static_cast<RecordingBus*>(handle); }

    static std::uint32_t getHandle(Norvan::MessageBusHandle*) { return 0; }
    static std::uint32_t releaseHandle(Norvan::MessageBusHandle) { return 0; }
    static std::uint32_t publish(Norvan::MessageBusHandle handle, const void*, const wchar_t*, const wchar_t*,
                                 const wchar_t*)
    {
        ++of(handle).published_;
        return 0;
    }
    static std::uint32_t request(Norvan::MessageBusHandle, std::uint64_t, void*,
                                 Norvan::MessageBusReplyCallback, const void*, const wchar_t*, const wchar_t*,
                                 const wchar_t*, std::uint64_t)
    {
        return 0x80000001u;
    }
    static std::uint32_t subscribe(Norvan::MessageBusHandle handle, void* context,
                                   Norvan::MessageBusMessageCallback callback, const wchar_t* name)
    {
        RecordingBus& bus = of(handle);
        if (std::wcscmp(name, bus.watchedName_) == 0)
        {
            bus.callback_ = callback;
            bus.context_ = context;
        }
        return ++bus.nextId_;
    }
    static std::uint32_t unsubscribe(Norvan::MessageBusHandle, std::uint32_t) { return 0; }
    static std::uint32_t removeReply(Norvan::MessageBusHandle, Norvan::MessageBusReplyCallback) { return 0; }

    static constexpr Norvan::MessageBusFunctionTable kTable = {
        &getHandle, &releaseHandle, &publish,     &request, &subscribe,
        &subscribe, &unsubscribe,   &removeReply, &publish, &request};

    const wchar_t* watchedName_;
    const Norvan::MessageContext record_ = hostRecord();
    // Set while the module initialises, before any delivery.
    Norvan::MessageBusMessageCallback callback_ = nullptr;
    void* context_ = nullptr;
    std::atomic<std::uint32_t> nextId_{0};
    std::atomic<long> published_{0};
};

// Wardline.dll beside the benchmark and one module of it on a RecordingBus.
// When it did not start, ready() is false and what went wrong has been
// printed under the benchmark's name.
class ModuleOnRecordingBus
{
public:
    ModuleOnRecordingBus(const char* benchName, const wchar_t* watchedName)
        : wardline_(L"Wardline.dll"), bus_(watchedName)
    {
        const ModuleTable* table = wardlineTable(wardline_);
        if (table == nullptr)
        {
            std::printf("%s: Wardline.dll beside the benchmark cannot be loaded\n", benchName);
            return;
        }
        module_ = std::make_unique<HostedModule>(*table, bus_.handle(), bus_.table());
        if (module_->status != 0 || !bus_.subscribed())
        {
            std::printf("%s: the module did not start on the bus (status 0x%08X)\n", benchName,
                        static_cast<unsigned>(module_->status));
            module_.reset();
        }
    }

    bool ready() const { return module_ != nullptr; }
    RecordingBus& bus() { return bus_; }

private:
    // Destroyed in reverse: the module, its bus, the library.
    Library wardline_;
    RecordingBus bus_;
    std::unique_ptr<HostedModule> module_;
};

} // namespace bench
