#pragma once

#include <cstdint>

namespace Norvan
{

// The host bus as plain functions: the table the host's bus library hands
// out (or the host passes at initialisation) and the two callbacks the module
// gives it. The host owns the table; every entry but getHandle takes the bus
// handle first. Strings are NUL-terminated UTF-16, results module status
// codes, except the subscription ids of subscribe and subscribeFilter
// (0 = failure). Context records are passed by address (MessageContext).
using MessageBusHandle = void*;

// Delivers one message to one subscription; returns the handler's status.
typedef std::uint32_t (*MessageBusMessageCallback)(void* handlerContext, const void* contextRecord,
                                                   const wchar_t* name, const wchar_t* source,
                                                   const wchar_t* payload);

// Delivers the outcome of one accepted request, once per request index.
// Status 0 comes with the reply message; any other status has none.
typedef std::uint32_t (*MessageBusReplyCallback)(void* replyContext, std::uint64_t requestIndex,
                                                 const void* contextRecord, const wchar_t* name,
                                                 const wchar_t* source, const wchar_t* payload,
                                                 std::uint32_t status);

struct MessageBusFunctionTable
{
    std::uint32_t (*getHandle)(MessageBusHandle* handle);
    std::uint32_t (*releaseHandle)(MessageBusHandle handle);
    std::uint32_t (*publish)(MessageBusHandle handle, const void* contextRecord, const wchar_t* name,
                             const wchar_t* source, const wchar_t* payload);
    std::uint32_t (*request)(MessageBusHandle handle, std::uint64_t requestIndex, void* replyContext,
                             MessageBusReplyCallback replyCallback, const void* contextRecord,
                             const wchar_t* name, const wchar_t* source, const wchar_t* payload,
                             std::uint64_t timeoutMs);
    std::uint32_t (*subscribe)(MessageBusHandle handle, void* handlerContext,
                               MessageBusMessageCallback callback, const wchar_t* name);
    std::uint32_t (*subscribeFilter)(MessageBusHandle handle, void* handlerContext,
                                     MessageBusMessageCallback callback, const wchar_t* pattern);
    std::uint32_t (*unsubscribe)(MessageBusHandle handle, std::uint32_t subscriptionId);
    std::uint32_t (*removeReplyCallback)(MessageBusHandle handle, MessageBusReplyCallback replyCallback);
    // Second forms of publish and request, same arguments.
    std::uint32_t (*publishEx)(MessageBusHandle handle, const void* contextRecord, const wchar_t* name,
                               const wchar_t* source, const wchar_t* payload);
    std::uint32_t (*requestEx)(MessageBusHandle handle, std::uint64_t requestIndex, void* replyContext,
                               MessageBusReplyCallback replyCallback, const void* contextRecord,
                               const wchar_t* name, const wchar_t* source, const wchar_t* payload,
                               std::uint64_t timeoutMs);
};

static_assert(sizeof(MessageBusFunctionTable) == 10 * sizeof(void*), "ten entries, no padding");

} // namespace Norvan
