#pragma once

// What the host hands the module, played in process: a bus function table
// that records subscriptions, publications and requests, and context records
// placed right before a page the process may not touch, so that a module
// reading one byte past the record the host owns crashes on the spot.

#include "Fuzz.h"

#include "message/MessageBusFunctions.h"
#include "message/MessageContext.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace WardlineFuzz
{

class FakeHostBus
{
public:
    struct Subscription
    {
        std::uint32_t id = 0;
        void* context = nullptr;
        Norvan::MessageBusMessageCallback callback = nullptr;
        std::wstring name;
        bool pattern = false;
    };
    struct Published
    {
        std::wstring name;
        std::wstring source;
        std::wstring payload;
        Norvan::MessageContext context{};
    };
    struct Request
    {
        std::uint64_t index = 0;
        void* replyContext = nullptr;
        Norvan::MessageBusReplyCallback callback = nullptr;
        std::wstring name;
        std::wstring payload;
        std::uint64_t timeoutMs = 0;
    };

    std::vector<Subscription> subscriptions;
    std::vector<Published> published;
    std::vector<Request> requests;
    std::uint32_t publishStatus = 0;
    std::uint32_t requestStatus = 0;
    // Called for each accepted request before request() returns: a host
    // that answers at once, from inside the call.
    std::function<void(const Request&)> onRequest;
    unsigned replyCallbackRemovals = 0;

    Norvan::MessageBusHandle handle() { return this; }
    static const Norvan::MessageBusFunctionTable* functions();

    const Subscription* find(const std::wstring& name) const
    {
        for (const Subscription& s : subscriptions)
        {
            if (s.name == name)
            {
                return &s;
            }
        }
        return nullptr;
    }

private:
    static FakeHostBus& of(Norvan::MessageBusHandle handle) { return *static_cast<FakeHostBus*>(handle); }
    static std::wstring text(const wchar_t* value) { return value != nullptr ? value : L"(null)"; }

    static std::uint32_t getHandle(Norvan::MessageBusHandle*) { return 0x80000001u; }
    static std::uint32_t releaseHandle(Norvan::MessageBusHandle) { return 0; }
    static std::uint32_t publish(Norvan::MessageBusHandle handle, const void* record, const wchar_t* name,
                                 const wchar_t* source, const wchar_t* payload)
    {
        Published p;
        p.name = text(name);
        p.source = text(source);
        p.payload = text(payload);
        if (record != nullptr)
        {
            std::memcpy(&p.context, record, sizeof(p.context));
        }
        of(handle).published.push_back(std::move(p));
        return of(handle).publishStatus;
    }
    static std::uint32_t request(Norvan::MessageBusHandle handle, std::uint64_t index, void* replyContext,
                                 Norvan::MessageBusReplyCallback callback, const void*, const wchar_t* name,
                                 const wchar_t*, const wchar_t* payload, std::uint64_t timeoutMs)
    {
        FakeHostBus& bus = of(handle);
        if (bus.requestStatus != 0)
        {
            return bus.requestStatus;
        }
        bus.requests.push_back(Request{index, replyContext, callback, text(name), text(payload), timeoutMs});
        if (bus.onRequest)
        {
            const Request accepted = bus.requests.back();
            bus.onRequest(accepted);
        }
        return 0;
    }
    std::uint32_t add(void* context, Norvan::MessageBusMessageCallback callback, const wchar_t* name,
                      bool pattern)
    {
        const std::uint32_t id = static_cast<std::uint32_t>(subscriptions.size() + 1);
        subscriptions.push_back(Subscription{id, context, callback, text(name), pattern});
        return id;
    }
    static std::uint32_t subscribe(Norvan::MessageBusHandle handle, void* context,
                                   Norvan::MessageBusMessageCallback callback, const wchar_t* name)
    {
        return of(handle).add(context, callback, name, false);
    }
    static std::uint32_t subscribeFilter(Norvan::MessageBusHandle handle, void* context,
                                         Norvan::MessageBusMessageCallback callback, const wchar_t* pattern)
    {
        return of(handle).add(context, callback, pattern, true);
    }
    static std::uint32_t unsubscribe(Norvan::MessageBusHandle handle, std::uint32_t id)
    {
        for (Subscription& s : of(handle).subscriptions)
        {
            if (s.id == id)
            {
                s.context = nullptr;
                s.callback = nullptr;
            }
        }
        return 0;
    }
    static std::uint32_t removeReplyCallback(Norvan::MessageBusHandle handle, Norvan::MessageBusReplyCallback)
    {
        ++of(handle).replyCallbackRemovals;
        return 0;
    }
};

inline const Norvan::MessageBusFunctionTable* FakeHostBus::functions()
{
    static const Norvan::MessageBusFunctionTable table = {
        &FakeHostBus::getHandle,   &FakeHostBus::releaseHandle,       &FakeHostBus::publish,
        &FakeHostBus::request,     &FakeHostBus::subscribe,           &FakeHostBus::subscribeFilter,
        &FakeHostBus::unsubscribe, &FakeHostBus::removeReplyCallback, &FakeHostBus::publish,
        &FakeHostBus::request,
    };
    return &table;
}

// The three strings of a host call, each passed or null as the bits of a
// mask say (1 name, 2 source, 4 payload), and what the module reads of them:
// up to the first NUL, nothing for a null pointer.
class HostStrings
{
public:
    HostStrings(std::wstring name, std::wstring source, std::wstring payload, std::uint64_t nulls)
        : name_(std::move(name)), source_(std::move(source)), payload_(std::move(payload)), nulls_(nulls)
    {
    }
    const wchar_t* name() const { return (nulls_ & 1) ? nullptr : name_.c_str(); }
    const wchar_t* source() const { return (nulls_ & 2) ? nullptr : source_.c_str(); }
    const wchar_t* payload() const { return (nulls_ & 4) ? nullptr : payload_.c_str(); }
    bool anyNull() const { return (nulls_ & 7) != 0; }
    std::wstring seenName() const { return name() ? upToNul(name_) : std::wstring(); }
    std::wstring seenSource() const { return source() ? upToNul(source_) : std::wstring(); }
    std::wstring seenPayload() const { return payload() ? upToNul(payload_) : std::wstring(); }
    const std::wstring& givenPayload() const { return payload_; }

private:
    std::wstring name_;
    std::wstring source_;
    std::wstring payload_;
    std::uint64_t nulls_;
};

// One context record at the very end of a readable page, followed by a page
// without access.
class GuardedRecord
{
public:
    GuardedRecord()
    {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ =
            static_cast<BYTE*>(::VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        ::VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
    }
    ~GuardedRecord() { ::VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedRecord(const GuardedRecord&) = delete;
    GuardedRecord& operator=(const GuardedRecord&) = delete;

    // The record the host owns for these bytes: 108 bytes for version 2, the
    // 100 bytes of a version 1 record for every other version. Null for no
    // bytes at all (the host passes no record).
    const void* place(const std::string& bytes)
    {
        if (bytes.empty())
        {
            return nullptr;
        }
        std::string record = bytes;
        record.resize(offsetof(Norvan::MessageContext, version) + 2, '\0');
        std::uint16_t version = 0;
        std::memcpy(&version, record.data() + offsetof(Norvan::MessageContext, version), 2);
        const std::size_t size = version == Norvan::kMessageContextVersion2 ? Norvan::kMessageContextSizeV2
                                                                            : Norvan::kMessageContextSizeV1;
        record = bytes;
        record.resize(size, '\0');
        BYTE* at = base_ + page_ - size;
        std::memcpy(at, record.data(), size);
        return at;
    }

private:
    BYTE* base_ = nullptr;
    DWORD page_ = 4096;
};

// A record as the host might send one: the default record with some fields
// changed and a version from the interesting ones.
inline std::string generateRecord(Rng& rng)
{
    Norvan::MessageContext record = Norvan::kDefaultMessageContext;
    record.kind = static_cast<std::uint16_t>(rng.chance(70) ? 1 : rng.next());
    record.totalSize = static_cast<std::uint32_t>(rng.chance(50) ? 130 : rng.next());
    record.flags =
        static_cast<std::uint32_t>(rng.chance(50) ? 0 : (rng.chance(50) ? rng.below(32) : rng.next()));
    static const std::vector<std::uint16_t> versions = {1, 2, 2, 0, 3, 0xFFFF};
    record.version = rng.chance(90) ? rng.pick(versions) : static_cast<std::uint16_t>(rng.next());
    for (auto& b : record.hostData)
    {
        b = static_cast<std::uint8_t>(rng.chance(80) ? 0 : rng.next());
    }
    record.replyRouting = rng.chance(50) ? 0 : rng.next();
    record.extensionTag = static_cast<std::uint16_t>(rng.chance(70) ? 11 : rng.next());
    record.extensionLength = static_cast<std::uint16_t>(rng.chance(70) ? 8 : rng.next());
    record.sessionId = static_cast<std::uint32_t>(rng.chance(60) ? 0 : rng.below(4));
    std::string bytes(reinterpret_cast<const char*>(&record), sizeof(record));
    return bytes;
}

} // namespace WardlineFuzz
