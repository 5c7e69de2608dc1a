#pragma once

// What Courier.dll promises to the callers of its function table, and its one
// non-standard export, the tap.
//
// One bus per process. Every handle from getHandle is an endpoint on it: a
// message published through any handle reaches every matching subscription of
// every handle, including the publisher's own.
//
// Matching
//   subscribe       exact, case-sensitive comparison of the whole name.
//   subscribeFilter the pattern is compiled once (ECMAScript grammar) and must
//                   match the whole name (std::regex_match). An invalid pattern
//                   gives id 0, and so does one with back-references: names
//                   are matched in time linear in their length, without the
//                   backtracking that lets a pattern such as "(a*)*b" stall
//                   every publisher.
//   Names and patterns longer than kMaxNameLength code units are refused;
//   this bounds the matching work done for each publish.
//
// Delivery
//   Callbacks run on the bus's own worker threads (at least two, more are
//   added when every worker has been stuck in a callback for a while, up to
//   kMaxWorkers), never on the thread that publishes. Strings and the context
//   record are copied before publish/request return. Each subscription sees
//   its messages in publish order and never two at once; different
//   subscriptions run in parallel. A callback that blocks holds one worker and
//   delays only its own subscription, whose queue grows meanwhile (queues are
//   not bounded). Callbacks may call every table entry, including publish and
//   request. Callback statuses are recorded in the counters of CourierGetStats
//   and, while a tap is set, reported to it one by one (CourierTapHandled);
//   the bus does not act on them. An exception thrown by a callback is caught
//   at the boundary and counted the same way.
//   The record handed to callbacks is always version 2 (108 bytes): a record
//   whose version field is not 2 is read as 100 bytes and extended the way
//   the module extends one (totalSize + 8, tag 11, length 8, session 0). A
//   null record is replaced by the default record. sessionId and the host
//   data pass through unchanged; the bus writes replyRouting only.
//
// Requests
//   request delivers the message to the subscriptions that match its name,
//   by name or by pattern, like publish, with replyRouting set to a bus-wide
//   token (never 0). A pattern subscription counts as a possible answerer: a
//   traffic monitor subscribed to ".*" turns "no subscribers" into a
//   time-out. Monitors that only watch should use the tap instead.
//   A subscriber answers by publishing a message whose record has the reply
//   flag (bit 0) and that replyRouting (the simplest way: copy the request's
//   record and set bit 0); such a reply goes to the requester only, never to
//   ordinary subscribers. Any handle may answer. The reply callback is then
//   called exactly once for each accepted request, on a worker thread:
//     0 with the reply's record and strings  the first reply that arrived;
//     MODULE_STATUS_TIMEOUT                  no reply within timeoutMs (0 times
//                                            out at once; huge values saturate);
//     MODULE_STATUS_NO_SUBSCRIBERS           no subscription matched the name
//                                            when the request was made.
//   Non-zero statuses come with a null record and null strings. Later replies
//   to a finished request are dropped and their publish returns 0; a reply
//   whose routing this bus never issued returns MODULE_STATUS_NOT_FOUND.
//   A request index whose outcome is still undecided for the same handle,
//   reply callback and reply context is refused
//   (MODULE_STATUS_INVALID_PARAMETER) so that "once per index" holds; other
//   requesters keep their own indexes, also on a shared handle.
//   removeReplyCallback withdraws by handle and callback: requesters that
//   share both (two bus clients of one module on one handle) withdraw each
//   other's requests, so a host should give each module a handle of its own.
//   publishEx and requestEx behave exactly as publish and request.
//
// Withdrawal
//   After unsubscribe returns, no callback of that subscription runs or will
//   run; queued deliveries are dropped. After removeReplyCallback returns, the
//   same holds for that callback on that handle: its pending requests are
//   dropped without a call. releaseHandle withdraws all subscriptions and
//   requests of the handle the same way; the handle is invalid afterwards.
//   Exception: called from inside a callback of the very subscription (or
//   reply) being withdrawn, the call does not wait for that running callback
//   (it is the caller), only for others; nothing further is delivered. A
//   callback must not withdraw something whose running callback is itself
//   waiting to withdraw the first one: the two would wait for each other.
//   For the same reason, do not withdraw while holding a lock that the
//   withdrawn callbacks take.
//
// Results
//   0 success. MODULE_STATUS_INVALID_HANDLE for a null, unknown or released
//   handle (subscribe and subscribeFilter give id 0): handles are looked up in
//   a registry, never dereferenced. MODULE_STATUS_INVALID_PARAMETER for a null
//   out pointer, a null or empty name, a name over the length limit, a null
//   callback or a duplicate pending request index. MODULE_STATUS_NOT_FOUND
//   for an id that is not a live subscription of that handle. Null source or
//   payload count as empty strings. MODULE_STATUS_NO_MEMORY or
//   MODULE_STATUS_UNSUCCESSFUL when the bus cannot allocate or cannot start
//   its threads.
//
// Lifetime
//   Worker threads exist while at least one handle is live; they keep the
//   library loaded until they have ended, so FreeLibrary right after the last
//   releaseHandle is safe. A library freed while handles are live stays
//   loaded with its threads. ReleaseObject does nothing.

#include "courier/CourierApi.h"

// clang-format off
extern "C"
{

// Kinds of bus events seen by the tap.
enum CourierTapKind : std::uint32_t
{
    CourierTapPublish = 1,      // publish/publishEx of a non-reply message
    CourierTapRequest = 2,      // an accepted request
    CourierTapReply = 3,        // a reply routed to a pending request
    CourierTapReplyDropped = 4, // a reply that found no pending request
    CourierTapTimeout = 5,      // a request ended by its time-out
    CourierTapNoSubscribers = 6, // a request that nobody could answer
    CourierTapHandled = 7        // a subscription's callback returned (see below)
};

// CourierTapHandled is reported once for every message callback that ran to
// its end, after it returned, with the message it was given and the status it
// returned (MODULE_STATUS_UNKNOWN_EXCEPTION when it threw); handle is the
// subscribing handle. Deliveries to the same subscription are reported in
// their order; against other events the report comes when the callback
// returned, so it may follow traffic that the callback itself caused, but
// every report of a subscription is in the tap's order before anything that
// happens after its withdrawal returned. Only deliveries that end while a tap
// is set are reported: without a tap the bus keeps no record of them.
struct CourierTapEvent
{
    std::uint32_t kind;           // CourierTapKind
    CourierHandle handle;         // the publishing, requesting or (handled) subscribing handle
    std::uint32_t receivers;      // subscriptions the message was queued for; 0 for handled
    std::uint64_t requestIndex;   // requests and their outcomes; 0 otherwise
    std::uint64_t replyRouting;   // the token of the request concerned; 0 for plain messages
    const void* contextRecord;    // 108-byte version 2 copy; null for outcomes without a message
    const wchar_t* name;          // null for outcomes without a message
    const wchar_t* source;
    const wchar_t* payload;
    std::uint32_t status;         // handled: what the callback returned; 0 otherwise
    std::uint32_t subscriptionId; // handled: the subscription that ran; 0 otherwise
};

// Called for every bus event in the order the bus saw them, one at a time, on
// a worker thread. Pointers in the event are valid during the call only.
typedef void (*CourierTapCallback)(void* tapContext, const CourierTapEvent* event);

// Installs (or with a null callback removes) the process's one tap; there is
// none by default. The tap does not count as a subscriber and sees replies,
// which subscriptions never do. Replacing or removing it has the withdrawal
// guarantee of unsubscribe. Events are kept only while some handle is live.
// Returns 0.
typedef CourierStatus (*CourierSetTapFn)(CourierTapCallback callback, void* tapContext);

struct CourierStats
{
    std::uint64_t delivered;        // message callbacks run
    std::uint64_t failedCallbacks;  // of those, non-zero statuses
    std::uint64_t thrownCallbacks;  // message, reply and tap callbacks that threw
    std::uint64_t repliesDelivered; // reply callbacks run
    std::uint32_t liveHandles;
    std::uint32_t workers;          // worker threads of the current pool
};

// A snapshot of the bus's counters. Returns MODULE_STATUS_INVALID_PARAMETER
// for a null pointer, else 0.
typedef CourierStatus (*CourierGetStatsFn)(CourierStats* stats);

} // extern "C"
// clang-format on

namespace courier
{
constexpr std::uint32_t kStatusSuccess = 0;
constexpr std::uint32_t kStatusUnsuccessful = 0x80000002u;
constexpr std::uint32_t kStatusInvalidHandle = 0x80000007u;
constexpr std::uint32_t kStatusInvalidParameter = 0x80000008u;
constexpr std::uint32_t kStatusNoMemory = 0x80000009u;
constexpr std::uint32_t kStatusNotFound = 0x8000000Au;
constexpr std::uint32_t kStatusTimeout = 0x8000000Du;
constexpr std::uint32_t kStatusNoSubscribers = 0x8000000Eu;
constexpr std::uint32_t kStatusUnknownException = 0x8000000Fu;

constexpr std::size_t kMaxNameLength = 1024;
constexpr unsigned kMinWorkers = 2;
constexpr unsigned kMaxWorkers = 16;
} // namespace courier
