// The firewall-alert handlers of the module with a settings manager that
// keeps the setting: ignore-status reports of any shape, state reports, and
// ignore requests while the state is not "red", all through the host bus
// callback. The settings manager confirms, refuses, or fails each write.
//
// Checked: each report ends with the status of the documented decision for
// its payload; the setting "Core.Protection.IgnoreFirewall" changes only when
// a report about the firewall rule is confirmed, and then holds exactly the
// reported flag; an ignore request away from "red" is refused and writes
// nothing.

#include "Fuzz.h"
#include "HostFakes.h"
#include "Payloads.h"

#include "message/JSONFormatter.h"
#include "message/JSONParser.h"
#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"
#include "module/IOCContainer.h"
#include "protection/WardlineImpl.h"
#include "settings/SettingsManagerClient.h"

#include <map>

namespace WardlineFuzz
{
namespace
{

using Norvan::ModuleStatus;

constexpr wchar_t kSetting[] = L"Core.Protection.IgnoreFirewall";
constexpr wchar_t kFirewallType[] = L"0F167695-3F7C-421c-89E8-40544CE9D1A1";

enum Manager : std::uint64_t
{
    Confirms,
    Refuses,
    Fails,
};

std::uint32_t hostModuleManager(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t)
{
    return 0;
}

// The documented decision for an ignore-status payload: the status, and the
// flag written when the payload is about the firewall rule.
struct Decision
{
    ModuleStatus status = Norvan::MODULE_STATUS_UNSUCCESSFUL;
    bool writes = false;
    bool ignored = false;
};

Decision decide(const std::wstring& payload)
{
    Decision d;
    Norvan::JSONParser document;
    std::wstring type;
    std::uint32_t rule = 0;
    if (!document.parse(payload) || !document.getString(L"protection_type", type))
    {
        return d;
    }
    if (type != kFirewallType)
    {
        d.status = 0;
        return d;
    }
    if (!document.getUint(L"rule_id", rule))
    {
        return d;
    }
    if (rule != 512)
    {
        d.status = 0;
        return d;
    }
    if (!document.getBool(L"ignored", d.ignored))
    {
        return d;
    }
    d.writes = true;
    return d;
}

std::wstring settingText(bool ignored)
{
    return ignored ? L"{\"ignore_firewall\":true}" : L"{\"ignore_firewall\":false}";
}

class FirewallTarget : public Target
{
public:
    unsigned shortIterations() const override { return 150; }
    std::vector<std::wstring> textTokens() const override { return protocolTokens(); }

    Input generate(Mutator& mutator) override
    {
        Rng& rng = mutator.rng();
        const std::vector<std::wstring> reports = {
            L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":512,\"ignored\":"
            L"true}",
            L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":512,\"ignored\":"
            L"false}",
            L"{\"ignored\":true,\"rule_id\":512.0,\"protection_type\":\"0F167695-3F7C-421c-89E8-"
            L"40544CE9D1A1\"}",
            L"{\"protection_type\":\"0f167695-3f7c-421c-89e8-40544ce9d1a1\",\"rule_id\":512,\"ignored\":"
            L"true}",
            L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":4294967808,"
            L"\"ignored\":true}",
            L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":\"512\",\"ignored\":"
            L"true}",
            L"[{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\"}]",
        };
        Input input;
        const std::size_t count = rng.between(1, 6);
        for (std::size_t i = 0; i < count; ++i)
        {
            // 0 ignore status, 1 state report, 2 ignore request.
            const std::uint64_t kind = rng.chance(70) ? 0 : (rng.chance(60) ? 1 : 2);
            input.addNumber(kind);
            input.addNumber(rng.chance(70) ? Confirms : (rng.chance(50) ? Refuses : Fails));
            if (kind == 0)
            {
                input.addText(mutator.mutatedText(reports));
            }
            else
            {
                static const std::vector<std::wstring> states = {
                    L"{\"state\":\"red\"}", L"{\"state\":\"green\"}", L"{\"state\":\"RED\"}"};
                input.addText(rng.pick(states));
            }
        }
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        std::map<std::wstring, std::wstring> store;
        Manager manager = Confirms;
        FakeHostBus settingsBus;
        settingsBus.onRequest = [&](const FakeHostBus::Request& request)
        {
            Norvan::JSONFormatter set;
            std::wstring name;
            std::wstring value;
            set.parse(request.payload);
            set.getString(L"name", name);
            set.getString(L"value", value);
            if (manager == Fails)
            {
                request.callback(request.replyContext, request.index, nullptr, nullptr, nullptr, nullptr,
                                 0x80000002u);
                return;
            }
            if (manager == Confirms)
            {
                store[name] = value;
            }
            const std::wstring reply = L"{\"name\":\"" + name + L"\",\"status\":" +
                                       (manager == Confirms ? L"true" : L"false") + L"}";
            request.callback(request.replyContext, request.index, nullptr, request.name.c_str(), L"Settings",
                             reply.c_str(), 0);
        };
        auto client =
            std::make_shared<Norvan::SettingsManagerClient>(std::make_shared<Norvan::MessageBusClient>(
                std::make_shared<Norvan::MessageBusShimImpl>(settingsBus.handle(), FakeHostBus::functions()),
                nullptr));
        auto container = std::make_shared<Plinth::IOCContainer>();
        container->registerInstance<Norvan::SettingsManager>(L"Unnamed registration", client);
        container->registerInstance<Norvan::SettingsManagerClient>(L"Unnamed registration", client);

        FakeHostBus moduleBus;
        int hostManager = 0;
        auto module = std::make_unique<Norvan::WardlineImpl>(container);
        check.expect(
            module->baseInitialize(
                L"WardlineFuzz", L"secondary", Norvan::ModuleProperties(),
                std::make_shared<Norvan::internal::ModuleManagerShim>(&hostManager, &hostModuleManager),
                std::make_shared<Norvan::MessageBusClient>(std::make_shared<Norvan::MessageBusShimImpl>(
                                                               moduleBus.handle(), FakeHostBus::functions()),
                                                           nullptr)) == 0 &&
                module->initialize() == 0,
            "the module does not initialise");

        std::wstring state = L"green";
        for (std::size_t at = 0; at + 3 <= input.size() && !check.failed(); at += 3)
        {
            const std::uint64_t kind = input.number(at);
            manager = static_cast<Manager>(input.number(at + 1) % 3);
            const std::wstring payload = input.text(at + 2);
            const wchar_t* name = kind == 0   ? L"Core.Internal.Protection.IgnoreStatus"
                                  : kind == 1 ? L"Core.Internal.Protection.State"
                                              : L"Core.Protection.IgnoreFirewall";
            if (kind == 2 && state == L"red")
            {
                continue; // the protection manager's COM calls are the integration tests'
            }
            const FakeHostBus::Subscription* subscription = moduleBus.find(name);
            if (subscription == nullptr)
            {
                check.expect(false, "the module did not subscribe to " + Check::narrow(name));
                return;
            }
            const std::map<std::wstring, std::wstring> before = store;
            const ModuleStatus status =
                subscription->callback(subscription->context, nullptr, name, L"Producer", payload.c_str());
            if (kind == 1)
            {
                Norvan::JSONParser report;
                report.parse(payload);
                report.getString(L"state", state);
                check.expect(store == before, "a state report wrote a setting");
                continue;
            }
            if (kind == 2)
            {
                check.expect(status == Norvan::MODULE_STATUS_UNSUCCESSFUL && store == before,
                             Check::format("an ignore request away from red answered 0x%08X", status));
                continue;
            }
            const Decision d = decide(payload.substr(0, payload.find(L'\0')));
            const std::string what = Check::narrow(payload, 120);
            if (!d.writes)
            {
                check.expect(status == d.status,
                             Check::format("a report answered 0x%08X, not 0x%08X: ", status, d.status) +
                                 what);
                check.expect(store == before, "a report that writes nothing changed the setting: " + what);
                continue;
            }
            const ModuleStatus expected = manager == Confirms ? 1 : 0;
            check.expect(status == expected,
                         Check::format("a firewall report answered 0x%08X, not 0x%08X: ", status, expected) +
                             what);
            if (manager == Confirms)
            {
                check.expect(store.size() == 1 && store[kSetting] == settingText(d.ignored),
                             "the setting does not hold the reported flag after " + what);
            }
            else
            {
                check.expect(store == before, "a write the manager did not confirm changed the setting");
            }
        }
        module.reset();
    }
};

WARDLINE_FUZZ_TARGET("firewall", FirewallTarget);

} // namespace
} // namespace WardlineFuzz
