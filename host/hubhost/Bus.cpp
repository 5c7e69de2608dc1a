#include "Bus.h"

#include "Text.h"

#include <chrono>
#include <cstring>
#include <vector>

namespace hubhost
{

namespace
{
constexpr std::uint32_t kUnknownException = 0x8000000Fu;
constexpr std::uint32_t kInvalidParameter = 0x80000008u;
constexpr std::uint32_t kNotFound = 0x8000000Au;
// Sent by the host to itself; never printed and never seen by `expect`.
constexpr wchar_t kSyncName[] = L"Hubhost.Internal.Sync";
constexpr wchar_t kSyncSource[] = L"hubhost-sync";

std::wstring orEmpty(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}
} // namespace

Bus::Bus(Output& output, Observed& observed) : m_output(output), m_observed(observed) {}

Bus::~Bus()
{
    close();
}

bool Bus::load(const std::wstring& path, std::string& error)
{
    m_library = LoadLibraryW(path.c_str());
    if (m_library == nullptr)
    {
        error = "cannot load " + toUtf8(path) + " (Windows error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    const auto create = reinterpret_cast<CourierCreateObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(m_library, "CreateObject")));
    if (create == nullptr)
    {
        error = toUtf8(path) + " has no CreateObject export";
        return false;
    }
    // Extras of this bus library; a library without them still works.
    m_setTap = reinterpret_cast<CourierSetTapFn>(
        reinterpret_cast<void*>(GetProcAddress(m_library, "CourierSetTap")));
    m_getStats = reinterpret_cast<CourierGetStatsFn>(
        reinterpret_cast<void*>(GetProcAddress(m_library, "CourierGetStats")));
    m_table = create(courier::kInterfaceVersion);
    if (m_table == nullptr)
    {
        error = "CreateObject(" + std::to_string(courier::kInterfaceVersion) + ") of " + toUtf8(path) +
                " returned no table";
        return false;
    }
    return true;
}

bool Bus::open(const std::wstring& tapPattern, std::string& error)
{
    std::uint32_t status = 0;
    if (!newHandle(m_sendHandle, status))
    {
        error = "the bus refused a handle: " + statusText(status);
        return false;
    }
    label(m_sendHandle, L"hubhost");
    if (tapPattern.empty())
    {
        return true;
    }
    if (m_setTap != nullptr)
    {
        // The bus's tap shows everything; the pattern is applied here, with
        // the grammar and whole-name rule of the bus's own pattern subscriptions.
        if (tapPattern != L".*")
        {
            try
            {
                m_tapFilter.reset(new std::wregex(tapPattern, std::regex_constants::ECMAScript));
            }
            catch (const std::regex_error&)
            {
                error = "the tap pattern '" + toUtf8(tapPattern) + "' is not a valid regular expression";
                return false;
            }
        }
        status = m_setTap(&Bus::tapExportCallback, this);
        if (status != 0)
        {
            error = "the bus refused the tap: " + statusText(status);
            return false;
        }
        m_tapInstalled = true;
        return true;
    }
    if (!newHandle(m_tapHandle, status))
    {
        error = "the bus refused a handle: " + statusText(status);
        return false;
    }
    label(m_tapHandle, L"hubhost-tap");
    {
        m_tapSubscription =
            m_table->subscribeFilter(m_tapHandle, this, &Bus::tapCallback, tapPattern.c_str());
        if (m_tapSubscription == 0)
        {
            error = "the bus refused the tap subscription for pattern '" + toUtf8(tapPattern) + "'";
            return false;
        }
    }
    return true;
}

bool Bus::newHandle(CourierHandle& handle, std::uint32_t& status)
{
    handle = nullptr;
    status = m_table->getHandle(&handle);
    if (status != 0 || handle == nullptr)
    {
        if (status == 0)
        {
            status = kInvalidParameter; // "success" without a handle is no handle
        }
        handle = nullptr;
        return false;
    }
    return true;
}

std::uint32_t Bus::releaseHandle(CourierHandle handle)
{
    return m_table->releaseHandle(handle);
}

std::uint32_t Bus::publish(const RecordOptions& options, bool extended, const std::wstring& name,
                           const std::wstring& source, const std::wstring& payload)
{
    const std::vector<unsigned char> record = makeRecord(options, name, source, payload);
    const void* recordAddress = record.empty() ? nullptr : record.data();
    const auto entry = extended ? m_table->publishEx : m_table->publish;
    return entry(m_sendHandle, recordAddress, name.c_str(), source.c_str(), payload.c_str());
}

RequestOutcome Bus::request(const RecordOptions& options, bool extended, const std::wstring& name,
                            const std::wstring& source, const std::wstring& payload, std::uint64_t timeoutMs)
{
    auto pending = std::make_shared<Pending>();
    std::uint64_t index;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        index = m_nextIndex++;
        pending->outcome.index = index;
        // Registered before the call: the bus may answer before it returns.
        m_pending[index] = pending;
    }
    const std::vector<unsigned char> record = makeRecord(options, name, source, payload);
    const void* recordAddress = record.empty() ? nullptr : record.data();
    const auto entry = extended ? m_table->requestEx : m_table->request;
    const std::uint32_t status = entry(m_sendHandle, index, this, &Bus::replyCallback, recordAddress,
                                       name.c_str(), source.c_str(), payload.c_str(), timeoutMs);

    std::unique_lock<std::mutex> guard(m_lock);
    if (status != 0)
    {
        pending->outcome.status = status;
        // A refused request gets no callback; one that comes anyway is a fault
        // that onReply reports because the index is no longer pending.
        m_pending.erase(index);
        return pending->outcome;
    }
    pending->outcome.accepted = true;
    // The same patience as the module's own requests: the bus's time-out
    // plus one second for its answer to arrive.
    const std::uint64_t graceMs = timeoutMs > UINT64_MAX - 1000 ? UINT64_MAX : timeoutMs + 1000;
    const auto limit = std::chrono::milliseconds(static_cast<long long>(
        graceMs > static_cast<std::uint64_t>(INT32_MAX) ? static_cast<std::uint64_t>(INT32_MAX) : graceMs));
    m_replied.wait_for(guard, limit, [&] { return pending->outcome.completed; });
    if (!pending->outcome.completed)
    {
        // Left in the table: a late callback is then recognised and reported.
        pending->abandoned = true;
    }
    return pending->outcome;
}

bool Bus::respond(const std::wstring& name, const std::wstring& source, const std::wstring& payload,
                  std::uint32_t& status)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (Responder& responder : m_responders)
    {
        if (responder.active && responder.name == name)
        {
            responder.source = source;
            responder.payload = payload;
            status = 0;
            return true;
        }
    }
    m_responders.emplace_back();
    Responder& responder = m_responders.back();
    responder.bus = this;
    responder.name = name;
    responder.source = source;
    responder.payload = payload;
    responder.subscription =
        m_table->subscribe(m_sendHandle, &responder, &Bus::respondCallback, name.c_str());
    if (responder.subscription == 0)
    {
        responder.active = false;
        status = 0x80000002u;
        return false;
    }
    status = 0;
    return true;
}

bool Bus::stopResponding(const std::wstring& name)
{
    std::uint32_t subscription = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (Responder& responder : m_responders)
        {
            if (responder.active && responder.name == name)
            {
                responder.active = false;
                subscription = responder.subscription;
            }
        }
    }
    if (subscription == 0)
    {
        return false;
    }
    m_table->unsubscribe(m_sendHandle, subscription);
    return true;
}

bool Bus::sync(std::uint32_t withinMs)
{
    if (!m_tapInstalled)
    {
        return false;
    }
    std::uint64_t marker;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        marker = ++m_syncSent;
    }
    const std::wstring payload = std::to_wstring(marker);
    if (m_table->publish(m_sendHandle, nullptr, kSyncName, kSyncSource, payload.c_str()) != 0)
    {
        return false;
    }
    std::unique_lock<std::mutex> guard(m_lock);
    return m_synced.wait_for(guard, std::chrono::milliseconds(withinMs),
                             [&] { return m_syncSeen >= marker; });
}

void Bus::label(CourierHandle handle, const std::wstring& owner)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_labels[handle] = owner;
}

std::wstring Bus::labelOf(CourierHandle handle) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_labels.find(handle);
    if (found != m_labels.end())
    {
        return found->second;
    }
    return fromUtf8(hex64(reinterpret_cast<std::uintptr_t>(handle)));
}

bool Bus::stats(CourierStats& stats) const
{
    return m_getStats != nullptr && m_getStats(&stats) == 0;
}

void Bus::close()
{
    if (m_tapInstalled)
    {
        // Withdrawn before anything else: the tap prints through this object.
        m_setTap(nullptr, nullptr);
        m_tapInstalled = false;
    }
    if (m_table != nullptr)
    {
        if (m_tapHandle != nullptr)
        {
            if (m_tapSubscription != 0)
            {
                m_table->unsubscribe(m_tapHandle, m_tapSubscription);
            }
            m_table->releaseHandle(m_tapHandle);
        }
        if (m_sendHandle != nullptr)
        {
            for (Responder& responder : m_responders)
            {
                if (responder.active)
                {
                    m_table->unsubscribe(m_sendHandle, responder.subscription);
                    responder.active = false;
                }
            }
            m_table->removeReplyCallback(m_sendHandle, &Bus::replyCallback);
            m_table->releaseHandle(m_sendHandle);
        }
    }
    m_tapHandle = nullptr;
    m_sendHandle = nullptr;
    m_tapSubscription = 0;
    m_table = nullptr;
    if (m_library != nullptr)
    {
        const auto release = reinterpret_cast<CourierReleaseObjectFn>(
            reinterpret_cast<void*>(GetProcAddress(m_library, "ReleaseObject")));
        if (release != nullptr)
        {
            release();
        }
        FreeLibrary(m_library);
        m_library = nullptr;
    }
}

unsigned Bus::faults() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_faults;
}

CourierStatus Bus::tapCallback(void* context, const void* record, const wchar_t* name, const wchar_t* source,
                               const wchar_t* payload)
{
    // Nothing may be thrown into the bus's threads.
    try
    {
        static_cast<Bus*>(context)->onTap(record, name, source, payload);
        return 0;
    }
    catch (...)
    {
        return kUnknownException;
    }
}

CourierStatus Bus::respondCallback(void* context, const void* record, const wchar_t* name,
                                   const wchar_t* source, const wchar_t* payload)
{
    try
    {
        Responder* responder = static_cast<Responder*>(context);
        return responder->bus->onRequest(*responder, record, name);
    }
    catch (...)
    {
        return kUnknownException;
    }
}

CourierStatus Bus::replyCallback(void* context, std::uint64_t index, const void* record, const wchar_t* name,
                                 const wchar_t* source, const wchar_t* payload, CourierStatus status)
{
    if (context == nullptr)
    {
        return kInvalidParameter;
    }
    try
    {
        return static_cast<Bus*>(context)->onReply(index, record, name, source, payload, status);
    }
    catch (...)
    {
        return kUnknownException;
    }
}

void Bus::onTap(const void* record, const wchar_t* name, const wchar_t* source, const wchar_t* payload)
{
    BusEvent event;
    event.name = orEmpty(name);
    event.source = orEmpty(source);
    event.payload = orEmpty(payload);
    event.record = readRecord(record);
    // A subscription sees requests (they carry routing) and plain messages;
    // replies go to their requester only.
    if ((event.record.flags & courier::kFlagReply) != 0)
    {
        event.kind = EventKind::Reply;
    }
    else if (event.record.replyRouting != 0)
    {
        event.kind = EventKind::Request;
    }
    remember(std::move(event));
}

void Bus::tapExportCallback(void* context, const CourierTapEvent* event)
{
    if (context == nullptr || event == nullptr)
    {
        return;
    }
    try
    {
        static_cast<Bus*>(context)->onTapEvent(*event);
    }
    catch (...)
    {
        // The tap has no status to give back; a line lost to a failed
        // allocation is the price of never throwing into the bus.
    }
}

void Bus::onTapEvent(const CourierTapEvent& tap)
{
    BusEvent event;
    event.kind = static_cast<EventKind>(tap.kind);
    event.sender = labelOf(tap.handle);
    event.requestIndex = tap.requestIndex;
    event.receivers = tap.receivers;
    event.status = tap.kind == CourierTapHandled ? tap.status : 0;
    event.name = orEmpty(tap.name);
    event.source = orEmpty(tap.source);
    event.payload = orEmpty(tap.payload);
    event.record = readRecord(tap.contextRecord);
    remember(std::move(event));
}

void Bus::remember(BusEvent event)
{
    if (event.kind == EventKind::Handled && event.name == kSyncName && event.source == kSyncSource)
    {
        return; // someone's catch-all subscription got the host's own marker
    }
    if (event.kind == EventKind::Publish && event.name == kSyncName && event.source == kSyncSource)
    {
        std::uint64_t marker = 0;
        for (const wchar_t c : event.payload)
        {
            marker = marker * 10 + static_cast<std::uint64_t>(c >= L'0' && c <= L'9' ? c - L'0' : 0);
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_syncSeen = marker > m_syncSeen ? marker : m_syncSeen;
        }
        m_synced.notify_all();
        return;
    }
    // Outcomes without a message (time-outs, no subscribers) always pass: they
    // answer a request the script may be waiting on.
    if (m_tapFilter && !event.name.empty() && !std::regex_match(event.name, *m_tapFilter))
    {
        return;
    }
    const bool replyFlag = (event.record.flags & courier::kFlagReply) != 0;
    if (event.kind == EventKind::Handled)
    {
        rememberHandled(std::move(event));
        return;
    }
    std::string text = "[bus] ";
    switch (event.kind)
    {
    case EventKind::Publish:
        break;
    case EventKind::Request:
        text += "(request";
        text += event.requestIndex != 0 ? " #" + std::to_string(event.requestIndex) : std::string();
        text += ") ";
        break;
    case EventKind::Reply:
        text += "(reply) ";
        break;
    case EventKind::ReplyDropped:
        text += "(reply dropped: no pending request) ";
        break;
    case EventKind::Timeout:
        text +=
            "(request #" + std::to_string(event.requestIndex) + " of " + toUtf8(event.sender) + " timed out)";
        break;
    case EventKind::NoSubscribers:
        text += "(request #" + std::to_string(event.requestIndex) + " of " + toUtf8(event.sender) +
                ": no subscribers)";
        break;
    default:
        text += "(event " + std::to_string(static_cast<std::uint32_t>(event.kind)) + ") ";
        break;
    }
    if (event.kind != EventKind::Timeout && event.kind != EventKind::NoSubscribers)
    {
        text += toUtf8(event.name) + " from \"" + toUtf8(event.source) + "\": " + toUtf8(event.payload);
        if (event.record.session != 0)
        {
            text += "  (session " + std::to_string(event.record.session) + ")";
        }
        if (!event.record.present)
        {
            text += "  (no context record)";
        }
        if (event.kind == EventKind::Publish && m_tapInstalled && event.receivers == 0)
        {
            text += "  (no receivers)";
        }
    }
    Output::Json json("bus");
    json.str8("kind", kindName(event.kind)).str("name", event.name).str("source", event.source);
    json.str("payload", event.payload).boolean("reply", replyFlag).num("flags", event.record.flags);
    json.num("session", event.record.session).boolean("record", event.record.present);
    json.str("sender", event.sender).num("request", event.requestIndex).num("receivers", event.receivers);
    m_output.emit(text, json.done());
    m_observed.add(std::move(event));
}

void Bus::rememberHandled(BusEvent event)
{
    // Successes are the normal case and would double every line of traffic;
    // they are kept for `expect` and printed only on request.
    if (event.status != 0 || m_showEveryHandled)
    {
        std::string text = "[bus] handled " + toUtf8(event.name) + " by " + toUtf8(event.sender) + " -> " +
                           statusText(event.status);
        if (event.record.replyRouting != 0 && (event.record.flags & courier::kFlagReply) == 0)
        {
            text += "  (request)";
        }
        Output::Json json("bus");
        json.str8("kind", kindName(event.kind)).str("name", event.name).str("source", event.source);
        json.str("payload", event.payload).str("handler", event.sender).status("status", event.status);
        m_output.emit(text, json.done());
    }
    m_observed.add(std::move(event));
}

CourierStatus Bus::onRequest(Responder& responder, const void* record, const wchar_t* name)
{
    const RecordView view = readRecord(record);
    // Only requests are answered: a plain publication of the same name, or
    // the non-reply copy of someone's answer, has no requester to route to.
    if (!view.present || view.replyRouting == 0 || (view.flags & courier::kFlagReply) != 0)
    {
        return 0;
    }
    std::wstring source;
    std::wstring payload;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!responder.active)
        {
            return 0;
        }
        source = responder.source;
        payload = responder.payload;
    }
    const std::wstring replyName = orEmpty(name);
    const std::vector<unsigned char> reply = makeReplyRecord(record, replyName, source, payload);
    const std::uint32_t status =
        m_table->publish(m_sendHandle, reply.data(), replyName.c_str(), source.c_str(), payload.c_str());
    std::string text = "[respond] " + toUtf8(replyName) + " answered: " + statusText(status);
    Output::Json json("respond");
    json.str("name", replyName).str("payload", payload).status("status", status);
    m_output.emit(text, json.done());
    return 0;
}

CourierStatus Bus::onReply(std::uint64_t index, const void* record, const wchar_t* name,
                           const wchar_t* source, const wchar_t* payload, CourierStatus status)
{
    std::shared_ptr<Pending> pending;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = m_pending.find(index);
        if (found != m_pending.end())
        {
            pending = found->second;
        }
        if (pending && !pending->outcome.completed && !pending->abandoned)
        {
            RequestOutcome& outcome = pending->outcome;
            outcome.completed = true;
            outcome.callbacks = 1;
            outcome.status = status;
            if (status == 0)
            {
                outcome.name = orEmpty(name);
                outcome.source = orEmpty(source);
                outcome.payload = orEmpty(payload);
                outcome.record = readRecord(record);
            }
            m_pending.erase(found);
            m_replied.notify_all();
            return 0;
        }
        if (pending)
        {
            m_pending.erase(found);
        }
    }
    if (pending && pending->abandoned)
    {
        noteFault("reply callback for request #" + std::to_string(index) + " came after the host gave up (" +
                  statusText(status) + ")");
    }
    else
    {
        noteFault("reply callback for request #" + std::to_string(index) +
                  " that is not pending (refused, or already answered): " + statusText(status));
    }
    return kNotFound;
}

void Bus::noteFault(const std::string& text)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_faults;
    }
    Output::Json json("bus-fault");
    json.str8("text", text);
    m_output.emit("[bus-fault] " + text, json.done());
}

} // namespace hubhost
