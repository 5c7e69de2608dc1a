// The module as the host drives it: the function table of CreateObject,
// InitializeModuleV2 over an in-process host bus, and a sequence of messages
// for the four subscribed names (and others), delivered through DirectMessage
// or through the host callback the module handed to the bus. Records of every
// version sit right before a page without access.
//
// Checked after every message: the handler's status is one its message may
// end with, a state report publishes at most once and only a change, what is
// published is well formed and carries no bit of the incoming record, and the
// state a refresh publishes is the last one published. The module is
// destroyed after each input and must withdraw everything from the host bus.

#include "Fuzz.h"
#include "HostFakes.h"
#include "Payloads.h"

#include "message/JSONParser.h"
#include "message/Message.h"
#include "module/ModuleExports.h"
#include "module/ModuleFunctions.h"
#include "support/LogCapture.h"

#include <algorithm>

namespace WardlineFuzz
{
namespace
{

using Norvan::ModuleStatus;

constexpr const wchar_t kRefresh[] = L"Core.Protection.RefreshState";
constexpr const wchar_t kState[] = L"Core.Internal.Protection.State";
constexpr const wchar_t kIgnore[] = L"Core.Protection.IgnoreFirewall";
constexpr const wchar_t kIgnoreStatus[] = L"Core.Internal.Protection.IgnoreStatus";
constexpr const wchar_t kPublished[] = L"Core.Protection.State";

// The longest log text: a longer one is cut to 2080 characters.
constexpr std::size_t kLongestLogText = 4160;

std::uint32_t hostModuleManager(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t)
{
    return 0;
}

bool oneOf(ModuleStatus status, std::initializer_list<ModuleStatus> allowed)
{
    return std::find(allowed.begin(), allowed.end(), status) != allowed.end();
}

class ModuleTarget : public Target
{
public:
    unsigned shortIterations() const override { return 400; }
    std::vector<std::wstring> textTokens() const override
    {
        std::vector<std::wstring> tokens = protocolTokens();
        tokens.insert(tokens.end(), {kRefresh, kState, kIgnore, kIgnoreStatus, kPublished});
        return tokens;
    }

    void setUp() override { log_ = std::make_unique<WardlineTest::LogCapture>(); }
    void tearDown() override { log_.reset(); }

    Input generate(Mutator& mutator) override
    {
        Rng& rng = mutator.rng();
        Input input;
        input.addNumber(rng.chance(85) ? 0 : rng.pick(std::vector<std::uint64_t>{0x80000002u, 0x8000000Eu}));
        input.addText(mutator.mutatedText({L"Wardline", L""}));
        input.addText(rng.chance(80) ? std::wstring(L"WardlineFuzz")
                                     : mutator.mutatedText({L"WardlineFuzz", L""}));
        const std::vector<std::wstring> names = {kRefresh, kState, kState, kState, kIgnore, kIgnoreStatus};
        const std::size_t count = rng.between(1, 6);
        for (std::size_t i = 0; i < count; ++i)
        {
            input.addNumber(rng.below(2));
            std::wstring name = rng.pick(names);
            if (rng.chance(5))
            {
                mutator.mutate(name, names);
            }
            input.addText(name);
            input.addText(rng.chance(80) ? std::wstring(L"Producer")
                                         : mutator.mutatedText({L"Producer", L""}));
            if (rng.chance(40))
            {
                // A report that is most likely valid: the states of a small set.
                const std::vector<std::wstring> states = {L"green", L"red", L"Red", L"yellow", L""};
                std::wstring state = rng.pick(states);
                if (rng.chance(20))
                {
                    mutator.mutate(state, states);
                }
                input.addText(L"{\"state\":\"" + state + L"\"}");
            }
            else
            {
                input.addText(mutator.mutatedText(protocolPayloads()));
            }
            input.addBytes(rng.chance(25) ? std::string() : generateRecord(rng));
            input.addNumber(rng.chance(90) ? 0 : rng.below(8));
        }
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        log_->clear();
        FakeHostBus bus;
        bus.publishStatus = static_cast<std::uint32_t>(input.number(0));
        const std::wstring moduleName = input.text(2);
        const std::wstring name = upToNul(moduleName);
        expectedSource_ = name.empty() ? Norvan::defaultMessageSource() : name;

        const auto* table = static_cast<const Norvan::ModuleFunctionTable*>(CreateObject());
        Norvan::ModuleHandle* handle = nullptr;
        ModuleStatus status = table->NewModule(&handle, input.text(1).c_str());
        check.expect(status == 0 && handle != nullptr, Check::format("NewModule answered 0x%08X", status));
        if (handle == nullptr)
        {
            return;
        }
        const wchar_t* propertyNames[] = {L"a", L"b", L"a"};
        const wchar_t* propertyValues[] = {L"1", L"2", L"3"};
        int manager = 0;
        status = table->InitializeModuleV2(handle, moduleName.c_str(), L"secondary", 3, propertyNames,
                                           propertyValues, &manager, &hostModuleManager, bus.handle(),
                                           FakeHostBus::functions());
        check.expect(status == 0, Check::format("InitializeModuleV2 answered 0x%08X", status));
        check.expect(bus.subscriptions.size() == 4, "the module did not subscribe its four messages");

        state_ = L"green";
        published_ = false;
        for (std::size_t at = 3; at + 5 < input.size() + 1 && !check.failed(); at += 6)
        {
            deliver(*table, handle, bus, input, at, check);
        }

        // Whatever came before, a refresh publishes the state last published.
        bus.published.clear();
        table->DirectMessage(handle, nullptr, kRefresh, L"Fuzz", L"");
        check.expect(bus.published.size() == 1 && stateOf(bus.published[0], check) == state_,
                     "a refresh after the input does not publish the last state " + Check::narrow(state_));

        status = table->DestroyModule(handle);
        check.expect(status == 0, Check::format("DestroyModule answered 0x%08X", status));
        for (const auto& subscription : bus.subscriptions)
        {
            check.expect(subscription.callback == nullptr,
                         "a subscription outlived the module: " + Check::narrow(subscription.name));
        }
        check.expect(bus.replyCallbackRemovals > 0,
                     "the destroyed module did not withdraw its reply callback");
        for (const auto& line : log_->lines())
        {
            check.expect(
                line.text.size() <= kLongestLogText,
                Check::format("a log line of %u characters was not cut", unsigned(line.text.size())));
        }
    }

private:
    void deliver(const Norvan::ModuleFunctionTable& table, Norvan::ModuleHandle* handle, FakeHostBus& bus,
                 const Input& input, std::size_t at, Check& check)
    {
        const bool throughCallback = input.number(at) == 1;
        const HostStrings strings(input.text(at + 1), input.text(at + 2), input.text(at + 3),
                                  input.number(at + 5));
        const void* record = record_.place(input.bytes(at + 4));
        const std::wstring seenName = strings.seenName();

        bus.published.clear();
        ModuleStatus status = 0;
        const FakeHostBus::Subscription* subscription = bus.find(seenName);
        if (throughCallback && subscription != nullptr && subscription->callback != nullptr)
        {
            status = subscription->callback(subscription->context, record, strings.name(), strings.source(),
                                            strings.payload());
        }
        else
        {
            status = table.DirectMessage(handle, record, strings.name(), strings.source(), strings.payload());
            if (strings.anyNull())
            {
                check.expect(status == Norvan::MODULE_STATUS_INVALID_PARAMETER && bus.published.empty(),
                             Check::format("DirectMessage with a null string answered 0x%08X", status));
                return;
            }
            check.expect(status == 0, Check::format("DirectMessage answered 0x%08X", status));
            status = kAnyStatus;
        }

        const std::string what =
            Check::narrow(seenName) + " with " + Check::narrow(strings.givenPayload(), 80);
        for (const auto& p : bus.published)
        {
            checkPublished(p, check);
        }
        if (seenName == kRefresh)
        {
            check.expect(status == kAnyStatus || status == bus.publishStatus,
                         Check::format("a refresh answered 0x%08X", status));
            check.expect(bus.published.size() == 1 && stateOf(bus.published[0], check) == state_,
                         "a refresh did not publish the current state");
            published_ = true;
        }
        else if (seenName == kState)
        {
            // Whether the report is usable is the parser's to say (its own
            // target checks it); what the handler does with it is checked here.
            Norvan::JSONParser reference;
            std::wstring reported;
            const bool usable =
                reference.parse(strings.seenPayload()) && reference.getString(L"state", reported);
            const bool change = usable && (!published_ || reported != state_);
            check.expect(
                bus.published.size() == (change ? 1u : 0u),
                Check::format("%s published %u times", what.c_str(), unsigned(bus.published.size())));
            if (!usable)
            {
                check.expect(status == kAnyStatus || status == Norvan::MODULE_STATUS_DATA_ERROR,
                             Check::format("%s answered 0x%08X", what.c_str(), status));
            }
            else if (!change)
            {
                check.expect(status == kAnyStatus || status == 0,
                             Check::format("an unchanged state answered 0x%08X", status));
            }
            else if (bus.published.size() == 1)
            {
                check.expect(stateOf(bus.published[0], check) == reported,
                             "a report published another state than it carried: " + what);
                check.expect(status == kAnyStatus || status == bus.publishStatus,
                             Check::format("a published report answered 0x%08X", status));
                state_ = reported;
                published_ = true;
            }
        }
        else if (seenName == kIgnore || seenName == kIgnoreStatus)
        {
            check.expect(bus.published.empty(), "a firewall message published a state");
            // No settings manager answers here (the firewall target has one):
            // a write cannot be confirmed, and away from "red" an ignore
            // request must be refused before it acts.
            const bool allowed =
                status == kAnyStatus ||
                oneOf(status, {0, 1, Norvan::MODULE_STATUS_UNSUCCESSFUL, Norvan::MODULE_STATUS_DATA_ERROR,
                               Norvan::MODULE_STATUS_NO_MEMORY});
            check.expect(allowed, Check::format("%s answered 0x%08X", what.c_str(), status));
            if (seenName == kIgnore && state_ != L"red")
            {
                check.expect(status == kAnyStatus || status == Norvan::MODULE_STATUS_UNSUCCESSFUL,
                             Check::format("an ignore request away from red answered 0x%08X", status));
            }
        }
        else
        {
            check.expect(bus.published.empty(), "a message no one subscribed published a state: " + what);
        }
    }

    void checkPublished(const FakeHostBus::Published& p, Check& check) const
    {
        check.expect(p.name == kPublished, "published under the name " + Check::narrow(p.name));
        check.expect(p.source == expectedSource_, "published with the source " + Check::narrow(p.source));
        const Norvan::MessageContext& c = p.context;
        const std::uint32_t size =
            static_cast<std::uint32_t>(108 + 2 * (p.name.size() + p.source.size() + p.payload.size()) + 6);
        check.expect(
            c.version == 2 && c.kind == 1 && c.flags == 0 && c.replyRouting == 0 && c.sessionId == 0 &&
                c.extensionTag == 11 && c.extensionLength == 8 && c.totalSize == size,
            Check::format("a published record is not a new one: kind %u version %u flags 0x%X size %u",
                          c.kind, c.version, c.flags, c.totalSize));
    }

    static std::wstring stateOf(const FakeHostBus::Published& p, Check& check)
    {
        Norvan::JSONParser parser;
        std::wstring state;
        check.expect(parser.parse(p.payload) && parser.getString(L"state", state),
                     "a published payload has no state: " + Check::narrow(p.payload));
        return state;
    }

    // The status DirectMessage hides: its handlers' results are not returned.
    static constexpr ModuleStatus kAnyStatus = 0xFFFFFFFFu;

    std::unique_ptr<WardlineTest::LogCapture> log_;
    GuardedRecord record_;
    std::wstring expectedSource_;
    std::wstring state_;
    bool published_ = false;
};

WARDLINE_FUZZ_TARGET("module", ModuleTarget);

} // namespace
} // namespace WardlineFuzz
