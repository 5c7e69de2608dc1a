#include "CourierTestSupport.h"

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

using namespace courier;
using namespace courier::test;

namespace
{
// A subscriber that answers every message with a status chosen by its payload:
// "throw" throws, any other text is read as a hexadecimal status.
CourierStatus answerFromPayload(void*, const void*, const wchar_t*, const wchar_t*, const wchar_t* payload)
{
    if (std::wstring(payload) == L"throw")
    {
        throw std::runtime_error("handler failure");
    }
    return static_cast<CourierStatus>(std::wcstoul(payload, nullptr, 16));
}

struct Handled
{
    std::uint32_t kind;
    CourierHandle handle;
    std::uint32_t subscription;
    std::uint32_t status;
    std::wstring name;
    std::wstring payload;
    std::uint64_t routing;
    bool record;
};

struct HandledLog
{
    std::mutex lock;
    std::vector<Handled> events;
    std::atomic<int> handled{0};
    static void callback(void* context, const CourierTapEvent* event)
    {
        auto* self = static_cast<HandledLog*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.push_back({event->kind, event->handle, event->subscriptionId, event->status,
                                event->name ? event->name : L"<none>", event->payload ? event->payload : L"",
                                event->replyRouting, event->contextRecord != nullptr});
        if (event->kind == CourierTapHandled)
        {
            ++self->handled;
        }
    }
    std::vector<Handled> only(std::uint32_t kind)
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<Handled> found;
        for (const Handled& event : events)
        {
            if (event.kind == kind)
            {
                found.push_back(event);
            }
        }
        return found;
    }
};

class CourierTap : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_COURIER_LOADED(lib);
        ASSERT_EQ(publisher.status, 0u);
        ASSERT_EQ(subscriber.status, 0u);
    }
    void TearDown() override
    {
        if (lib.setTap != nullptr)
        {
            lib.setTap(nullptr, nullptr);
        }
    }
    CourierLibrary lib;
    BusHandle publisher{lib.table};
    BusHandle subscriber{lib.table};
};
} // namespace

// Each finished callback is reported with what it returned, by the handle and
// subscription that ran it, in the subscription's delivery order; other
// events are not given a status.
TEST_F(CourierTap, ReportsWhatEachCallbackReturned)
{
    const CourierFunctionTable& t = *lib.table;
    HandledLog log;
    ASSERT_EQ(lib.setTap(HandledLog::callback, &log), 0u);
    const std::uint32_t id = t.subscribe(subscriber, nullptr, answerFromPayload, L"Report");
    ASSERT_NE(id, 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Report", L"p", L"0"), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Report", L"p", L"80000006"), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Report", L"p", L"throw"), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Nobody", L"p", L"80000006"), 0u);
    ASSERT_TRUE(waitUntil([&] { return log.handled == 3; }));
    allowLateArrivals();
    ASSERT_EQ(lib.setTap(nullptr, nullptr), 0u);

    const std::vector<Handled> handled = log.only(CourierTapHandled);
    ASSERT_EQ(handled.size(), 3u);
    const std::uint32_t expected[] = {0u, 0x80000006u, kStatusUnknownException};
    const wchar_t* payloads[] = {L"0", L"80000006", L"throw"};
    for (std::size_t i = 0; i < handled.size(); ++i)
    {
        EXPECT_EQ(handled[i].status, expected[i]) << "delivery " << i;
        EXPECT_EQ(handled[i].payload, payloads[i]) << "delivery " << i;
        EXPECT_EQ(handled[i].name, L"Report");
        EXPECT_EQ(handled[i].handle, subscriber.handle) << "the subscriber's handle, not the publisher's";
        EXPECT_EQ(handled[i].subscription, id);
        EXPECT_TRUE(handled[i].record);
        EXPECT_EQ(handled[i].routing, 0u);
    }
    for (const Handled& publish : log.only(CourierTapPublish))
    {
        EXPECT_EQ(publish.status, 0u);
        EXPECT_EQ(publish.subscription, 0u);
    }
}

// A request's delivery is reported with the request's routing; a callback that
// ended while no tap was set is never reported later.
TEST_F(CourierTap, RequestsCarryTheirRoutingAndNothingIsReportedWithoutATap)
{
    const CourierFunctionTable& t = *lib.table;
    ASSERT_NE(t.subscribe(subscriber, nullptr, answerFromPayload, L"Ask"), 0u);
    CourierStats before{};
    ASSERT_EQ(lib.getStats(&before), 0u);
    ASSERT_EQ(t.publish(publisher, nullptr, L"Ask", L"p", L"80000002"), 0u);
    CourierStats now{};
    ASSERT_TRUE(waitUntil([&] { return lib.getStats(&now) == 0 && now.delivered == before.delivered + 1; }));

    HandledLog log;
    ASSERT_EQ(lib.setTap(HandledLog::callback, &log), 0u);
    struct Outcome
    {
        std::atomic<int> count{0};
        static CourierStatus callback(void* context, std::uint64_t, const void*, const wchar_t*,
                                      const wchar_t*, const wchar_t*, CourierStatus)
        {
            ++static_cast<Outcome*>(context)->count;
            return 0;
        }
    } outcome;
    ASSERT_EQ(t.request(publisher, 7, &outcome, Outcome::callback, nullptr, L"Ask", L"p", L"8000000A", 0),
              0u);
    ASSERT_TRUE(waitUntil([&] { return log.handled == 1 && outcome.count == 1; }));
    ASSERT_EQ(lib.setTap(nullptr, nullptr), 0u);

    const std::vector<Handled> handled = log.only(CourierTapHandled);
    ASSERT_EQ(handled.size(), 1u) << "the delivery before the tap was set must not show up";
    EXPECT_EQ(handled[0].status, 0x8000000Au);
    const std::vector<Handled> requests = log.only(CourierTapRequest);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(handled[0].routing, 0u);
    EXPECT_EQ(handled[0].routing, requests[0].routing);
}
