// The two callbacks the shim hands the host, called the way a host may call
// them: message deliveries with records of every version (placed before a
// no-access page), null strings, a null handler context and handlers that
// throw; replies for pending, unknown and already answered request indices,
// with every status, and with a null reply context.
//
// Checked: each callback answers what the handler or the reply matching
// says; the handler receives the host's strings and the record under the copy
// rule; a reply reaches exactly the request it names, and every request ends
// with its documented reply status, including those abandoned when the
// client goes away.

#include "Fuzz.h"
#include "HostFakes.h"

#include "message/Message.h"
#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"
#include "message/Reply.h"

#include <cstring>
#include <map>
#include <stdexcept>

namespace WardlineFuzz
{
namespace
{

using Norvan::MessageContext;
using Norvan::ModuleStatus;

constexpr std::uint64_t kDeliver = 0;
constexpr std::uint64_t kReply = 1;

// The record a message built from the host's record must carry.
MessageContext expectedRecord(const void* hostRecord, const Norvan::Message& message)
{
    MessageContext expected = Norvan::kDefaultMessageContext;
    expected.totalSize = static_cast<std::uint32_t>(
        108 + 2 * (message.getName().size() + message.getSource().size() + message.getPayload().size()) + 6);
    if (hostRecord == nullptr)
    {
        return expected;
    }
    std::uint16_t version = 0;
    std::memcpy(&version, static_cast<const BYTE*>(hostRecord) + offsetof(MessageContext, version), 2);
    if (version == 2)
    {
        std::memcpy(&expected, hostRecord, sizeof(expected));
        return expected;
    }
    std::memcpy(&expected, hostRecord, Norvan::kMessageContextSizeV1);
    expected.totalSize += 8;
    expected.version = 2;
    return expected;
}

class ShimTarget : public Target
{
public:
    unsigned shortIterations() const override { return 400; }

    Input generate(Mutator& mutator) override
    {
        Rng& rng = mutator.rng();
        Input input;
        const std::size_t requests = rng.below(4);
        input.addNumber(requests);
        for (std::size_t i = 0; i < requests; ++i)
        {
            // Time-outs as the client takes them: negative ones included.
            static const std::vector<std::uint64_t> timeouts = {0,     1,           5000, 0xFFFFFFFFull,
                                                                ~0ull, ~0ull - 4999};
            input.addNumber(rng.pick(timeouts));
        }
        const std::size_t operations = rng.between(1, 8);
        for (std::size_t i = 0; i < operations; ++i)
        {
            input.addNumber(rng.chance(50) ? kDeliver : kReply);
            // Deliveries: subscription (0 name, 1 pattern, 2 none) and the
            // handler's answer; replies: the request and the bus status.
            input.addNumber(rng.below(16));
            static const std::vector<std::uint64_t> statuses = {0,           0,           0, 0x8000000Du,
                                                                0x80000006u, 0x80000002u, 1};
            input.addNumber(rng.chance(90) ? rng.pick(statuses) : rng.next() & 0xFFFFFFFFu);
            input.addText(mutator.mutatedText({L"Fuzz.Name", L"Fuzz.Other", L""}));
            input.addText(mutator.mutatedText({L"Source", L""}));
            input.addText(mutator.mutatedText({L"{\"name\":\"x\",\"status\":true}", L"payload", L""}));
            input.addBytes(rng.chance(25) ? std::string() : generateRecord(rng));
            input.addNumber(rng.chance(80) ? 0 : rng.below(16));
        }
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        FakeHostBus bus;
        auto shim = std::make_shared<Norvan::MessageBusShimImpl>(bus.handle(), FakeHostBus::functions());
        auto client = std::make_shared<Norvan::MessageBusClient>(shim, nullptr);

        std::shared_ptr<Norvan::Message> received;
        unsigned calls = 0;
        ModuleStatus answer = 0;
        bool throwing = false;
        const Norvan::MessageHandler handler = [&](std::shared_ptr<Norvan::Message> message) -> ModuleStatus
        {
            ++calls;
            received = std::move(message);
            if (throwing)
            {
                throw std::runtime_error("handler fault");
            }
            return answer;
        };
        check.expect(client->subscribe(L"Fuzz.Name", handler) == 0, "subscribe failed");
        check.expect(client->subscribeFilter(L"^Fuzz\\..*", handler) == 0, "subscribeFilter failed");

        struct Request
        {
            std::shared_ptr<Norvan::Reply> reply;
            std::uint64_t index = 0;
            bool answered = false;
            std::uint32_t status = 0;
            std::wstring payload;
        };
        std::vector<Request> requests;
        const std::size_t requestCount = static_cast<std::size_t>(input.number(0)) % 8;
        std::size_t at = 1;
        for (std::size_t i = 0; i < requestCount; ++i, ++at)
        {
            const auto timeout = std::chrono::milliseconds(static_cast<std::int64_t>(input.number(at)));
            std::shared_ptr<Norvan::Message> message;
            Norvan::createMessage(message, L"Fuzz.Request", L"", L"request " + std::to_wstring(i));
            Request request;
            check.expect(client->request(message, request.reply, timeout) == 0 && request.reply,
                         "a request was refused");
            check.expect(bus.requests.size() == i + 1, "the host did not get the request");
            if (bus.requests.size() == i + 1)
            {
                request.index = bus.requests[i].index;
                check.expect(bus.requests[i].timeoutMs ==
                                 (timeout.count() > 0 ? static_cast<std::uint64_t>(timeout.count()) : 0),
                             "the host got another time-out than the request's");
            }
            requests.push_back(std::move(request));
        }

        std::map<std::uint64_t, std::size_t> pendingByIndex;
        for (std::size_t i = 0; i < requests.size(); ++i)
        {
            pendingByIndex[requests[i].index] = i;
        }

        for (; at + 8 <= input.size(); at += 8)
        {
            const std::uint64_t kind = input.number(at);
            const std::uint64_t selector = input.number(at + 1);
            const auto status = static_cast<std::uint32_t>(input.number(at + 2));
            const std::uint64_t nulls = input.number(at + 7);
            const HostStrings strings(input.text(at + 3), input.text(at + 4), input.text(at + 5), nulls);
            const void* record = record_.place(input.bytes(at + 6));
            const bool nullContext = (nulls & 8) != 0;
            const std::wstring seenName = strings.seenName();
            const std::wstring seenSource = strings.seenSource();
            const std::wstring seenPayload = strings.seenPayload();

            if (kind == kDeliver)
            {
                const auto& subscription = bus.subscriptions[selector % bus.subscriptions.size()];
                answer = status;
                throwing = selector % 5 == 4;
                calls = 0;
                received.reset();
                const ModuleStatus result =
                    subscription.callback(nullContext ? nullptr : subscription.context, record,
                                          strings.name(), strings.source(), strings.payload());
                if (nullContext)
                {
                    check.expect(result == Norvan::MODULE_STATUS_INVALID_PARAMETER && calls == 0,
                                 Check::format("a delivery without handler context answered 0x%08X", result));
                    continue;
                }
                const ModuleStatus expected = throwing ? Norvan::MODULE_STATUS_UNKNOWN_EXCEPTION : status;
                check.expect(result == expected && calls == 1,
                             Check::format("a delivery answered 0x%08X after %u handler calls, not 0x%08X",
                                           result, calls, expected));
                if (!received)
                {
                    continue;
                }
                check.expect(received->getName() == seenName && received->getPayload() == seenPayload,
                             "the handler got other strings than the host's");
                check.expect(received->getSource() ==
                                 (seenSource.empty() ? Norvan::defaultMessageSource() : seenSource),
                             "the handler got the source " + Check::narrow(received->getSource()));
                const MessageContext want = expectedRecord(record, *received);
                check.expect(std::memcmp(&want, received->getContext(), sizeof(want)) == 0,
                             "the handler's record is not the host's record under the copy rule");
                continue;
            }

            // A reply: for one of the requests, or for an index never asked.
            const bool known = !requests.empty() && selector % 4 != 3;
            const std::uint64_t index = known ? requests[selector % requests.size()].index : 1000 + selector;
            const auto callback = bus.requests.empty() ? nullptr : bus.requests[0].callback;
            void* replyContext = bus.requests.empty() ? nullptr : bus.requests[0].replyContext;
            if (callback == nullptr)
            {
                continue;
            }
            const auto pending = pendingByIndex.find(index);
            const ModuleStatus result = callback(nullContext ? nullptr : replyContext, index, record,
                                                 strings.name(), strings.source(), strings.payload(), status);
            if (nullContext)
            {
                check.expect(result == Norvan::MODULE_STATUS_INVALID_PARAMETER,
                             Check::format("a reply without reply context answered 0x%08X", result));
                continue;
            }
            if (pending == pendingByIndex.end())
            {
                check.expect(result == Norvan::MODULE_STATUS_NOT_FOUND,
                             Check::format("a reply for an index not pending answered 0x%08X", result));
                continue;
            }
            check.expect(result == 0, Check::format("a reply for a pending request answered 0x%08X", result));
            Request& request = requests[pending->second];
            request.answered = true;
            request.status = status;
            request.payload = seenPayload;
            pendingByIndex.erase(pending);
        }

        // Requests still pending are abandoned with the client.
        client.reset();
        shim.reset();
        check.expect(bus.replyCallbackRemovals > 0, "the reply callback was not withdrawn");
        for (const auto& subscription : bus.subscriptions)
        {
            check.expect(subscription.callback == nullptr, "a subscription outlived the client");
        }
        for (Request& request : requests)
        {
            if (!request.reply)
            {
                continue;
            }
            const Norvan::ReplyStatus expected = !request.answered     ? Norvan::REPLY_STATUS_DATA_ERROR
                                                 : request.status == 0 ? Norvan::REPLY_STATUS_RECEIVED
                                                 : request.status == Norvan::MODULE_STATUS_TIMEOUT
                                                     ? Norvan::REPLY_STATUS_TIMED_OUT
                                                     : Norvan::REPLY_STATUS_DATA_ERROR;
            const Norvan::ReplyStatus got = request.reply->wait();
            check.expect(got == expected, Check::format("a request ended with %d, not %d", got, expected));
            std::shared_ptr<Norvan::Message> message;
            request.reply->getReplyMessage(message);
            check.expect((got == Norvan::REPLY_STATUS_RECEIVED) == (message != nullptr),
                         "a reply message is there for a reply status other than received, or missing");
            if (message)
            {
                check.expect(message->getPayload() == request.payload,
                             "a reply reached another request than the one it named");
            }
        }
    }

private:
    GuardedRecord record_;
};

WARDLINE_FUZZ_TARGET("shim", ShimTarget);

} // namespace
} // namespace WardlineFuzz
