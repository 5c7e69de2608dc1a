#include "Bus.h"

#include <algorithm>
#include <cwchar>
#include <new>

namespace courier::detail
{

// A generation of worker threads. It lives while handles exist; its threads
// own it together with the bus and end on their own once it is stopping.
struct Bus::Pool
{
    std::deque<std::shared_ptr<Strand>> ready;
    std::condition_variable workAvailable;
    std::condition_variable timerWake;
    bool stopping = false;
    unsigned workers = 0;
    unsigned idle = 0;
    Clock::time_point lastDispatch = Clock::now();
    // When the waiting timer wakes up on its own; the earliest time until it
    // first waits.
    Clock::time_point timerWakesAt = Clock::time_point::min();
};

namespace
{
// Handles are registry keys shaped like pointers; they are never dereferenced
// and never reused, so a stale handle cannot reach a newer endpoint.
constexpr std::uintptr_t kHandleBase = 0x436F757200000000ull;
constexpr std::uint64_t kMaxTimeoutMs = 1000ull * 60 * 60 * 24 * 365 * 30;
constexpr auto kStallDelay = std::chrono::milliseconds(200);
constexpr auto kTimerTick = std::chrono::milliseconds(50);

Bus* g_bus = nullptr;

// Matching runs on the publisher's thread under the bus lock. libstdc++'s
// default matcher backtracks: exponential time for patterns such as "(a*)*b"
// and one stack frame per character. Its breadth-first matcher is linear in
// the name and bounded in depth; it refuses back-references (id 0). Other
// libraries signal such limits with error_complexity or error_stack, which
// count as no match.
#if defined(__GLIBCXX__)
constexpr auto kPolynomialMatching = std::regex_constants::__polynomial;
#else
constexpr auto kPolynomialMatching = std::regex_constants::syntax_option_type{};
#endif

bool validName(const wchar_t* name) noexcept
{
    if (name == nullptr || name[0] == L'\0')
    {
        return false;
    }
    return wcsnlen(name, kMaxNameLength + 1) <= kMaxNameLength;
}

struct ThreadStart
{
    std::shared_ptr<Bus::Pool> pool;
    HMODULE module;
    bool timer;
};

void runThread(ThreadStart* start) noexcept
{
    std::shared_ptr<Bus::Pool> pool = std::move(start->pool);
    const bool timer = start->timer;
    delete start;
    try
    {
        if (timer)
        {
            Bus::instance().runTimer(*pool);
        }
        else
        {
            Bus::instance().runWorker(*pool);
        }
    }
    catch (...)
    {
        // A lock that cannot be taken: nothing left to do on this thread.
    }
}

// Every thread holds a reference on this library and gives it back as its
// very last act, so a host may free the library while threads still wind down.
DWORD WINAPI threadEntry(LPVOID parameter)
{
    auto* start = static_cast<ThreadStart*>(parameter);
    const HMODULE module = start->module;
    runThread(start);
    FreeLibraryAndExitThread(module, 0);
}
} // namespace

Subscription::Subscription(std::uintptr_t owner, void* context, CourierMessageCallback callback,
                           std::wstring text, bool isPattern)
    : Strand(Kind::Subscription), owner(owner), context(context), callback(callback), text(std::move(text)),
      isPattern(isPattern)
{
    if (isPattern)
    {
        // Throws std::regex_error for an invalid pattern.
        pattern_.assign(this->text, std::regex_constants::ECMAScript | std::regex_constants::optimize |
                                        kPolynomialMatching);
    }
}

bool Subscription::matches(const std::wstring& name) const noexcept
{
    if (!isPattern)
    {
        return name == text;
    }
    try
    {
        return std::regex_match(name, pattern_);
    }
    catch (...)
    {
        // error_complexity or error_stack: treat as no match.
        return false;
    }
}

CourierStatus Subscription::invoke(const Item& item, Counters& counters) noexcept
{
    const Envelope& message = *item.message;
    CourierStatus status = 0;
    try
    {
        status = callback(context, message.record(), message.name().c_str(), message.source().c_str(),
                          message.payload().c_str());
        if (status != 0)
        {
            ++counters.failed;
        }
    }
    catch (...)
    {
        status = kStatusUnknownException;
        ++counters.thrown;
    }
    ++counters.delivered;
    return status;
}

CourierStatus PendingRequest::invoke(const Item& item, Counters& counters) noexcept
{
    try
    {
        if (item.message)
        {
            const Envelope& reply = *item.message;
            callback(context, index, reply.record(), reply.name().c_str(), reply.source().c_str(),
                     reply.payload().c_str(), 0);
        }
        else
        {
            callback(context, index, nullptr, nullptr, nullptr, nullptr, item.status);
        }
    }
    catch (...)
    {
        ++counters.thrown;
    }
    ++counters.replies;
    return 0;
}

CourierStatus Tap::invoke(const Item& item, Counters& counters) noexcept
{
    CourierTapEvent event{};
    event.kind = item.tapKind;
    event.handle = reinterpret_cast<CourierHandle>(item.handle);
    event.receivers = item.receivers;
    event.requestIndex = item.requestIndex;
    event.replyRouting = item.routing;
    event.status = item.status;
    event.subscriptionId = item.subscriptionId;
    if (item.message)
    {
        event.contextRecord = item.message->record();
        event.name = item.message->name().c_str();
        event.source = item.message->source().c_str();
        event.payload = item.message->payload().c_str();
    }
    try
    {
        callback_(context_, &event);
    }
    catch (...)
    {
        ++counters.thrown;
    }
    return 0;
}

Bus& Bus::instance() noexcept
{
    return *g_bus;
}

bool Bus::createInstance() noexcept
{
    g_bus = new (std::nothrow) Bus();
    return g_bus != nullptr;
}

void Bus::destroyInstance() noexcept
{
    delete g_bus;
    g_bus = nullptr;
}

Bus::Endpoint* Bus::findEndpoint(CourierHandle handle)
{
    const auto it = endpoints_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == endpoints_.end() ? nullptr : &it->second;
}

CourierStatus Bus::getHandle(CourierHandle* handle)
{
    if (handle == nullptr)
    {
        return kStatusInvalidParameter;
    }
    Lock lock(mutex_);
    if (!pool_ && !startPool())
    {
        return kStatusUnsuccessful;
    }
    const std::uintptr_t key = kHandleBase + static_cast<std::uintptr_t>(++handleCounter_) * 16;
    try
    {
        endpoints_.emplace(key, Endpoint{});
    }
    catch (...)
    {
        if (endpoints_.empty())
        {
            stopPool();
        }
        throw;
    }
    *handle = reinterpret_cast<CourierHandle>(key);
    return kStatusSuccess;
}

CourierStatus Bus::releaseHandle(CourierHandle handle)
{
    Lock lock(mutex_);
    Endpoint* endpoint = findEndpoint(handle);
    if (endpoint == nullptr)
    {
        return kStatusInvalidHandle;
    }
    std::vector<std::shared_ptr<Strand>> withdrawn;
    for (auto& entry : endpoint->subscriptions)
    {
        withdrawSubscription(entry.second);
        withdrawn.push_back(entry.second);
    }
    endpoint->subscriptions.clear();
    while (!endpoint->requests.empty())
    {
        auto request = endpoint->requests.begin()->second;
        withdrawRequest(*endpoint, request);
        withdrawn.push_back(std::move(request));
    }
    endpoints_.erase(reinterpret_cast<std::uintptr_t>(handle));
    if (endpoints_.empty())
    {
        stopPool();
    }
    waitIdle(lock, withdrawn);
    return kStatusSuccess;
}

CourierStatus Bus::publish(CourierHandle handle, const void* record, const wchar_t* name,
                           const wchar_t* source, const wchar_t* payload)
{
    if (!validName(name))
    {
        return kStatusInvalidParameter;
    }
    // Copied before taking the lock: other publishers need not wait for it.
    auto message = std::make_shared<const Envelope>(record, name, source, payload);
    Lock lock(mutex_);
    if (findEndpoint(handle) == nullptr)
    {
        return kStatusInvalidHandle;
    }
    const auto key = reinterpret_cast<std::uintptr_t>(handle);
    if ((message->flags() & kFlagReply) == 0)
    {
        const std::uint32_t receivers = deliver(message);
        tapEvent(CourierTapPublish, key, message, receivers, 0, 0);
        return kStatusSuccess;
    }
    const std::uint64_t routing = message->replyRouting();
    if (routing == 0 || routing >= nextToken_)
    {
        tapEvent(CourierTapReplyDropped, key, message, 0, 0, routing);
        return kStatusNotFound;
    }
    const auto open = open_.find(routing);
    if (open == open_.end())
    {
        // The request already ended (answered, timed out or withdrawn).
        tapEvent(CourierTapReplyDropped, key, message, 0, 0, routing);
        return kStatusSuccess;
    }
    const std::shared_ptr<PendingRequest> request = open->second;
    tapEvent(CourierTapReply, key, message, 1, request->index, routing);
    complete(*request, std::move(message), kStatusSuccess);
    return kStatusSuccess;
}

CourierStatus Bus::request(CourierHandle handle, std::uint64_t index, void* replyContext,
                           CourierReplyCallback replyCallback, const void* record, const wchar_t* name,
                           const wchar_t* source, const wchar_t* payload, std::uint64_t timeoutMs)
{
    if (!validName(name) || replyCallback == nullptr)
    {
        return kStatusInvalidParameter;
    }
    auto message = std::make_shared<Envelope>(record, name, source, payload);
    const auto key = reinterpret_cast<std::uintptr_t>(handle);
    auto pending = std::make_shared<PendingRequest>(key, index, replyContext, replyCallback);
    Lock lock(mutex_);
    Endpoint* endpoint = findEndpoint(handle);
    if (endpoint == nullptr)
    {
        return kStatusInvalidHandle;
    }
    for (const auto& entry : endpoint->requests)
    {
        const PendingRequest& other = *entry.second;
        if (other.index == index && other.callback == replyCallback && other.context == replyContext &&
            !other.completed)
        {
            return kStatusInvalidParameter;
        }
    }
    pending->token = nextToken_++;
    message->setReplyRouting(pending->token);
    const std::shared_ptr<const Envelope> shared = std::move(message);
    try
    {
        endpoint->requests.emplace(pending->token, pending);
        open_.emplace(pending->token, pending);
        const auto delay = std::chrono::milliseconds(std::min(timeoutMs, kMaxTimeoutMs));
        pending->deadline = deadlines_.emplace(Clock::now() + delay, pending->token);
        pending->hasDeadline = true;
        const std::uint32_t receivers = deliver(shared);
        tapEvent(CourierTapRequest, key, shared, receivers, index, pending->token);
        if (receivers == 0)
        {
            tapEvent(CourierTapNoSubscribers, key, nullptr, 0, index, pending->token);
            complete(*pending, nullptr, kStatusNoSubscribers);
        }
    }
    catch (...)
    {
        // Refused as a whole: the requester gets a status and no callback.
        // Subscribers that already received it answer into the void.
        withdrawRequest(*endpoint, pending);
        throw;
    }
    // The timer wakes every tick anyway: only a deadline before its next
    // wake-up needs it sooner. Waking it for every request would put a third
    // thread in the way of each request's delivery.
    if (pool_ && pending->hasDeadline && pending->deadline->first < pool_->timerWakesAt)
    {
        pool_->timerWake.notify_one();
    }
    return kStatusSuccess;
}

std::uint32_t Bus::subscribe(CourierHandle handle, void* context, CourierMessageCallback callback,
                             const wchar_t* text, bool isPattern)
{
    if (callback == nullptr || !validName(text))
    {
        return 0;
    }
    std::shared_ptr<Subscription> subscription;
    try
    {
        subscription = std::make_shared<Subscription>(reinterpret_cast<std::uintptr_t>(handle), context,
                                                      callback, std::wstring(text), isPattern);
    }
    catch (const std::regex_error&)
    {
        return 0;
    }
    Lock lock(mutex_);
    Endpoint* endpoint = findEndpoint(handle);
    if (endpoint == nullptr)
    {
        return 0;
    }
    do
    {
        ++idCounter_;
    } while (idCounter_ == 0 || byId_.count(idCounter_) != 0);
    subscription->id = idCounter_;
    // Insert everywhere or nowhere: a bad_alloc half way must not leave a
    // subscription that unsubscribe cannot find.
    byId_.emplace(subscription->id, subscription);
    try
    {
        endpoint->subscriptions.emplace(subscription->id, subscription);
        if (isPattern)
        {
            patterns_.push_back(subscription);
        }
        else
        {
            byName_[subscription->text].push_back(subscription);
        }
    }
    catch (...)
    {
        withdrawSubscription(subscription);
        endpoint->subscriptions.erase(subscription->id);
        return 0;
    }
    return subscription->id;
}

CourierStatus Bus::unsubscribe(CourierHandle handle, std::uint32_t id)
{
    Lock lock(mutex_);
    Endpoint* endpoint = findEndpoint(handle);
    if (endpoint == nullptr)
    {
        return kStatusInvalidHandle;
    }
    const auto it = endpoint->subscriptions.find(id);
    if (it == endpoint->subscriptions.end())
    {
        return kStatusNotFound;
    }
    const std::shared_ptr<Subscription> subscription = it->second;
    endpoint->subscriptions.erase(it);
    withdrawSubscription(subscription);
    waitIdle(lock, {subscription});
    return kStatusSuccess;
}

CourierStatus Bus::removeReplyCallback(CourierHandle handle, CourierReplyCallback callback)
{
    Lock lock(mutex_);
    Endpoint* endpoint = findEndpoint(handle);
    if (endpoint == nullptr)
    {
        return kStatusInvalidHandle;
    }
    if (callback == nullptr)
    {
        return kStatusInvalidParameter;
    }
    std::vector<std::shared_ptr<Strand>> withdrawn;
    for (const auto& entry : endpoint->requests)
    {
        if (entry.second->callback == callback)
        {
            withdrawn.push_back(entry.second);
        }
    }
    for (const auto& strand : withdrawn)
    {
        withdrawRequest(*endpoint, std::static_pointer_cast<PendingRequest>(strand));
    }
    waitIdle(lock, withdrawn);
    return kStatusSuccess;
}

CourierStatus Bus::setTap(CourierTapCallback callback, void* context)
{
    std::shared_ptr<Tap> replacement;
    if (callback != nullptr)
    {
        replacement = std::make_shared<Tap>(callback, context);
    }
    Lock lock(mutex_);
    std::shared_ptr<Tap> previous = std::move(tap_);
    tap_ = std::move(replacement);
    tapSet_.store(tap_ != nullptr, std::memory_order_relaxed);
    if (previous)
    {
        previous->withdrawn = true;
        previous->items.clear();
        waitIdle(lock, {previous});
    }
    return kStatusSuccess;
}

CourierStatus Bus::getStats(CourierStats* stats)
{
    if (stats == nullptr)
    {
        return kStatusInvalidParameter;
    }
    Lock lock(mutex_);
    stats->delivered = counters_.delivered;
    stats->failedCallbacks = counters_.failed;
    stats->thrownCallbacks = counters_.thrown;
    stats->repliesDelivered = counters_.replies;
    stats->liveHandles = static_cast<std::uint32_t>(endpoints_.size());
    stats->workers = pool_ ? pool_->workers : 0;
    return kStatusSuccess;
}

std::uint32_t Bus::deliver(const std::shared_ptr<const Envelope>& message)
{
    std::uint32_t receivers = 0;
    const auto queue = [&](const std::shared_ptr<Subscription>& subscription)
    {
        Item item;
        item.message = message;
        subscription->items.push_back(std::move(item));
        schedule(subscription);
        ++receivers;
    };
    const auto named = byName_.find(message->name());
    if (named != byName_.end())
    {
        for (const auto& subscription : named->second)
        {
            queue(subscription);
        }
    }
    for (const auto& subscription : patterns_)
    {
        if (subscription->matches(message->name()))
        {
            queue(subscription);
        }
    }
    return receivers;
}

void Bus::complete(PendingRequest& request, std::shared_ptr<const Envelope> reply, CourierStatus status)
{
    if (request.completed)
    {
        return;
    }
    request.completed = true;
    open_.erase(request.token);
    if (request.hasDeadline)
    {
        deadlines_.erase(request.deadline);
        request.hasDeadline = false;
    }
    Item item;
    item.message = std::move(reply);
    item.status = status;
    request.items.push_back(std::move(item));
    const auto endpoint = endpoints_.find(request.owner);
    if (endpoint != endpoints_.end())
    {
        const auto entry = endpoint->second.requests.find(request.token);
        if (entry != endpoint->second.requests.end())
        {
            schedule(entry->second);
        }
    }
}

void Bus::schedule(const std::shared_ptr<Strand>& strand)
{
    if (strand->scheduled || strand->withdrawn || !pool_)
    {
        return;
    }
    strand->scheduled = true;
    pool_->ready.push_back(strand);
    pool_->workAvailable.notify_one();
}

void Bus::afterRun(const std::shared_ptr<Strand>& strand)
{
    strand->runner = 0;
    idleChanged_.notify_all();
    strand->scheduled = false;
    if (strand->kind == Strand::Kind::Request)
    {
        const auto& request = static_cast<const PendingRequest&>(*strand);
        const auto endpoint = endpoints_.find(request.owner);
        if (endpoint != endpoints_.end())
        {
            endpoint->second.requests.erase(request.token);
        }
        return;
    }
    if (strand->withdrawn)
    {
        strand->items.clear();
    }
    else if (!strand->items.empty())
    {
        schedule(strand);
    }
}

void Bus::withdrawSubscription(const std::shared_ptr<Subscription>& subscription)
{
    subscription->withdrawn = true;
    subscription->items.clear();
    byId_.erase(subscription->id);
    auto& list = subscription->isPattern ? patterns_ : byName_[subscription->text];
    list.erase(std::remove(list.begin(), list.end(), subscription), list.end());
    if (!subscription->isPattern && list.empty())
    {
        byName_.erase(subscription->text);
    }
}

void Bus::withdrawRequest(Endpoint& endpoint, const std::shared_ptr<PendingRequest>& request)
{
    if (!request->completed)
    {
        request->completed = true;
        open_.erase(request->token);
        if (request->hasDeadline)
        {
            deadlines_.erase(request->deadline);
            request->hasDeadline = false;
        }
    }
    request->withdrawn = true;
    request->items.clear();
    endpoint.requests.erase(request->token);
}

void Bus::waitIdle(Lock& lock, const std::vector<std::shared_ptr<Strand>>& strands)
{
    // The thread inside a callback being withdrawn is the caller itself: it
    // cannot wait for its own return.
    const DWORD self = GetCurrentThreadId();
    for (const auto& strand : strands)
    {
        idleChanged_.wait(lock, [&] { return strand->runner == 0 || strand->runner == self; });
    }
}

void Bus::tapEvent(std::uint32_t kind, std::uintptr_t handle, std::shared_ptr<const Envelope> message,
                   std::uint32_t receivers, std::uint64_t requestIndex, std::uint64_t routing,
                   CourierStatus status, std::uint32_t subscriptionId)
{
    if (!tap_)
    {
        return;
    }
    Item item;
    item.message = std::move(message);
    item.tapKind = kind;
    item.handle = handle;
    item.receivers = receivers;
    item.requestIndex = requestIndex;
    item.routing = routing;
    item.status = status;
    item.subscriptionId = subscriptionId;
    tap_->items.push_back(std::move(item));
    const std::shared_ptr<Strand> strand = tap_;
    schedule(strand);
}

bool Bus::startPool()
{
    auto pool = std::make_shared<Pool>();
    pool_ = pool;
    bool started = startThread(pool, true);
    for (unsigned i = 0; started && i < kMinWorkers; ++i)
    {
        started = startThread(pool, false);
    }
    if (!started)
    {
        stopPool();
        return false;
    }
    if (tap_ && !tap_->items.empty())
    {
        const std::shared_ptr<Strand> strand = tap_;
        schedule(strand);
    }
    return true;
}

void Bus::stopPool()
{
    if (!pool_)
    {
        return;
    }
    pool_->stopping = true;
    for (const auto& strand : pool_->ready)
    {
        strand->scheduled = false;
    }
    pool_->ready.clear();
    pool_->workAvailable.notify_all();
    pool_->timerWake.notify_all();
    pool_.reset();
    if (tap_ && tap_->runner == 0)
    {
        // Events of a pool that has ended have no one left to read them.
        tap_->items.clear();
    }
}

bool Bus::startThread(const std::shared_ptr<Pool>& pool, bool timer)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&threadEntry),
                            &module))
    {
        return false;
    }
    auto* start = new (std::nothrow) ThreadStart{pool, module, timer};
    if (start == nullptr)
    {
        FreeLibrary(module);
        return false;
    }
    const HANDLE thread = CreateThread(nullptr, 0, &threadEntry, start, 0, nullptr);
    if (thread == nullptr)
    {
        delete start;
        FreeLibrary(module);
        return false;
    }
    CloseHandle(thread);
    if (!timer)
    {
        ++pool->workers;
    }
    return true;
}

void Bus::runWorker(Pool& pool)
{
    Lock lock(mutex_);
    for (;;)
    {
        while (!pool.stopping && pool.ready.empty())
        {
            ++pool.idle;
            pool.workAvailable.wait(lock);
            --pool.idle;
        }
        if (pool.stopping)
        {
            return;
        }
        std::shared_ptr<Strand> strand = std::move(pool.ready.front());
        pool.ready.pop_front();
        if (strand->withdrawn || strand->items.empty())
        {
            strand->scheduled = false;
            strand->items.clear();
            continue;
        }
        Item item = std::move(strand->items.front());
        strand->items.pop_front();
        strand->runner = GetCurrentThreadId();
        pool.lastDispatch = Clock::now();
        lock.unlock();
        const CourierStatus status = strand->invoke(item, counters_);
        // Without a tap the message is let go here, outside the lock, and
        // nothing more is done for the report.
        std::shared_ptr<const Envelope> handled;
        if (strand->kind == Strand::Kind::Subscription && tapSet_.load(std::memory_order_relaxed))
        {
            handled = std::move(item.message);
        }
        item = Item{};
        lock.lock();
        if (handled && tap_)
        {
            const auto& subscription = static_cast<const Subscription&>(*strand);
            const std::uint64_t routing = handled->replyRouting();
            try
            {
                tapEvent(CourierTapHandled, subscription.owner, std::move(handled), 0, 0, routing, status,
                         subscription.id);
            }
            catch (...)
            {
                // A report lost to a failed allocation; the strand must still
                // be released below, or its withdrawal would wait forever.
            }
        }
        afterRun(strand);
    }
}

void Bus::runTimer(Pool& pool)
{
    Lock lock(mutex_);
    while (!pool.stopping)
    {
        const auto now = Clock::now();
        while (!deadlines_.empty() && deadlines_.begin()->first <= now)
        {
            const std::uint64_t token = deadlines_.begin()->second;
            const auto open = open_.find(token);
            if (open == open_.end())
            {
                deadlines_.erase(deadlines_.begin());
                continue;
            }
            const std::shared_ptr<PendingRequest> request = open->second;
            tapEvent(CourierTapTimeout, request->owner, nullptr, 0, request->index, token);
            complete(*request, nullptr, kStatusTimeout);
        }
        // Work is waiting and no worker has picked anything up for a while:
        // every worker is stuck in a callback. Add one so that the other
        // subscriptions keep moving.
        if (!pool.ready.empty() && pool.idle == 0 && pool.workers < kMaxWorkers &&
            now - pool.lastDispatch > kStallDelay)
        {
            if (pool_.get() == &pool)
            {
                startThread(pool_, false);
                pool.lastDispatch = now;
            }
        }
        auto wake = now + kTimerTick;
        if (!deadlines_.empty())
        {
            wake = std::min(wake, deadlines_.begin()->first);
        }
        pool.timerWakesAt = wake;
        pool.timerWake.wait_until(lock, wake);
        pool.timerWakesAt = Clock::time_point::min();
    }
}

} // namespace courier::detail
