#pragma once

#include "ContextRecord.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace hubhost
{

// What the bus did, as its tap reports it (the values of CourierTapKind).
enum class EventKind : std::uint32_t
{
    Publish = 1,
    Request = 2,
    Reply = 3,
    ReplyDropped = 4,
    Timeout = 5,
    NoSubscribers = 6,
    Handled = 7, // a subscriber's callback returned; status says what
};

const char* kindName(EventKind kind);
bool parseKind(const std::string& text, EventKind& kind);

struct BusEvent
{
    std::uint64_t sequence = 0;
    EventKind kind = EventKind::Publish;
    std::wstring sender; // the handle's owner: hubhost or a module's name
    std::uint64_t requestIndex = 0;
    std::uint32_t receivers = 0;
    std::uint32_t status = 0; // Handled: what the subscriber returned
    std::wstring name;
    std::wstring source;
    std::wstring payload;
    RecordView record;
    bool consumed = false;
};

// Every message the tap saw, in arrival order, for `expect` to search. An
// expectation consumes the message it matched, so two identical expectations
// need two messages.
class Observed
{
public:
    using Match = std::function<bool(const BusEvent&)>;

    void add(BusEvent event);

    // Waits until an unconsumed event satisfies `match` or the time is up. With
    // `nextOnly`, only the oldest unconsumed event counts: a different one
    // there is a mismatch. Handled reports do not take part in that order
    // (they come whenever a callback returns) unless `match` wants them. The matched event is consumed and
    // copied out.
    bool take(const Match& match, std::chrono::milliseconds within, bool nextOnly, BusEvent& found);

    // Waits the whole time; true when no unconsumed event matched. A match
    // is copied out and consumed, so that one stray message fails only once.
    bool absent(const Match& match, std::chrono::milliseconds within, BusEvent& found);

    // Consumes everything seen so far.
    void clear();

    std::size_t unconsumed() const;

private:
    // With the lock held: consumes and copies out the oldest unconsumed event
    // that matches.
    bool consumeFirst(const Match& match, BusEvent& found);

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<BusEvent> m_events;
    std::uint64_t m_nextSequence = 1;
};

} // namespace hubhost
