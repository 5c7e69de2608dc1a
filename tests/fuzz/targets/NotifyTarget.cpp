// The settings manager's change notifications as the host bus delivers them
// to the settings client's subscriptions: payloads of any shape, for
// subscriptions by exact name, for all names, and by pattern (the property
// name of a pattern subscription comes from the input too, regular-expression
// characters included).
//
// Checked: a subscription the bus refuses reports false; a delivery answers
// 0 or MODULE_STATUS_DATA_ERROR, the latter exactly when the payload lacks
// what the notification must carry; the callback runs once with the names
// and value the payload holds, and for an exact-name subscription only for
// that name.

#include "Fuzz.h"
#include "HostFakes.h"

#include "message/JSONFormatter.h"
#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"
#include "settings/SettingsManagerClient.h"

#include <algorithm>

namespace WardlineFuzz
{
namespace
{

using Norvan::ModuleStatus;

class NotifyTarget : public Target
{
public:
    unsigned shortIterations() const override { return 300; }
    std::vector<std::wstring> textTokens() const override
    {
        return {L"\"name\"", L"\"value\"", L"(", L")", L"[", L"\\", L".*", L"|", L"+", L"{2,}", L"(?:"};
    }

    Input generate(Mutator& mutator) override
    {
        Rng& rng = mutator.rng();
        Input input;
        const std::wstring name =
            rng.chance(70) ? std::wstring(L"Net") : mutator.mutatedText({L"Net", L"a.b", L"(x"});
        input.addText(name);
        const std::size_t count = rng.between(1, 6);
        for (std::size_t i = 0; i < count; ++i)
        {
            input.addNumber(rng.below(16));
            input.addText(
                mutator.mutatedText({L"{\"name\":\"a\"}", L"{\"name\":\"Net\",\"value\":\"1\"}",
                                     L"{\"name\":\"b\",\"value\":5}", L"{\"value\":\"1\"}", L"[]", L""}));
        }
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        FakeHostBus bus;
        auto client =
            std::make_shared<Norvan::SettingsManagerClient>(std::make_shared<Norvan::MessageBusClient>(
                std::make_shared<Norvan::MessageBusShimImpl>(bus.handle(), FakeHostBus::functions()),
                nullptr));

        // Which callback ran, with what.
        int calls = 0;
        int which = -1;
        std::wstring gotName;
        std::wstring gotValue;
        const auto nameCallback = [&](int id)
        {
            return [&, id](const std::wstring& name)
            {
                ++calls;
                which = id;
                gotName = name;
            };
        };
        const std::wstring patternName = input.text(0);
        check.expect(client->subscribePropertySet(nameCallback(0), L"a"), "subscribePropertySet refused");
        check.expect(client->subscribePropertySet(nameCallback(1)), "subscribePropertySet refused");
        check.expect(client->subscribePropertyRemoved(nameCallback(2)), "subscribePropertyRemoved refused");
        const std::size_t fixed = bus.subscriptions.size();
        const bool setSubscribed = client->subscribeNotifySet(
            [&](const std::wstring& name, const std::wstring& value)
            {
                ++calls;
                which = 3;
                gotName = name;
                gotValue = value;
            },
            patternName);
        const bool deleteSubscribed = client->subscribeNotifyDelete(nameCallback(4), patternName);
        // An empty name subscribes nothing and answers true; a pattern the
        // bus cannot compile is refused.
        // The two patterns differ in the length of their prefix, which
        // matters only near the bound on a pattern's length.
        check.expect(setSubscribed == deleteSubscribed || patternName.size() > 900,
                     "the two pattern subscriptions disagree");
        check.expect(!setSubscribed || patternName.size() <= 1024,
                     "a pattern longer than the bound was subscribed");
        check.expect(!patternName.empty() || (setSubscribed && bus.subscriptions.size() == fixed),
                     "an empty property name subscribed something");

        for (std::size_t at = 1; at + 2 <= input.size() && !check.failed(); at += 2)
        {
            const std::size_t index = static_cast<std::size_t>(input.number(at)) % bus.subscriptions.size();
            const FakeHostBus::Subscription& subscription = bus.subscriptions[index];
            const std::wstring payload = input.text(at + 1);
            calls = 0;
            which = -1;
            gotName.clear();
            gotValue.clear();
            const ModuleStatus status = subscription.callback(
                subscription.context, nullptr, subscription.name.c_str(), L"", payload.c_str());

            // What the payload carries, read as its members are documented.
            Norvan::JSONFormatter reference;
            std::wstring name;
            std::wstring value;
            const bool hasName =
                reference.parse(payload.substr(0, payload.find(L'\0'))) && reference.getString(L"name", name);
            const bool hasValue = hasName && reference.getString(L"value", value);
            const bool isSet = subscription.pattern && index == fixed;
            const bool usable = isSet ? hasValue : hasName;
            const std::string what = Check::narrow(payload, 80);
            check.expect(status == (usable ? 0u : static_cast<unsigned>(Norvan::MODULE_STATUS_DATA_ERROR)),
                         Check::format("a notification answered 0x%08X: ", status) + what);
            const bool filtered = index == 0 && name != L"a";
            check.expect(calls == (usable && !filtered ? 1 : 0),
                         Check::format("a notification ran %d callbacks: ", calls) + what);
            if (calls == 1)
            {
                check.expect(gotName == name && (!isSet || gotValue == value),
                             "a callback got other names or values than the payload's: " + what);
            }
        }
        client.reset();
    }
};

WARDLINE_FUZZ_TARGET("notify", NotifyTarget);

} // namespace
} // namespace WardlineFuzz
