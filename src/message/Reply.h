#pragma once

#include "message/Message.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace Norvan
{

// Outcome of a request as a Reply reports it.
using ReplyStatus = std::int32_t;

enum ReplyStatusCode : ReplyStatus
{
    REPLY_STATUS_RECEIVED = 0,  // a reply message is there
    REPLY_STATUS_PENDING = 1,   // not waited for yet
    REPLY_STATUS_TIMED_OUT = 2, // no reply before the deadline, or the bus timed the request out
    REPLY_STATUS_DATA_ERROR = 3 // bus error, empty reply, or the request was abandoned
};

// The handle a request hands back to its caller. Used by one thread at a time.
class Reply
{
public:
    virtual ~Reply() = default;

    // The current status, without waiting.
    virtual ReplyStatus getStatus() = 0;
    // The reply message when the status is REPLY_STATUS_RECEIVED, else empty.
    virtual void getReplyMessage(std::shared_ptr<Message>& message) = 0;
    // The final status, waiting up to the request's deadline.
    virtual ReplyStatus wait() = 0;
    // The status after waiting at most `timeout`; still pending when the
    // reply did not come in that time.
    virtual ReplyStatus waitFor(const std::chrono::milliseconds& timeout) = 0;
};

} // namespace Norvan
