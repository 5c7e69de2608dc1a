#include "message/MessageBusShimImpl.h"
#include "module/ModuleException.h"

#include "support/LogCapture.h"
#include "support/Packed.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Norvan;
using WardlineTest::LogCapture;

namespace
{

// The host's side, played by plain functions that write down every call. The
// bus handle is the address of the recorder, so each entry finds its own.
struct HostCall
{
    std::string entry;
    std::uint64_t requestIndex = 0;
    void* context = nullptr;
    MessageBusReplyCallback replyCallback = nullptr;
    MessageBusMessageCallback messageCallback = nullptr;
    const void* record = nullptr;
    std::wstring name;
    std::wstring source;
    std::wstring payload;
    std::uint64_t timeout = 0;
    std::uint32_t id = 0;
};

struct HostRecorder
{
    std::vector<HostCall> calls;
    std::uint32_t status = 0;
    std::uint32_t nextId = 41;

    std::vector<std::string> entries() const
    {
        std::vector<std::string> result;
        for (const auto& call : calls)
        {
            result.push_back(call.entry);
        }
        return result;
    }
};

HostRecorder& recorder(MessageBusHandle handle)
{
    return *static_cast<HostRecorder*>(handle);
}

std::uint32_t recordPublish(const char* entry, MessageBusHandle handle, const void* record,
                            const wchar_t* name, const wchar_t* source, const wchar_t* payload)
{
    HostCall call;
    call.entry = entry;
    call.record = record;
    call.name = name;
    call.source = source;
    call.payload = payload;
    recorder(handle).calls.push_back(call);
    return recorder(handle).status;
}

std::uint32_t recordRequest(const char* entry, MessageBusHandle handle, std::uint64_t index,
                            void* replyContext, MessageBusReplyCallback callback, const void* record,
                            const wchar_t* name, const wchar_t* source, const wchar_t* payload,
                            std::uint64_t timeout)
{
    HostCall call;
    call.entry = entry;
    call.requestIndex = index;
    call.context = replyContext;
    call.replyCallback = callback;
    call.record = record;
    call.name = name;
    call.source = source;
    call.payload = payload;
    call.timeout = timeout;
    recorder(handle).calls.push_back(call);
    return recorder(handle).status;
}

std::uint32_t recordSubscribe(const char* entry, MessageBusHandle handle, void* context,
                              MessageBusMessageCallback callback, const wchar_t* name)
{
    HostCall call;
    call.entry = entry;
    call.context = context;
    call.messageCallback = callback;
    call.name = name;
    call.id = recorder(handle).nextId++;
    recorder(handle).calls.push_back(call);
    return call.id;
}

const MessageBusFunctionTable kRecordingTable = {
    [](MessageBusHandle*) -> std::uint32_t { return 0; },
    [](MessageBusHandle) -> std::uint32_t { return 0; },
    [](MessageBusHandle h, const void* r, const wchar_t* n, const wchar_t* s, const wchar_t* p)
    { return recordPublish("publish", h, r, n, s, p); },
    [](MessageBusHandle h, std::uint64_t i, void* c, MessageBusReplyCallback cb, const void* r,
       const wchar_t* n, const wchar_t* s, const wchar_t* p, std::uint64_t t)
    { return recordRequest("request", h, i, c, cb, r, n, s, p, t); },
    [](MessageBusHandle h, void* c, MessageBusMessageCallback cb, const wchar_t* n)
    { return recordSubscribe("subscribe", h, c, cb, n); },
    [](MessageBusHandle h, void* c, MessageBusMessageCallback cb, const wchar_t* n)
    { return recordSubscribe("subscribeFilter", h, c, cb, n); },
    [](MessageBusHandle h, std::uint32_t id) -> std::uint32_t
    {
        HostCall call;
        call.entry = "unsubscribe";
        call.id = id;
        recorder(h).calls.push_back(call);
        return recorder(h).status;
    },
    [](MessageBusHandle h, MessageBusReplyCallback cb) -> std::uint32_t
    {
        HostCall call;
        call.entry = "removeReplyCallback";
        call.replyCallback = cb;
        recorder(h).calls.push_back(call);
        return recorder(h).status;
    },
    [](MessageBusHandle h, const void* r, const wchar_t* n, const wchar_t* s, const wchar_t* p)
    { return recordPublish("publishEx", h, r, n, s, p); },
    [](MessageBusHandle h, std::uint64_t i, void* c, MessageBusReplyCallback cb, const void* r,
       const wchar_t* n, const wchar_t* s, const wchar_t* p, std::uint64_t t)
    { return recordRequest("requestEx", h, i, c, cb, r, n, s, p, t); },
};

std::shared_ptr<Message> aMessage()
{
    return std::make_shared<Message>(L"Core.Protection.State", L"Wardline", L"{\"state\":\"red\"}");
}

MessageContext versionOneRecord(std::uint32_t totalSize)
{
    MessageContext record = kDefaultMessageContext;
    std::memset(&record, 0x5A, sizeof(record));
    record.version = 1;
    record.totalSize = totalSize;
    return record;
}

} // namespace

TEST(MessageBusShimImpl, RefusesNullHandleOrTable)
{
    HostRecorder host;
    {
        LogCapture log;
        try
        {
            MessageBusShimImpl shim(nullptr, nullptr);
            FAIL() << "constructed over a null handle";
        }
        catch (const ModuleException& error)
        {
            EXPECT_STREQ("Invalid message bus handle", error.what());
        }
        ASSERT_EQ(1u, log.count());
        EXPECT_EQ(4u, log.lines()[0].level);
        EXPECT_EQ(L"MessageBusShimImpl", log.lines()[0].file);
        EXPECT_EQ(L"Norvan::MessageBusShimImpl::MessageBusShimImpl", log.lines()[0].function);
        EXPECT_EQ(L"Invalid message bus handle. Throwing ModuleException.", log.lines()[0].text);
    }
    {
        LogCapture log;
        try
        {
            MessageBusShimImpl shim(&host, nullptr);
            FAIL() << "constructed over a null table";
        }
        catch (const ModuleException& error)
        {
            EXPECT_STREQ("Invalid message bus functions object", error.what());
        }
        ASSERT_EQ(1u, log.count());
        EXPECT_EQ(L"Invalid message bus functions object. Throwing ModuleException.", log.lines()[0].text);
    }
    EXPECT_TRUE(host.calls.empty()) << "a shim never built withdraws nothing";
}

TEST(MessageBusShimImpl, PublishChoosesTheEntryByTheExtendedFlag)
{
    HostRecorder host;
    MessageBusShimImpl shim(&host, &kRecordingTable);
    auto message = aMessage();

    host.status = 0x80000006u;
    EXPECT_EQ(0x80000006u, shim.publish(message, false));
    host.status = 0;
    EXPECT_EQ(0u, shim.publish(message, true));
    ASSERT_EQ((std::vector<std::string>{"publish", "publishEx"}), host.entries());
    for (const auto& call : host.calls)
    {
        EXPECT_EQ(message->getContext(), call.record);
        EXPECT_EQ(L"Core.Protection.State", call.name);
        EXPECT_EQ(L"Wardline", call.source);
        EXPECT_EQ(L"{\"state\":\"red\"}", call.payload);
    }
}

TEST(MessageBusShimImpl, RequestChoosesTheEntryAndPassesIndexAndTimeoutThrough)
{
    HostRecorder host;
    MessageBusShimImpl shim(&host, &kRecordingTable);
    auto message = aMessage();
    int replyContext = 0;

    EXPECT_EQ(0u, shim.request(message, 0x1122334455667788ull, &replyContext, std::chrono::milliseconds(5000),
                               false));
    EXPECT_EQ(0u, shim.request(message, 7, &replyContext, std::chrono::milliseconds(0x123456789ll), true));
    ASSERT_EQ((std::vector<std::string>{"request", "requestEx"}), host.entries());
    EXPECT_EQ(0x1122334455667788ull, host.calls[0].requestIndex);
    EXPECT_EQ(5000u, host.calls[0].timeout);
    EXPECT_EQ(7u, host.calls[1].requestIndex);
    EXPECT_EQ(0x123456789ull, host.calls[1].timeout);
    for (const auto& call : host.calls)
    {
        EXPECT_EQ(&replyContext, call.context);
        EXPECT_EQ(&MessageBusShimImpl::replyCallback, call.replyCallback);
        EXPECT_EQ(message->getContext(), call.record);
        EXPECT_EQ(L"Core.Protection.State", call.name);
    }

    // A negative time-out must not become an endless one at the host.
    shim.request(message, 8, &replyContext, std::chrono::milliseconds(-1), false);
    EXPECT_EQ(0u, host.calls.back().timeout);
}

TEST(MessageBusShimImpl, NullMessageNeverReachesTheHost)
{
    HostRecorder host;
    MessageBusShimImpl shim(&host, &kRecordingTable);
    int replyContext = 0;
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, shim.publish(nullptr, false));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, shim.publish(nullptr, true));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              shim.request(nullptr, 0, &replyContext, std::chrono::milliseconds(10), false));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              shim.request(nullptr, 0, &replyContext, std::chrono::milliseconds(10), true));
    EXPECT_TRUE(host.calls.empty());
}

TEST(MessageBusShimImpl, SubscriptionsPassTheMessageCallbackAndContext)
{
    HostRecorder host;
    MessageBusShimImpl shim(&host, &kRecordingTable);
    int handlerContext = 0;
    EXPECT_EQ(41u, shim.subscribe(L"Core.Protection.RefreshState", &handlerContext));
    EXPECT_EQ(42u, shim.subscribeFilter(L"Core\\..*", &handlerContext));
    host.status = 0x80000002u;
    EXPECT_EQ(0x80000002u, shim.unsubscribe(41));
    ASSERT_EQ((std::vector<std::string>{"subscribe", "subscribeFilter", "unsubscribe"}), host.entries());
    EXPECT_EQ(L"Core.Protection.RefreshState", host.calls[0].name);
    EXPECT_EQ(L"Core\\..*", host.calls[1].name);
    for (int i = 0; i < 2; ++i)
    {
        EXPECT_EQ(&handlerContext, host.calls[i].context);
        EXPECT_EQ(&MessageBusShimImpl::messageCallback, host.calls[i].messageCallback);
    }
    EXPECT_EQ(41u, host.calls[2].id);
}

TEST(MessageBusShimImpl, DestructionWithdrawsTheReplyCallbackOnce)
{
    HostRecorder host;
    {
        MessageBusShimImpl shim(&host, &kRecordingTable);
        int replyContext = 0;
        shim.request(aMessage(), 0, &replyContext, std::chrono::milliseconds(10), false);
        host.status = 0x80000002u; // a failing withdrawal is ignored
    }
    ASSERT_EQ((std::vector<std::string>{"request", "removeReplyCallback"}), host.entries());
    EXPECT_EQ(host.calls[0].replyCallback, host.calls[1].replyCallback);

    HostRecorder second;
    MessageBusShimImpl shim(&second, &kRecordingTable);
    second.status = 0x80000006u;
    EXPECT_EQ(0x80000006u, shim.removeReplyCallback());
    EXPECT_EQ(&MessageBusShimImpl::replyCallback, second.calls.at(0).replyCallback);
}

TEST(MessageBusShimImpl, TableWithEmptyEntriesIsRefusedNotCalled)
{
    HostRecorder host;
    const MessageBusFunctionTable empty = {};
    {
        MessageBusShimImpl shim(&host, &empty);
        int context = 0;
        EXPECT_EQ(MODULE_STATUS_NOT_IMPLEMENTED, shim.publish(aMessage(), false));
        EXPECT_EQ(MODULE_STATUS_NOT_IMPLEMENTED, shim.publish(aMessage(), true));
        EXPECT_EQ(MODULE_STATUS_NOT_IMPLEMENTED,
                  shim.request(aMessage(), 0, &context, std::chrono::milliseconds(1), false));
        EXPECT_EQ(MODULE_STATUS_NOT_IMPLEMENTED,
                  shim.request(aMessage(), 0, &context, std::chrono::milliseconds(1), true));
        EXPECT_EQ(0u, shim.subscribe(L"a", &context));
        EXPECT_EQ(0u, shim.subscribeFilter(L"a", &context));
        EXPECT_EQ(MODULE_STATUS_NOT_IMPLEMENTED, shim.unsubscribe(1));
        EXPECT_EQ(MODULE_STATUS_NOT_IMPLEMENTED, shim.removeReplyCallback());
    } // and the destructor survives it too
}

TEST(MessageCallback, BuildsTheMessageAndReturnsTheHandlersStatus)
{
    std::shared_ptr<Message> received;
    MessageHandler handler = [&received](const std::shared_ptr<Message>& message)
    {
        received = message;
        return 0x80000006u;
    };
    MessageContext record = versionOneRecord(130);
    EXPECT_EQ(0x80000006u,
              MessageBusShimImpl::messageCallback(&handler, &record, L"Name", L"Source", L"{\"a\":1}"));
    ASSERT_TRUE(received);
    EXPECT_EQ(L"Name", received->getName());
    EXPECT_EQ(L"Source", received->getSource());
    EXPECT_EQ(L"{\"a\":1}", received->getPayload());
    EXPECT_EQ(2u, packed(received->getContext()->version));
    EXPECT_EQ(138u, packed(received->getContext()->totalSize));
    EXPECT_EQ(0x5A5A5A5Au, packed(received->getContext()->flags));
    EXPECT_EQ(0u, packed(received->getContext()->sessionId));
    EXPECT_NE(static_cast<const void*>(&record), static_cast<const void*>(received->getContext()))
        << "the host's record may go away when the callback returns";
}

TEST(MessageCallback, BadHostArgumentsGiveDocumentedResults)
{
    std::shared_ptr<Message> received;
    MessageHandler handler = [&received](const std::shared_ptr<Message>& message)
    {
        received = message;
        return 0u;
    };
    // No record: the default one. No strings: empty ones, and the default
    // source for the missing source.
    EXPECT_EQ(0u, MessageBusShimImpl::messageCallback(&handler, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(received);
    EXPECT_EQ(L"", received->getName());
    EXPECT_EQ(defaultMessageSource(), received->getSource());
    EXPECT_EQ(2u, packed(received->getContext()->version));
    EXPECT_EQ(11u, packed(received->getContext()->extensionTag));

    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              MessageBusShimImpl::messageCallback(nullptr, nullptr, L"N", L"S", L"P"));

    MessageHandler empty;
    EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION,
              MessageBusShimImpl::messageCallback(&empty, nullptr, L"N", L"S", L"P"));
}

TEST(MessageCallback, ThrowingHandlerIsContainedAndTheShimStaysUsable)
{
    HostRecorder host;
    MessageBusShimImpl shim(&host, &kRecordingTable);
    int calls = 0;
    MessageHandler handler = [&calls](const std::shared_ptr<Message>&) -> ModuleStatus
    {
        if (++calls == 1)
        {
            throw std::runtime_error("handler failed");
        }
        return 0;
    };
    shim.subscribe(L"N", &handler);
    const auto callback = host.calls.at(0).messageCallback;
    void* context = host.calls.at(0).context;
    EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION, callback(context, nullptr, L"N", L"S", L"P"));
    EXPECT_EQ(0u, callback(context, nullptr, L"N", L"S", L"P"));
    EXPECT_EQ(0u, shim.publish(aMessage(), false));
    EXPECT_EQ(2, calls);
}

TEST(ReplyCallback, StatusZeroBringsTheMessage)
{
    std::uint64_t gotIndex = 0;
    std::shared_ptr<Message> gotMessage;
    ModuleStatus gotStatus = 1;
    ReplyFunction reply =
        [&](std::uint64_t index, const std::shared_ptr<Message>& message, ModuleStatus status)
    {
        gotIndex = index;
        gotMessage = message;
        gotStatus = status;
        return MODULE_STATUS_NOT_FOUND;
    };
    MessageContext record = kDefaultMessageContext;
    record.sessionId = 9;
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND,
              MessageBusShimImpl::replyCallback(&reply, 12, &record, L"R", L"S", L"{}", 0));
    EXPECT_EQ(12u, gotIndex);
    EXPECT_EQ(0u, gotStatus);
    ASSERT_TRUE(gotMessage);
    EXPECT_EQ(L"R", gotMessage->getName());
    EXPECT_EQ(9u, packed(gotMessage->getContext()->sessionId));
}

TEST(ReplyCallback, NonZeroStatusBringsNoMessage)
{
    int calls = 0;
    std::shared_ptr<Message> gotMessage = aMessage();
    ModuleStatus gotStatus = 0;
    ReplyFunction reply = [&](std::uint64_t, const std::shared_ptr<Message>& message, ModuleStatus status)
    {
        ++calls;
        gotMessage = message;
        gotStatus = status;
        return 0u;
    };
    MessageContext record = kDefaultMessageContext;
    EXPECT_EQ(
        0u, MessageBusShimImpl::replyCallback(&reply, 3, &record, L"R", L"S", L"{}", MODULE_STATUS_TIMEOUT));
    EXPECT_EQ(1, calls);
    EXPECT_FALSE(gotMessage);
    EXPECT_EQ(MODULE_STATUS_TIMEOUT, gotStatus);

    // The host may pass nothing at all with a failure status.
    EXPECT_EQ(0u,
              MessageBusShimImpl::replyCallback(&reply, 4, nullptr, nullptr, nullptr, nullptr, 0x80000006u));
    EXPECT_FALSE(gotMessage);
    EXPECT_EQ(0x80000006u, gotStatus);
}

TEST(ReplyCallback, NullContextOrThrowingReplyFunction)
{
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              MessageBusShimImpl::replyCallback(nullptr, 1, nullptr, L"R", L"S", L"{}", 0));
    ReplyFunction throwing = [](std::uint64_t, const std::shared_ptr<Message>&, ModuleStatus) -> ModuleStatus
    { throw std::logic_error("broken"); };
    EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION,
              MessageBusShimImpl::replyCallback(&throwing, 1, nullptr, L"R", L"S", L"{}", 0));
}
