#pragma once

#include "Envelope.h"
#include "courier/CourierBus.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <unordered_map>
#include <vector>

namespace courier::detail
{

using Clock = std::chrono::steady_clock;

// One unit of work for a strand: a message to deliver, or the outcome of a
// request, or a tap event.
struct Item
{
    std::shared_ptr<const Envelope> message;
    CourierStatus status = 0;
    std::uint32_t tapKind = 0;
    std::uintptr_t handle = 0;
    std::uint32_t receivers = 0;
    std::uint64_t requestIndex = 0;
    std::uint64_t routing = 0;
    std::uint32_t subscriptionId = 0;
};

struct Counters
{
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<std::uint64_t> thrown{0};
    std::atomic<std::uint64_t> replies{0};
};

// A queue of items run one at a time, in order, by whichever worker picks it
// up. Everything but invoke is guarded by the bus mutex.
class Strand
{
public:
    enum class Kind
    {
        Subscription,
        Request,
        Tap
    };

    explicit Strand(Kind kind) : kind(kind) {}
    virtual ~Strand() = default;
    Strand(const Strand&) = delete;
    Strand& operator=(const Strand&) = delete;

    // Runs without the bus mutex; never lets an exception out. Returns the
    // status of a message callback, 0 for everything else.
    virtual CourierStatus invoke(const Item& item, Counters& counters) noexcept = 0;

    const Kind kind;
    std::deque<Item> items;
    bool scheduled = false; // in a ready queue or running
    DWORD runner = 0;       // thread running invoke, 0 when none
    bool withdrawn = false;
};

class Subscription final : public Strand
{
public:
    Subscription(std::uintptr_t owner, void* context, CourierMessageCallback callback, std::wstring text,
                 bool isPattern);
    CourierStatus invoke(const Item& item, Counters& counters) noexcept override;
    bool matches(const std::wstring& name) const noexcept;

    std::uint32_t id = 0;
    const std::uintptr_t owner;
    void* const context;
    const CourierMessageCallback callback;
    const std::wstring text;
    const bool isPattern;

private:
    std::wregex pattern_;
};

class PendingRequest final : public Strand
{
public:
    PendingRequest(std::uintptr_t owner, std::uint64_t index, void* context, CourierReplyCallback callback)
        : Strand(Kind::Request), owner(owner), index(index), context(context), callback(callback)
    {
    }
    CourierStatus invoke(const Item& item, Counters& counters) noexcept override;

    std::uint64_t token = 0;
    const std::uintptr_t owner;
    const std::uint64_t index;
    void* const context;
    const CourierReplyCallback callback;
    bool completed = false; // outcome decided (and queued unless withdrawn)
    bool hasDeadline = false;
    std::multimap<Clock::time_point, std::uint64_t>::iterator deadline;
};

class Tap final : public Strand
{
public:
    Tap(CourierTapCallback callback, void* context)
        : Strand(Kind::Tap), callback_(callback), context_(context)
    {
    }
    CourierStatus invoke(const Item& item, Counters& counters) noexcept override;

private:
    const CourierTapCallback callback_;
    void* const context_;
};

// The bus of this process. All state is guarded by one mutex; callbacks run
// without it on the current pool's worker threads.
class Bus
{
public:
    static Bus& instance() noexcept;
    static bool createInstance() noexcept;
    static void destroyInstance() noexcept;

    CourierStatus getHandle(CourierHandle* handle);
    CourierStatus releaseHandle(CourierHandle handle);
    CourierStatus publish(CourierHandle handle, const void* record, const wchar_t* name,
                          const wchar_t* source, const wchar_t* payload);
    CourierStatus request(CourierHandle handle, std::uint64_t index, void* replyContext,
                          CourierReplyCallback replyCallback, const void* record, const wchar_t* name,
                          const wchar_t* source, const wchar_t* payload, std::uint64_t timeoutMs);
    std::uint32_t subscribe(CourierHandle handle, void* context, CourierMessageCallback callback,
                            const wchar_t* text, bool isPattern);
    CourierStatus unsubscribe(CourierHandle handle, std::uint32_t id);
    CourierStatus removeReplyCallback(CourierHandle handle, CourierReplyCallback callback);
    CourierStatus setTap(CourierTapCallback callback, void* context);
    CourierStatus getStats(CourierStats* stats);

    // Thread bodies; public for the thread entry functions only.
    struct Pool;
    void runWorker(Pool& pool);
    void runTimer(Pool& pool);

private:
    struct Endpoint
    {
        std::unordered_map<std::uint32_t, std::shared_ptr<Subscription>> subscriptions;
        // Requests from acceptance until their outcome has been delivered.
        std::unordered_map<std::uint64_t, std::shared_ptr<PendingRequest>> requests;
    };

    using Lock = std::unique_lock<std::mutex>;

    Endpoint* findEndpoint(CourierHandle handle);
    std::uint32_t deliver(const std::shared_ptr<const Envelope>& message);
    void complete(PendingRequest& request, std::shared_ptr<const Envelope> reply, CourierStatus status);
    void schedule(const std::shared_ptr<Strand>& strand);
    void afterRun(const std::shared_ptr<Strand>& strand);
    void withdrawSubscription(const std::shared_ptr<Subscription>& subscription);
    void withdrawRequest(Endpoint& endpoint, const std::shared_ptr<PendingRequest>& request);
    void waitIdle(Lock& lock, const std::vector<std::shared_ptr<Strand>>& strands);
    void tapEvent(std::uint32_t kind, std::uintptr_t handle, std::shared_ptr<const Envelope> message,
                  std::uint32_t receivers, std::uint64_t requestIndex, std::uint64_t routing,
                  CourierStatus status = 0, std::uint32_t subscriptionId = 0);
    bool startPool();
    void stopPool();
    bool startThread(const std::shared_ptr<Pool>& pool, bool timer);

    std::mutex mutex_;
    std::condition_variable idleChanged_; // a strand's runner went back to 0
    std::unordered_map<std::uintptr_t, Endpoint> endpoints_;
    std::uint64_t handleCounter_ = 0;
    std::unordered_map<std::wstring, std::vector<std::shared_ptr<Subscription>>> byName_;
    std::vector<std::shared_ptr<Subscription>> patterns_;
    std::unordered_map<std::uint32_t, std::shared_ptr<Subscription>> byId_;
    std::uint32_t idCounter_ = 0;
    std::unordered_map<std::uint64_t, std::shared_ptr<PendingRequest>> open_; // token -> undecided request
    std::multimap<Clock::time_point, std::uint64_t> deadlines_;
    std::uint64_t nextToken_ = 1;
    std::shared_ptr<Tap> tap_;
    // Mirrors tap_ != nullptr for the workers, which look at it without the
    // mutex to decide whether a finished delivery is worth keeping for the
    // tap; a delivery whose decision raced with setTap is checked again
    // under the mutex.
    std::atomic<bool> tapSet_{false};
    std::shared_ptr<Pool> pool_;
    Counters counters_;
};

} // namespace courier::detail
