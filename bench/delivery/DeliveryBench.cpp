// Time per message on the delivery path: the host's message callback of the
// shim builds a Message, copies the host's context record into it and calls
// the handler the client subscribed. The baseline does only what any
// delivery must: copy the three strings, make one shared object of them and
// call the handler through a std::function. Both run in the same process,
// interleaved, so that the ratio is fair on a shared machine.
//
// Prints one parseable line:
//   BENCH delivery_ns value=<ns> baseline=<ns> ratio=<r> target=<=1.5 holds=<yes|no>

#include "BenchReport.h"

#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

using namespace Norvan;

namespace
{

constexpr const wchar_t* kName = L"Core.Internal.Protection.State";
constexpr const wchar_t* kSource = L"ProtectionProducer";
constexpr const wchar_t* kPayload = L"{\"state\":\"red\"}";

// Keeps the handlers' work observable so that nothing is optimised away.
volatile std::size_t g_sink = 0;

struct Host
{
    MessageBusMessageCallback callback = nullptr;
    void* context = nullptr;
};

std::uint32_t hostSubscribe(MessageBusHandle handle, void* context, MessageBusMessageCallback callback,
                            const wchar_t*)
{
    static_cast<Host*>(handle)->callback = callback;
    static_cast<Host*>(handle)->context = context;
    return 1;
}

std::uint32_t hostOk(MessageBusHandle, std::uint32_t)
{
    return 0;
}

std::uint32_t hostRemoveReply(MessageBusHandle, MessageBusReplyCallback)
{
    return 0;
}

// What the baseline builds: the three strings in one shared object.
struct PlainMessage
{
    std::wstring name;
    std::wstring source;
    std::wstring payload;
};

} // namespace

int main()
{
    constexpr int kMessages = 200000;
    constexpr int kRounds = 9;
    constexpr double kTarget = 1.5;

    Host host;
    MessageBusFunctionTable table = {};
    table.subscribe = &hostSubscribe;
    table.unsubscribe = &hostOk;
    table.removeReplyCallback = &hostRemoveReply;

    auto client =
        std::make_shared<MessageBusClient>(std::make_shared<MessageBusShimImpl>(&host, &table), nullptr);
    client->subscribe(kName,
                      [](const std::shared_ptr<Message>& message) -> ModuleStatus
                      {
                          g_sink = g_sink + message->getPayload().size() + message->getContext()->sessionId;
                          return 0;
                      });
    if (host.callback == nullptr)
    {
        std::printf("bench_delivery: the subscription did not reach the host\n");
        return 1;
    }

    MessageContext record = kDefaultMessageContext;
    record.totalSize = 200;
    record.sessionId = 1;

    std::function<ModuleStatus(const std::shared_ptr<PlainMessage>&)> baselineHandler =
        [](const std::shared_ptr<PlainMessage>& message) -> ModuleStatus
    {
        g_sink = g_sink + message->payload.size() + 1;
        return 0;
    };
    const wchar_t* volatile name = kName;
    const wchar_t* volatile source = kSource;
    const wchar_t* volatile payload = kPayload;

    bench::Rounds rounds;
    for (int round = 0; round < kRounds; ++round)
    {
        const double pathNs = bench::timePerCall(
            kMessages, [&] { host.callback(host.context, &record, name, source, payload); });
        const double baselineNs =
            bench::timePerCall(kMessages,
                               [&]
                               {
                                   std::wstring n(name);
                                   std::wstring s(source);
                                   std::wstring p(payload);
                                   auto message = std::make_shared<PlainMessage>(
                                       PlainMessage{std::move(n), std::move(s), std::move(p)});
                                   baselineHandler(message);
                               });
        rounds.add(pathNs, baselineNs);
    }

    std::printf(
        "delivery path: %.1f ns/message, baseline %.1f ns/message (medians of %d rounds of %d; sink %zu)\n",
        bench::median(rounds.values), bench::median(rounds.baselines), kRounds, kMessages,
        static_cast<std::size_t>(g_sink));
    bench::printLine("delivery_ns", rounds, kTarget, "ns");
    return 0;
}
