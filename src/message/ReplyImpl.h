#pragma once

#include "message/Reply.h"
#include "wrappers/Promise.h"

namespace Norvan
{

// A reply backed by the future of the request's promise, which the bus client
// completes on the bus thread that delivers the outcome.
class ReplyImpl : public Reply
{
public:
    // The deadline is `timeout` plus one second from now: the extra second
    // lets the host's own time-out, which gets `timeout`, answer first.
    ReplyImpl(future<std::shared_ptr<Message>> future, const std::chrono::milliseconds& timeout);

    ReplyStatus getStatus() override;
    void getReplyMessage(std::shared_ptr<Message>& message) override;
    ReplyStatus wait() override;
    ReplyStatus waitFor(const std::chrono::milliseconds& timeout) override;

    // Milliseconds on the unbiased interrupt-time clock (sleep not counted).
    static std::int64_t nowMilliseconds() noexcept;

private:
    ReplyStatus fetch();

    ReplyStatus status_ = REPLY_STATUS_PENDING;
    std::shared_ptr<Message> replyMessage_;
    future<std::shared_ptr<Message>> future_;
    std::int64_t deadline_ = 0;
};

} // namespace Norvan
