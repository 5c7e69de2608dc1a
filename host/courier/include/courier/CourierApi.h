#pragma once

// The host framework's message bus library, Courier.dll, as seen by its
// callers: the four standard exports and the ten-entry bus function table.
//
// CreateObject(2001000) returns the table; any other version gives null.
// Every entry but getHandle takes a bus handle first. Strings are
// NUL-terminated UTF-16. Results are module status codes (0 = success), except
// subscribe/subscribeFilter, which return a subscription id (0 = failure).
//
// Message context records (108 bytes, version 2; version 1 is 100 bytes) are
// passed by address and copied by the bus before the call returns: callers
// may free theirs as soon as an entry returns. See CourierBus.h for what the
// bus promises about delivery, requests and withdrawal.

#include <cstddef>
#include <cstdint>

extern "C"
{

typedef std::uint32_t CourierStatus;
typedef void* CourierHandle;

// Delivers one message to one subscription. The return value is the
// subscriber's status; the bus records it but does not act on it.
typedef CourierStatus (*CourierMessageCallback)(void* handlerContext, const void* contextRecord,
                                                const wchar_t* name, const wchar_t* source,
                                                const wchar_t* payload);

// Delivers the outcome of one accepted request, exactly once per request
// index: status 0 with the reply message, MODULE_STATUS_TIMEOUT (0x8000000D)
// when the time-out passed, or another non-zero status (with null record and
// strings) when nobody can answer.
typedef CourierStatus (*CourierReplyCallback)(void* replyContext, std::uint64_t requestIndex,
                                              const void* contextRecord, const wchar_t* name,
                                              const wchar_t* source, const wchar_t* payload,
                                              CourierStatus status);

struct CourierFunctionTable
{
    CourierStatus (*getHandle)(CourierHandle* handle);
    CourierStatus (*releaseHandle)(CourierHandle handle);
    CourierStatus (*publish)(CourierHandle handle, const void* contextRecord, const wchar_t* name,
                             const wchar_t* source, const wchar_t* payload);
    CourierStatus (*request)(CourierHandle handle, std::uint64_t requestIndex, void* replyContext,
                             CourierReplyCallback replyCallback, const void* contextRecord, const wchar_t* name,
                             const wchar_t* source, const wchar_t* payload, std::uint64_t timeoutMs);
    std::uint32_t (*subscribe)(CourierHandle handle, void* handlerContext, CourierMessageCallback callback,
                               const wchar_t* name);
    std::uint32_t (*subscribeFilter)(CourierHandle handle, void* handlerContext, CourierMessageCallback callback,
                                     const wchar_t* pattern);
    CourierStatus (*unsubscribe)(CourierHandle handle, std::uint32_t subscriptionId);
    CourierStatus (*removeReplyCallback)(CourierHandle handle, CourierReplyCallback replyCallback);
    CourierStatus (*publishEx)(CourierHandle handle, const void* contextRecord, const wchar_t* name,
                               const wchar_t* source, const wchar_t* payload);
    CourierStatus (*requestEx)(CourierHandle handle, std::uint64_t requestIndex, void* replyContext,
                               CourierReplyCallback replyCallback, const void* contextRecord, const wchar_t* name,
                               const wchar_t* source, const wchar_t* payload, std::uint64_t timeoutMs);
};

// The four exports of every host-framework library.
typedef const CourierFunctionTable* (*CourierCreateObjectFn)(std::uint32_t version);
typedef void (*CourierReleaseObjectFn)();
typedef const char* (*CourierGetVersionStrFn)();
typedef std::uint32_t (*CourierGetVersionNumFn)();

} // extern "C"

namespace courier
{
constexpr std::uint32_t kInterfaceVersion = 2001000u;

// Byte offsets in the message context record that the bus reads and writes.
constexpr std::size_t kRecordSizeV1 = 100;
constexpr std::size_t kRecordSizeV2 = 108;
constexpr std::size_t kOffsetKind = 0;
constexpr std::size_t kOffsetTotalSize = 2;
constexpr std::size_t kOffsetFlags = 6;
constexpr std::size_t kOffsetVersion = 10;
constexpr std::size_t kOffsetReplyRouting = 92;
constexpr std::size_t kOffsetSessionId = 104;
constexpr std::uint32_t kFlagReply = 0x1;
constexpr std::uint32_t kFlagNoCopy = 0x8;
constexpr std::uint32_t kFlagCopyPublished = 0x10;
} // namespace courier
