#include "message/ReplyImpl.h"

#include "Logging/Log.h"

#include <windows.h>

#include <algorithm>
#include <limits>
#include <system_error>

namespace Norvan
{

namespace
{

constexpr const wchar_t* kLogFile = L"message\\ReplyImpl";

// A caller asking for "forever" is served in slices of a day.
constexpr std::int64_t kLongestSingleWaitMs = 24LL * 60 * 60 * 1000;

std::int64_t addSaturating(std::int64_t a, std::int64_t b) noexcept
{
    if (b > 0 && a > (std::numeric_limits<std::int64_t>::max)() - b)
    {
        return (std::numeric_limits<std::int64_t>::max)();
    }
    if (b < 0 && a < (std::numeric_limits<std::int64_t>::min)() - b)
    {
        return (std::numeric_limits<std::int64_t>::min)();
    }
    return a + b;
}

bool isReady(const future<std::shared_ptr<Message>>& future)
{
    return future.wait_for(std::chrono::milliseconds(0));
}

bool waitUpTo(const future<std::shared_ptr<Message>>& future, std::int64_t milliseconds)
{
    while (milliseconds > 0)
    {
        const std::int64_t slice = (std::min)(milliseconds, kLongestSingleWaitMs);
        if (future.wait_for(std::chrono::milliseconds(slice)))
        {
            return true;
        }
        milliseconds -= slice;
    }
    return isReady(future);
}

// The bus client fails a promise with operation_canceled when the host timed
// the request out; everything else means there is no usable reply.
ReplyStatus statusFromError(const std::error_code& code) noexcept
{
    return code == std::errc::operation_canceled ? REPLY_STATUS_TIMED_OUT : REPLY_STATUS_DATA_ERROR;
}

} // namespace

ReplyImpl::ReplyImpl(future<std::shared_ptr<Message>> future, const std::chrono::milliseconds& timeout)
    : future_(std::move(future))
{
    const std::int64_t deadline = addSaturating(addSaturating(nowMilliseconds(), timeout.count()), 1000);
    // Never before the clock's zero, so that "deadline - now" cannot overflow.
    deadline_ = (std::max)(deadline, std::int64_t{0});
}

std::int64_t ReplyImpl::nowMilliseconds() noexcept
{
    ULONGLONG hundredNanoseconds = 0;
    ::QueryUnbiasedInterruptTime(&hundredNanoseconds);
    return static_cast<std::int64_t>(hundredNanoseconds / 10000);
}

ReplyStatus ReplyImpl::getStatus()
{
    return status_;
}

void ReplyImpl::getReplyMessage(std::shared_ptr<Message>& message)
{
    message = status_ == REPLY_STATUS_RECEIVED ? replyMessage_ : nullptr;
}

ReplyStatus ReplyImpl::wait()
{
    if (status_ != REPLY_STATUS_PENDING)
    {
        return status_;
    }
    status_ = fetch();
    return status_;
}

ReplyStatus ReplyImpl::waitFor(const std::chrono::milliseconds& timeout)
{
    // The future is consumed by the fetch: a reply that already has its
    // outcome keeps it instead of reporting an unusable future.
    if (status_ != REPLY_STATUS_PENDING)
    {
        return status_;
    }
    if (!future_.valid())
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::ReplyImpl::waitFor",
               L"Reply future is in an invalid state. Returning.");
        status_ = REPLY_STATUS_DATA_ERROR;
        return status_;
    }
    if (!waitUpTo(future_, timeout.count()))
    {
        WL_LOG(ETWLogging::LevelWarning, kLogFile, L"Norvan::ReplyImpl::waitFor",
               L"Reply waitFor timed out. Returning.");
        return status_;
    }
    status_ = fetch();
    return status_;
}

ReplyStatus ReplyImpl::fetch()
{
    if (!future_.valid())
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::ReplyImpl::getReplyMessage",
               L"Reply future is in an invalid state. Returning.");
        return REPLY_STATUS_DATA_ERROR;
    }
    while (!isReady(future_))
    {
        const std::int64_t remaining = deadline_ - nowMilliseconds();
        if (remaining < 0)
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, L"Norvan::ReplyImpl::getReplyMessage",
                   L"Reply future did not get fulfilled on time. Returning.");
            return REPLY_STATUS_TIMED_OUT;
        }
        // At least a millisecond, so that the last stretch does not spin.
        future_.wait_for(
            std::chrono::milliseconds((std::clamp)(remaining, std::int64_t{1}, kLongestSingleWaitMs)));
    }
    try
    {
        replyMessage_ = future_.get();
        return replyMessage_ ? REPLY_STATUS_RECEIVED : REPLY_STATUS_DATA_ERROR;
    }
    catch (const broken_promise&)
    {
        // The client went away before the reply came.
        return REPLY_STATUS_DATA_ERROR;
    }
    catch (const std::system_error& error)
    {
        return statusFromError(error.code());
    }
    catch (...)
    {
        return REPLY_STATUS_DATA_ERROR;
    }
}

} // namespace Norvan
