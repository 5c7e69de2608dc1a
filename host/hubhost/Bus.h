#pragma once

#include "ContextRecord.h"
#include "Observed.h"
#include "Output.h"
#include "courier/CourierApi.h"
#include "courier/CourierBus.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>

namespace hubhost
{

// The outcome of one request as the host saw it.
struct RequestOutcome
{
    std::uint64_t index = 0;
    bool accepted = false;    // the bus's request entry returned 0
    std::uint32_t status = 0; // the entry's refusal, or the reply callback's status
    bool completed = false;   // the reply callback came
    unsigned callbacks = 0;   // more than one is a bus fault
    std::wstring name;        // of the reply message, when there is one
    std::wstring source;
    std::wstring payload;
    RecordView record;
};

// The host's side of Courier.dll: loading it, the host's own handles, the tap
// that shows every message, script requests and automatic responders.
class Bus
{
public:
    Bus(Output& output, Observed& observed);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // LoadLibraryW and CreateObject(2001000). False with a reason on failure.
    bool load(const std::wstring& path, std::string& error);
    const CourierFunctionTable* table() const { return m_table; }

    // The host's handle for sending, and the view of the traffic: the bus's
    // tap export when it has one (it also shows requests, replies and their
    // outcomes), else a pattern subscription on a second handle. An empty
    // pattern shows nothing.
    bool open(const std::wstring& tapPattern, std::string& error);
    bool usesTapExport() const { return m_setTap != nullptr && m_tapInstalled; }

    // Waits until the tap has shown everything the bus saw before this call,
    // by sending a marker through it (the tap reports events in order). False
    // when there is no tap to wait on or the marker did not come back in time.
    bool sync(std::uint32_t withinMs);

    // With `all`, every handled report is printed; by default only those
    // whose subscriber returned a non-zero status. `expect` sees them all.
    void showEveryHandled(bool all) { m_showEveryHandled = all; }

    // Names a handle in the traffic lines ("Wardline" instead of an address).
    void label(CourierHandle handle, const std::wstring& owner);

    // The bus's counters, when the library exports them.
    bool stats(CourierStats& stats) const;

    // A handle of its own for a module; false and the status when refused.
    bool newHandle(CourierHandle& handle, std::uint32_t& status);
    std::uint32_t releaseHandle(CourierHandle handle);

    std::uint32_t publish(const RecordOptions& options, bool extended, const std::wstring& name,
                          const std::wstring& source, const std::wstring& payload);

    // Blocks until the reply callback, or time-out plus a grace second.
    RequestOutcome request(const RecordOptions& options, bool extended, const std::wstring& name,
                           const std::wstring& source, const std::wstring& payload, std::uint64_t timeoutMs);

    // Answers every request for `name` with `payload` (a reply-flagged
    // publication carrying the request's routing). A second call for the same
    // name replaces the answer.
    bool respond(const std::wstring& name, const std::wstring& source, const std::wstring& payload,
                 std::uint32_t& status);
    bool stopResponding(const std::wstring& name);

    // Removes every subscription and the reply callback, releases the host's
    // handles and unloads the library. Safe to call twice.
    void close();

    // Faults of the bus itself that the host noticed (repeated or late reply
    // callbacks); they make the run fail.
    unsigned faults() const;

private:
    struct Pending
    {
        RequestOutcome outcome;
        bool abandoned = false;
    };
    struct Responder
    {
        Bus* bus = nullptr;
        std::wstring name;
        std::wstring source;
        std::wstring payload;
        std::uint32_t subscription = 0;
        bool active = true;
    };

    static CourierStatus tapCallback(void* context, const void* record, const wchar_t* name,
                                     const wchar_t* source, const wchar_t* payload);
    static CourierStatus respondCallback(void* context, const void* record, const wchar_t* name,
                                         const wchar_t* source, const wchar_t* payload);
    static CourierStatus replyCallback(void* context, std::uint64_t index, const void* record,
                                       const wchar_t* name, const wchar_t* source, const wchar_t* payload,
                                       CourierStatus status);

    static void tapExportCallback(void* context, const CourierTapEvent* event);
    void onTapEvent(const CourierTapEvent& event);
    void remember(BusEvent event);
    void rememberHandled(BusEvent event);
    std::wstring labelOf(CourierHandle handle) const;

    void onTap(const void* record, const wchar_t* name, const wchar_t* source, const wchar_t* payload);
    CourierStatus onRequest(Responder& responder, const void* record, const wchar_t* name);
    CourierStatus onReply(std::uint64_t index, const void* record, const wchar_t* name, const wchar_t* source,
                          const wchar_t* payload, CourierStatus status);
    void noteFault(const std::string& text);

    Output& m_output;
    Observed& m_observed;
    HMODULE m_library = nullptr;
    const CourierFunctionTable* m_table = nullptr;
    CourierHandle m_tapHandle = nullptr;
    CourierHandle m_sendHandle = nullptr;
    std::uint32_t m_tapSubscription = 0;
    CourierSetTapFn m_setTap = nullptr;
    CourierGetStatsFn m_getStats = nullptr;
    bool m_tapInstalled = false;
    bool m_showEveryHandled = false;
    std::unique_ptr<std::wregex> m_tapFilter;
    std::map<CourierHandle, std::wstring> m_labels;

    mutable std::mutex m_lock;
    std::condition_variable m_replied;
    std::uint64_t m_nextIndex = 1;
    std::map<std::uint64_t, std::shared_ptr<Pending>> m_pending;
    // Responders stay allocated until close: the bus may still be delivering
    // to one when the script withdraws it.
    std::list<Responder> m_responders;
    unsigned m_faults = 0;
    std::uint64_t m_syncSent = 0;
    std::uint64_t m_syncSeen = 0;
    std::condition_variable m_synced;
};

} // namespace hubhost
