#include "Observed.h"

namespace hubhost
{

namespace
{
const char* const kKindNames[] = {"publish", "request",        "reply",  "reply-dropped",
                                  "timeout", "no-subscribers", "handled"};
constexpr std::uint32_t kKindCount = sizeof(kKindNames) / sizeof(kKindNames[0]);
} // namespace

const char* kindName(EventKind kind)
{
    const auto index = static_cast<std::uint32_t>(kind);
    return index >= 1 && index <= kKindCount ? kKindNames[index - 1] : "unknown";
}

bool parseKind(const std::string& text, EventKind& kind)
{
    for (std::uint32_t index = 1; index <= kKindCount; ++index)
    {
        if (text == kKindNames[index - 1])
        {
            kind = static_cast<EventKind>(index);
            return true;
        }
    }
    return false;
}

void Observed::add(BusEvent event)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        event.sequence = m_nextSequence++;
        m_events.push_back(std::move(event));
    }
    m_changed.notify_all();
}

bool Observed::take(const Match& match, std::chrono::milliseconds within, bool nextOnly, BusEvent& found)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;)
    {
        for (BusEvent& event : m_events)
        {
            if (event.consumed)
            {
                continue;
            }
            if (match(event))
            {
                event.consumed = true;
                found = event;
                return true;
            }
            if (nextOnly && event.kind != EventKind::Handled)
            {
                event.consumed = true;
                found = event;
                return false;
            }
        }
        if (m_changed.wait_until(guard, deadline) == std::cv_status::timeout)
        {
            // One last look: an event may have come with the time-out.
            if (consumeFirst(match, found))
            {
                return true;
            }
            found = BusEvent();
            return false;
        }
    }
}

bool Observed::absent(const Match& match, std::chrono::milliseconds within, BusEvent& found)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    std::unique_lock<std::mutex> guard(m_lock);
    while (!consumeFirst(match, found))
    {
        if (m_changed.wait_until(guard, deadline) == std::cv_status::timeout)
        {
            return !consumeFirst(match, found);
        }
    }
    return false;
}

bool Observed::consumeFirst(const Match& match, BusEvent& found)
{
    for (BusEvent& event : m_events)
    {
        if (!event.consumed && match(event))
        {
            event.consumed = true;
            found = event;
            return true;
        }
    }
    return false;
}

void Observed::clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (BusEvent& event : m_events)
    {
        event.consumed = true;
    }
}

std::size_t Observed::unconsumed() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::size_t count = 0;
    for (const BusEvent& event : m_events)
    {
        count += event.consumed ? 0 : 1;
    }
    return count;
}

} // namespace hubhost
