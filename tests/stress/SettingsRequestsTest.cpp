// Many settings requests at once through the module's bus client (and some
// through its settings client) on the real bus, answered by a settings
// manager that answers some at once, some late, some twice and some never,
// while clients with requests in flight are destroyed. Every wait must end
// with a final status by its deadline, every reply must belong to its
// request, and nothing may be kept afterwards.

#include "StressSupport.h"

#include "integration/HostSupport.h"
#include "support/ProcessResources.h"

#include "message/Message.h"
#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"
#include "message/Reply.h"
#include "settings/SettingsManagerClient.h"
#include "wrappers/Sync.h"

#include <condition_variable>
#include <cwchar>
#include <map>

using namespace integration;
using Clock = std::chrono::steady_clock;
using Stress::Random;
using Stress::Track;

namespace
{

const wchar_t kGetProperty[] = L"SETTINGS_MANAGER_GET_PROPERTY";

enum class Answer
{
    AtOnce,
    Late,      // after a delay that may pass the time-out
    Twice,     // at once and again a little later
    Never,     // the bus times the request out
    Abandoned, // late, after its client has been destroyed
};

struct Plan
{
    Answer answer;
    std::uint32_t timeoutMs;
    std::uint32_t delayMs;
};

// The same for the requester and the settings manager, from the request's
// thread and number alone.
Plan planOf(std::uint64_t seed, std::uint32_t thread, std::uint32_t item)
{
    Random random(seed ^ (static_cast<std::uint64_t>(thread) << 32) ^ item);
    random.next();
    const std::uint32_t pick = random.below(100);
    Plan plan{};
    plan.timeoutMs = random.below(401);
    plan.delayMs = random.below(600);
    plan.answer = pick < 40   ? Answer::AtOnce
                  : pick < 60 ? Answer::Late
                  : pick < 75 ? Answer::Twice
                  : pick < 90 ? Answer::Never
                              : Answer::Abandoned;
    if (plan.answer == Answer::Abandoned)
    {
        // Still pending when the client goes, and answered only after that.
        plan.timeoutMs = 3000 + random.below(1000);
        plan.delayMs = 500 + random.below(500);
    }
    return plan;
}

std::wstring propertyName(std::uint32_t thread, std::uint32_t item)
{
    return L"stress." + std::to_wstring(thread) + L"." + std::to_wstring(item);
}

std::wstring requestPayload(std::uint32_t thread, std::uint32_t item)
{
    return L"{\"name\":\"" + propertyName(thread, item) + L"\"}";
}

std::wstring replyPayload(std::uint32_t thread, std::uint32_t item)
{
    return L"{\"name\":\"" + propertyName(thread, item) + L"\",\"status\":true,\"value\":\"" +
           std::to_wstring(thread) + L"." + std::to_wstring(item) + L"\"}";
}

// The settings manager of this load: answers each request as its plan says.
// Its callback never blocks (a blocked callback would hold back every
// request queued behind it); late answers go out from a thread of its own.
class PlannedSettingsManager
{
public:
    PlannedSettingsManager(const Courier& bus, std::uint64_t seed, Track& track)
        : bus_(bus), handle_(bus.table), seed_(seed), track_(track)
    {
        track_.idle("answering requests");
        sender_ = std::thread([this] { sendLate(); });
        id_ = bus.table->subscribe(handle_, this, &PlannedSettingsManager::callback, kGetProperty);
    }
    ~PlannedSettingsManager()
    {
        if (id_ != 0)
        {
            bus_.table->unsubscribe(handle_, id_);
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        sender_.join();
    }
    PlannedSettingsManager(const PlannedSettingsManager&) = delete;
    PlannedSettingsManager& operator=(const PlannedSettingsManager&) = delete;

    bool subscribed() const { return id_ != 0; }
    std::uint64_t unreadable() const { return unreadable_; }
    // True once no late answer is waiting to go out.
    bool idle()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return late_.empty() && !sending_;
    }

private:
    struct LateAnswer
    {
        std::vector<unsigned char> record;
        std::wstring payload;
    };

    static CourierStatus callback(void* context, const void* record, const wchar_t*, const wchar_t*,
                                  const wchar_t* payload)
    {
        return static_cast<PlannedSettingsManager*>(context)->onRequest(record, payload);
    }

    CourierStatus onRequest(const void* record, const wchar_t* payload)
    {
        track_.tick();
        unsigned thread = 0;
        unsigned item = 0;
        if (payload == nullptr || std::swscanf(payload, L"{\"name\":\"stress.%u.%u\"}", &thread, &item) != 2)
        {
            ++unreadable_;
            return 0x80000006u;
        }
        const Plan plan = planOf(seed_, thread, item);
        const std::vector<unsigned char> reply = replyRecordFor(record);
        const std::wstring answer = replyPayload(thread, item);
        switch (plan.answer)
        {
        case Answer::AtOnce:
            send(reply, answer);
            break;
        case Answer::Twice:
            send(reply, answer);
            later(reply, answer, plan.delayMs % 50);
            break;
        case Answer::Late:
        case Answer::Abandoned:
            later(reply, answer, plan.delayMs);
            break;
        case Answer::Never:
            break;
        }
        return 0;
    }

    void send(const std::vector<unsigned char>& record, const std::wstring& payload)
    {
        bus_.table->publish(handle_, record.data(), kGetProperty, L"SettingsManager", payload.c_str());
    }

    void later(std::vector<unsigned char> record, std::wstring payload, std::uint32_t delayMs)
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            late_.emplace(Clock::now() + std::chrono::milliseconds(delayMs),
                          LateAnswer{std::move(record), std::move(payload)});
        }
        wake_.notify_all();
    }

    void sendLate()
    {
        std::unique_lock<std::mutex> lock(lock_);
        for (;;)
        {
            if (stop_)
            {
                return;
            }
            if (late_.empty())
            {
                wake_.wait(lock);
                continue;
            }
            const auto due = late_.begin()->first;
            if (Clock::now() < due)
            {
                wake_.wait_until(lock, due);
                continue;
            }
            LateAnswer answer = std::move(late_.begin()->second);
            late_.erase(late_.begin());
            sending_ = true;
            lock.unlock();
            send(answer.record, answer.payload);
            track_.tick();
            lock.lock();
            sending_ = false;
        }
    }

    const Courier& bus_;
    Handle handle_;
    std::uint64_t seed_;
    Track& track_;
    std::uint32_t id_ = 0;
    std::atomic<std::uint64_t> unreadable_{0};
    std::mutex lock_;
    std::condition_variable wake_;
    std::multimap<Clock::time_point, LateAnswer> late_;
    bool sending_ = false;
    bool stop_ = false;
    std::thread sender_;
};

// One bus client of the module on a handle of its own, as each client has.
struct Client
{
    explicit Client(const Courier& bus) : handle(bus.table)
    {
        auto shim = std::make_shared<Norvan::MessageBusShimImpl>(
            handle.handle, reinterpret_cast<const Norvan::MessageBusFunctionTable*>(bus.table));
        client = std::make_shared<Norvan::MessageBusClient>(shim, nullptr);
    }
    ~Client() { client.reset(); } // before the handle goes
    Handle handle;
    std::shared_ptr<Norvan::MessageBusClient> client;
};

struct Outcomes
{
    // A slim lock: it creates no kernel object on contention, which would
    // show among the handles counted.
    Norvan::srw_mutex lock;
    std::map<Norvan::ReplyStatus, std::uint64_t> byStatus;
    std::uint64_t requests = 0;
    std::uint64_t settingsReads = 0;
    std::uint64_t settingsValues = 0; // reads that gave a value
    std::int64_t worstOverDeadlineMs = 0;
    std::vector<std::string> wrong;

    void fail(const std::string& what)
    {
        if (wrong.size() < 20)
        {
            wrong.push_back(what);
        }
    }
};

// What one request's wait must give: a final status by the deadline (time-out
// plus one second from its acceptance, or at once for a wait that starts
// later); a time-out not before the time-out; a reply only when one was
// sent, and then exactly the one for this request; a data error only for a
// request whose client was destroyed.
struct InFlight
{
    std::uint32_t item;
    Plan plan;
    Clock::time_point sent;
    Clock::time_point accepted;
    std::shared_ptr<Norvan::Reply> reply;
};

void check(InFlight& request, std::uint32_t thread, Outcomes& outcomes)
{
    // Bounds with slack for a loaded machine: correctness, not speed.
    const auto kDeadlineSlack = std::chrono::milliseconds(2000);
    const auto kClockSlack = std::chrono::milliseconds(20);

    const Clock::time_point waitStarted = Clock::now();
    const Norvan::ReplyStatus status = request.reply->wait();
    const Clock::time_point ended = Clock::now();
    const auto deadline = request.accepted + std::chrono::milliseconds(request.plan.timeoutMs + 1000);
    const auto over = ended - std::max(deadline, waitStarted);
    const std::string what = "request " + std::to_string(thread) + "." + std::to_string(request.item) +
                             " (answer " + std::to_string(static_cast<int>(request.plan.answer)) +
                             ", time-out " + std::to_string(request.plan.timeoutMs) + " ms, delay " +
                             std::to_string(request.plan.delayMs) + " ms) ended with " +
                             std::to_string(status);

    std::lock_guard<Norvan::srw_mutex> guard(outcomes.lock);
    ++outcomes.requests;
    ++outcomes.byStatus[status];
    outcomes.worstOverDeadlineMs = std::max<std::int64_t>(
        outcomes.worstOverDeadlineMs, std::chrono::duration_cast<std::chrono::milliseconds>(over).count());
    if (over > kDeadlineSlack)
    {
        outcomes.fail(what + " " +
                      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(over).count()) +
                      " ms after its deadline");
    }
    const bool abandoned = request.plan.answer == Answer::Abandoned;
    switch (status)
    {
    case Norvan::REPLY_STATUS_RECEIVED:
    {
        std::shared_ptr<Norvan::Message> message;
        request.reply->getReplyMessage(message);
        if (request.plan.answer == Answer::Never)
        {
            outcomes.fail(what + ": a reply came for a request that was never answered");
        }
        else if (!message || message->getPayload() != replyPayload(thread, request.item))
        {
            outcomes.fail(what + ": another request's reply, or none: " +
                          (message ? std::string(message->getPayload().begin(), message->getPayload().end())
                                   : std::string("(no message)")));
        }
        break;
    }
    case Norvan::REPLY_STATUS_TIMED_OUT:
        if (ended - request.sent < std::chrono::milliseconds(request.plan.timeoutMs) - kClockSlack)
        {
            outcomes.fail(what + ": timed out before its time-out");
        }
        if (abandoned)
        {
            outcomes.fail(what + ": timed out although its client was destroyed long before the time-out");
        }
        break;
    case Norvan::REPLY_STATUS_DATA_ERROR:
        if (!abandoned)
        {
            outcomes.fail(what + ": a data error, but its client lives");
        }
        break;
    default:
        outcomes.fail(what + ": not a final status");
        break;
    }
}

// A read through the module's settings client on the same bus client: true
// only with this property's own value, never for a request nobody answered,
// and back by the reply's deadline.
void readThroughSettingsClient(Norvan::SettingsManagerClient& settings, std::uint64_t seed,
                               std::uint32_t thread, std::uint32_t item, Outcomes& outcomes)
{
    Plan plan = planOf(seed, thread, item);
    if (plan.answer == Answer::Abandoned)
    {
        plan.answer = Answer::Late; // this client lives on: answered late, within its long time-out
    }
    std::wstring value;
    const Clock::time_point sent = Clock::now();
    const bool read =
        settings.getProperty(propertyName(thread, item), value, std::chrono::milliseconds(plan.timeoutMs));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
    const std::string what = "settings read " + std::to_string(thread) + "." + std::to_string(item) +
                             " (answer " + std::to_string(static_cast<int>(plan.answer)) + ", time-out " +
                             std::to_string(plan.timeoutMs) + " ms)";

    std::lock_guard<Norvan::srw_mutex> guard(outcomes.lock);
    ++outcomes.settingsReads;
    outcomes.settingsValues += read ? 1 : 0;
    if (took.count() > static_cast<std::int64_t>(plan.timeoutMs) + 1000 + 2000)
    {
        outcomes.fail(what + " took " + std::to_string(took.count()) + " ms");
    }
    if (read &&
        (plan.answer == Answer::Never || value != std::to_wstring(thread) + L"." + std::to_wstring(item)))
    {
        outcomes.fail(what + " gave a value that is not its own");
    }
}

std::shared_ptr<Norvan::Message> requestMessage(std::uint32_t thread, std::uint32_t item)
{
    std::shared_ptr<Norvan::Message> message;
    Norvan::createMessage(message, kGetProperty, L"", requestPayload(thread, item));
    return message;
}

// One thread's share: bursts of requests on its own client and on one that
// it destroys before it waits; then every wait of the burst.
void requester(const Courier& bus, std::uint64_t seed, std::uint32_t thread, std::uint32_t requests,
               std::uint32_t burst, Track& track, Outcomes& outcomes)
{
    Client own(bus);
    Norvan::SettingsManagerClient settings(own.client);
    for (std::uint32_t first = 0; first < requests; first += burst)
    {
        auto shortLived = std::make_unique<Client>(bus);
        std::vector<InFlight> inFlight;
        for (std::uint32_t item = first; item < std::min(first + burst, requests); ++item)
        {
            track.at("sending a request", item);
            InFlight request{item, planOf(seed, thread, item), Clock::now(), {}, {}};
            Norvan::MessageBusClient& client =
                request.plan.answer == Answer::Abandoned ? *shortLived->client : *own.client;
            const Norvan::ModuleStatus status =
                client.request(requestMessage(thread, item), request.reply,
                               std::chrono::milliseconds(request.plan.timeoutMs));
            request.accepted = Clock::now();
            if (status != 0 || !request.reply)
            {
                std::lock_guard<Norvan::srw_mutex> guard(outcomes.lock);
                outcomes.fail("request " + std::to_string(thread) + "." + std::to_string(item) +
                              " was refused with " + std::to_string(status));
                continue;
            }
            inFlight.push_back(std::move(request));
        }
        track.at("destroying a client with requests in flight", first);
        shortLived.reset();
        for (InFlight& request : inFlight)
        {
            track.at("waiting for a reply", request.item);
            check(request, thread, outcomes);
        }
        // Numbered apart from the requests above.
        track.at("reading through the settings client", first);
        readThroughSettingsClient(settings, seed, thread, requests + first / burst, outcomes);
    }
    track.idle("done", requests);
}

// Threads numbered from `firstThread` on, so that each round's requests have
// names and plans of their own.
void runRound(const Courier& bus, std::uint64_t seed, std::uint32_t firstThread, std::uint32_t threads,
              std::uint32_t perThread, Stress::Watchdog& watchdog, std::vector<Track*>& tracks,
              Outcomes& outcomes)
{
    while (tracks.size() < threads)
    {
        tracks.push_back(&watchdog.track("requester " + std::to_string(tracks.size())));
    }
    std::vector<std::thread> workers;
    for (std::uint32_t t = 0; t < threads; ++t)
    {
        workers.emplace_back([&, t]
                             { requester(bus, seed, firstThread + t, perThread, 32, *tracks[t], outcomes); });
    }
    for (std::thread& worker : workers)
    {
        worker.join();
    }
}

} // namespace

// 16 threads keep up to 512 requests in flight at once; the answers are
// planned per request from a seed. Before the count a smaller round makes
// what the bus and the process keep for good (worker threads, tables).
TEST(SettingsRequests, ConcurrentRequestsEndByTheirDeadlinesWithTheirOwnReplies)
{
    const std::uint32_t kThreads = 16;
    const std::uint32_t kPerThread = Stress::scaled(128, 625); // 2,048 or 10,000 requests
    const std::uint64_t seed = Stress::seed(0x5EED0002);

    Courier bus;
    ASSERT_TRUE(bus.loaded()) << "Courier.dll or one of its exports is missing";
    Stress::Watchdog watchdog("settings requests", std::chrono::seconds(60));
    PlannedSettingsManager manager(bus, seed, watchdog.track("settings manager", true));
    ASSERT_TRUE(manager.subscribed());
    Track& main = watchdog.track("test thread");
    std::vector<Track*> tracks;

    // The late answers go out; the bus hands them over or drops them on its
    // workers, which end a moment later (the footprint's settle step).
    const auto settle = [&]
    {
        main.at("waiting for the late answers to go out");
        while (!manager.idle())
        {
            Sleep(10);
        }
        main.idle("running the requesters or checking");
    };

    Outcomes warmUp;
    runRound(bus, seed, 1000, kThreads, 32, watchdog, tracks, warmUp);
    settle();
    const WardlineTest::Footprint before = WardlineTest::Footprint::now();

    Outcomes outcomes;
    const auto started = Clock::now();
    runRound(bus, seed, 0, kThreads, kPerThread, watchdog, tracks, outcomes);
    const double seconds = Stress::secondsSince(started);
    settle();
    const WardlineTest::Footprint after = WardlineTest::Footprint::settledAfter(before, 2);

    for (const std::string& what : warmUp.wrong)
    {
        ADD_FAILURE() << "warm-up: " << what;
    }
    for (const std::string& what : outcomes.wrong)
    {
        ADD_FAILURE() << what;
    }
    EXPECT_EQ(outcomes.requests, std::uint64_t{kThreads} * kPerThread);
    EXPECT_EQ(0u, manager.unreadable());
    // Each kind of ending happened, so each rule above was exercised.
    EXPECT_GT(outcomes.byStatus[Norvan::REPLY_STATUS_RECEIVED], 0u);
    EXPECT_GT(outcomes.byStatus[Norvan::REPLY_STATUS_TIMED_OUT], 0u);
    EXPECT_GT(outcomes.byStatus[Norvan::REPLY_STATUS_DATA_ERROR], 0u);
    EXPECT_GT(outcomes.settingsValues, 0u);
    EXPECT_LT(outcomes.settingsValues, outcomes.settingsReads);

    // Nothing kept: handles by type, the C runtime heap and private memory.
    // A request that kept as little as 64 bytes would show in the heap.
    WardlineTest::expectFlat(before, after, 2, 64 * outcomes.requests, 4 * 1024 * 1024);

    std::printf("settings requests: %llu from %u threads in %.1f s: %llu received, %llu timed out, %llu data "
                "errors; worst end after the deadline %lld ms; %llu reads through the settings client, %llu "
                "with a value\n",
                static_cast<unsigned long long>(outcomes.requests), kThreads, seconds,
                static_cast<unsigned long long>(outcomes.byStatus[0]),
                static_cast<unsigned long long>(outcomes.byStatus[2]),
                static_cast<unsigned long long>(outcomes.byStatus[3]),
                static_cast<long long>(outcomes.worstOverDeadlineMs),
                static_cast<unsigned long long>(outcomes.settingsReads),
                static_cast<unsigned long long>(outcomes.settingsValues));
    std::printf("settings requests:\n%s", WardlineTest::describe(before, after).c_str());
}
