// The settings client against a settings manager that keeps values, on the
// real bus client and shim over an in-process host bus that answers from
// inside the request. Each answer is faithful, mutated (any text in place of
// the response), a host time-out or error, given twice, late (to a request
// that already gave up, while a later one waits), or never given.
//
// Checked: every request the manager receives is well-formed JSON naming
// exactly the properties asked for; an operation succeeds exactly when its
// own reply says so (a faithful reply: what the manager holds); a failed get
// leaves its output alone; a result map holds every property asked for and
// nothing else; a reply never reaches another request than its own.

#include "Fuzz.h"
#include "HostFakes.h"

#include "message/JSONFormatter.h"
#include "message/JSONParser.h"
#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"
#include "settings/SettingsManagerClient.h"
#include "support/JsonText.h"

#include <algorithm>
#include <map>

namespace WardlineFuzz
{
namespace
{

using Norvan::JSONFormatter;

enum Operation : std::uint64_t
{
    Set,
    Get,
    GetInt,
    Remove,
    GetMany,
    SetMany,
    OperationCount
};

enum Answer : std::uint64_t
{
    Faithful,
    Mutated,
    HostTimeout,
    HostError,
    Twice,
    Never,
};

constexpr std::uint32_t kTimeoutStatus = 0x8000000Du;

std::vector<std::wstring> splitNames(const std::wstring& text)
{
    std::vector<std::wstring> names;
    std::size_t start = 0;
    for (;;)
    {
        const std::size_t end = text.find(L'\n', start);
        names.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
        {
            return names;
        }
        start = end + 1;
    }
}

JSONFormatter item(const std::wstring& name, const std::wstring* value, bool status)
{
    JSONFormatter object;
    object.setString(L"name", name);
    object.setBool(L"status", status);
    if (value != nullptr)
    {
        object.setString(L"value", *value);
    }
    return object;
}

using WardlineTest::text;

bool wellFormed(const std::wstring& text)
{
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
        {
            ++i;
        }
        else if (text[i] >= 0xD800 && text[i] <= 0xDFFF)
        {
            return false;
        }
    }
    return true;
}

// The settings manager: keeps values, and answers each request from them.
class SettingsStore
{
public:
    std::map<std::wstring, std::wstring> values;
    // The properties of the current operation are well-formed UTF-16: its
    // request must then parse. (The payload classes write a broken
    // surrogate as it is and refuse it when reading; a caller that passes
    // one gets a request the manager cannot read.)
    bool parsable = true;

    // The faithful response to a request, after carrying it out; empty when
    // the request cannot be read.
    std::wstring answer(const std::wstring& message, const std::wstring& payload, Check& check)
    {
        Norvan::JSONFormatter request;
        names.clear();
        if (!request.parse(payload))
        {
            check.expect(!parsable, "a request is not a JSON object: " + Check::narrow(payload));
            return std::wstring();
        }
        std::wstring name;
        if (message == L"SETTINGS_MANAGER_SET_PROPERTY" || message == L"SETTINGS_MANAGER_GET_PROPERTY" ||
            message == L"SETTINGS_MANAGER_REMOVE_PROPERTY")
        {
            check.expect(request.getString(L"name", name), "a request names no property");
            names.push_back(name);
            if (message == L"SETTINGS_MANAGER_SET_PROPERTY")
            {
                std::wstring value;
                check.expect(request.getString(L"value", value), "a set request carries no value");
                values[name] = value;
                return text(item(name, nullptr, true));
            }
            if (message == L"SETTINGS_MANAGER_REMOVE_PROPERTY")
            {
                values.erase(name);
                return text(item(name, nullptr, true));
            }
            const auto found = values.find(name);
            return text(item(name, found != values.end() ? &found->second : nullptr, found != values.end()));
        }
        std::vector<JSONFormatter> properties;
        request.getObjectArray(L"properties", properties);
        JSONFormatter response;
        for (const JSONFormatter& property : properties)
        {
            check.expect(property.getString(L"name", name), "a request item names no property");
            names.push_back(name);
            if (message == L"SettingsManager.SetProperties.Request")
            {
                std::wstring value;
                property.getString(L"value", value);
                values[name] = value;
                response.appendObject(L"responses", item(name, nullptr, true));
            }
            else
            {
                const auto found = values.find(name);
                response.appendObject(
                    L"responses",
                    item(name, found != values.end() ? &found->second : nullptr, found != values.end()));
            }
        }
        return text(response);
    }

    // The properties the last request named, in its order.
    std::vector<std::wstring> names;
};

// What a reply text says about one property, read the way the documented
// response members are read.
struct Said
{
    bool confirmed = false; // the item names it with "status" true
    bool hasValue = false;  // ... and a string "value"
    std::vector<std::wstring> values;
};

Said singleSaid(const std::wstring& reply, const std::wstring& name)
{
    Said said;
    JSONFormatter response;
    std::wstring replied;
    bool status = false;
    std::wstring value;
    if (response.parse(reply) && response.getString(L"name", replied) && replied == name &&
        response.getBool(L"status", status) && status)
    {
        said.confirmed = true;
        said.hasValue = response.getString(L"value", value);
        said.values.push_back(value);
    }
    return said;
}

Said listSaid(const std::wstring& reply, const std::wstring& name)
{
    Said said;
    JSONFormatter response;
    std::vector<JSONFormatter> items;
    if (!response.parse(reply) || !response.getObjectArray(L"responses", items))
    {
        return said;
    }
    for (const JSONFormatter& entry : items)
    {
        std::wstring replied;
        bool status = false;
        std::wstring value;
        if (entry.getString(L"name", replied) && replied == name && entry.getBool(L"status", status) &&
            status)
        {
            said.confirmed = true;
            if (entry.getString(L"value", value))
            {
                said.hasValue = true;
                said.values.push_back(value);
            }
        }
    }
    return said;
}

class SettingsTarget : public Target
{
public:
    unsigned shortIterations() const override { return 150; }
    std::vector<std::wstring> textTokens() const override
    {
        return {L"\"name\"", L"\"value\"", L"\"status\"", L"\"responses\"", L"true", L"false",
                L"null",     L"[{",        L"}]"};
    }

    Input generate(Mutator& mutator) override
    {
        Rng& rng = mutator.rng();
        const std::vector<std::wstring> names = {L"Core.Protection.IgnoreFirewall", L"a", L"b", L"Net", L""};
        const std::vector<std::wstring> values = {L"{\"ignore_firewall\":true}", L"1", L"-7", L"", L"12abc"};
        Input input;
        const std::size_t count = rng.between(1, 6);
        for (std::size_t i = 0; i < count; ++i)
        {
            const std::uint64_t operation = rng.below(OperationCount);
            std::vector<std::wstring> chosen;
            const std::size_t many = operation == GetMany || operation == SetMany ? rng.below(4) : 1;
            for (std::size_t n = 0; n < many; ++n)
            {
                chosen.push_back(rng.chance(85) ? rng.pick(names) : mutator.mutatedText(names));
            }
            std::wstring joined;
            for (std::size_t n = 0; n < chosen.size(); ++n)
            {
                joined += (n > 0 ? L"\n" : L"") + chosen[n];
            }
            const std::wstring value = rng.chance(85) ? rng.pick(values) : mutator.mutatedText(values);

            std::uint64_t answer = Faithful;
            const std::uint64_t dice = rng.below(1000);
            answer = dice < 450   ? Faithful
                     : dice < 800 ? Mutated
                     : dice < 870 ? HostTimeout
                     : dice < 940 ? HostError
                     : dice < 997 ? Twice
                                  : Never;
            // A reply text built for these names, mutated.
            JSONFormatter single = item(chosen.empty() ? L"" : chosen[0], &value, true);
            JSONFormatter list;
            for (const std::wstring& name : chosen)
            {
                list.appendObject(L"responses", item(name, &value, rng.chance(80)));
            }
            const std::vector<std::wstring> seeds = {text(single), text(list)};
            std::wstring reply = operation == GetMany || operation == SetMany ? text(list) : text(single);
            if (answer == Mutated || answer == Twice)
            {
                mutator.mutate(reply, seeds);
            }
            input.addNumber(operation);
            input.addText(joined);
            input.addText(value);
            input.addNumber(answer);
            input.addText(reply);
        }
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        FakeHostBus bus;
        SettingsStore store;
        // The reply the current operation's request got, as its client reads it.
        bool replied = false;
        std::wstring replyText;
        std::uint64_t answer = Faithful;
        std::wstring mutatedReply;
        std::vector<FakeHostBus::Request> unanswered;
        bus.onRequest = [&](const FakeHostBus::Request& request)
        {
            const std::wstring faithful = store.answer(request.name, request.payload, check);
            if (faithful.empty())
            {
                request.callback(request.replyContext, request.index, nullptr, nullptr, nullptr, nullptr,
                                 0x80000006u);
                return;
            }
            // A reply still owed to an earlier request comes now: it must not
            // reach this one.
            for (const FakeHostBus::Request& late : unanswered)
            {
                late.callback(late.replyContext, late.index, nullptr, late.name.c_str(), L"Settings",
                              L"{\"name\":\"late\",\"status\":true,\"value\":\"late\"}", 0);
            }
            unanswered.clear();
            switch (answer)
            {
            case Faithful:
            case Mutated:
            case Twice:
                replied = true;
                replyText = answer == Mutated ? mutatedReply : faithful;
                request.callback(request.replyContext, request.index, nullptr, request.name.c_str(),
                                 L"Settings", replyText.c_str(), 0);
                if (answer == Twice)
                {
                    check.expect(request.callback(request.replyContext, request.index, nullptr,
                                                  request.name.c_str(), L"Settings", mutatedReply.c_str(),
                                                  0) == Norvan::MODULE_STATUS_NOT_FOUND,
                                 "a second reply for one request was taken");
                }
                break;
            case HostTimeout:
            case HostError:
                request.callback(request.replyContext, request.index, nullptr, nullptr, nullptr, nullptr,
                                 answer == HostTimeout ? kTimeoutStatus : 0x80000006u);
                break;
            default:
                unanswered.push_back(request);
                break;
            }
        };
        auto shim = std::make_shared<Norvan::MessageBusShimImpl>(bus.handle(), FakeHostBus::functions());
        auto client = std::make_shared<Norvan::SettingsManagerClient>(
            std::make_shared<Norvan::MessageBusClient>(shim, nullptr));

        for (std::size_t at = 0; at + 5 <= input.size() && !check.failed(); at += 5)
        {
            const std::uint64_t operation = input.number(at) % OperationCount;
            const std::vector<std::wstring> names = splitNames(input.text(at + 1));
            const std::wstring value = input.text(at + 2);
            answer = input.number(at + 3) % (Never + 1);
            mutatedReply = input.text(at + 4);
            replied = false;
            replyText.clear();
            // Never answered: the client waits out its deadline (time-out plus
            // one second), so these time-outs are short.
            const std::chrono::milliseconds timeout(answer == Never ? 1 : 5000);
            store.parsable = wellFormed(value);
            for (const std::wstring& name : names)
            {
                store.parsable = store.parsable && wellFormed(name);
            }
            runOperation(*client, store, static_cast<Operation>(operation), names, value, timeout, replied,
                         replyText, check);
        }
        client.reset();
        shim.reset();
    }

private:
    static void runOperation(Norvan::SettingsManagerClient& client, SettingsStore& store, Operation operation,
                             const std::vector<std::wstring>& names, const std::wstring& value,
                             const std::chrono::milliseconds& timeout, const bool& replied,
                             const std::wstring& replyText, Check& check)
    {
        const std::wstring& name = names.front();
        const std::string what =
            Check::format("operation %d on %s", int(operation), Check::narrow(name, 40).c_str());
        switch (operation)
        {
        case Set:
        case Remove:
        {
            const bool result = operation == Set ? client.setProperty(name, value, timeout)
                                                 : client.removeProperty(name, timeout);
            check.expect(!store.parsable || store.names == std::vector<std::wstring>{name},
                         what + ": the request named other properties");
            check.expect(result == (replied && singleSaid(replyText, name).confirmed),
                         what + Check::format(" answered %d against its reply ", result ? 1 : 0) +
                             Check::narrow(replyText, 120));
            break;
        }
        case Get:
        case GetInt:
        {
            std::wstring got = L"sentinel";
            int number = -12345;
            const bool result = operation == Get ? client.getProperty(name, got, timeout)
                                                 : client.getProperty(name, number, timeout);
            const Said said = singleSaid(replyText, name);
            const bool usable = replied && said.confirmed && said.hasValue;
            if (operation == Get)
            {
                check.expect(result == usable,
                             what + Check::format(" answered %d against its reply ", result ? 1 : 0) +
                                 Check::narrow(replyText, 120));
                check.expect(result ? !said.values.empty() && got == said.values.front() : got == L"sentinel",
                             what + ": the value is not the reply's, or a failure changed it");
            }
            else
            {
                check.expect(!result || usable, what + ": a number was read from an unusable reply");
                check.expect(result || number == -12345, what + ": a failed read changed its output");
            }
            break;
        }
        case GetMany:
        case SetMany:
        {
            Norvan::PropertyResults results;
            Norvan::PropertyValues got;
            if (operation == GetMany)
            {
                results = client.getProperties(names, got, timeout);
            }
            else
            {
                Norvan::PropertyValues values;
                for (const std::wstring& n : names)
                {
                    values[n] = value;
                }
                results = client.setProperties(values, timeout);
            }
            std::vector<std::wstring> sorted = names;
            std::vector<std::wstring> sent = store.names;
            std::sort(sorted.begin(), sorted.end());
            sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
            std::sort(sent.begin(), sent.end());
            check.expect(!store.parsable || (operation == GetMany ? store.names == names : sent == sorted),
                         what + ": the request named other properties");
            for (const std::wstring& n : names)
            {
                check.expect(results.count(n) == 1,
                             what + ": a requested property is missing from the results");
            }
            for (const auto& result : results)
            {
                bool asked = false;
                for (const std::wstring& n : names)
                {
                    asked = asked || n == result.first;
                }
                check.expect(asked, what + ": the results hold a property not asked for");
                const Said said = listSaid(replyText, result.first);
                const bool usable = replied && said.confirmed && (operation == SetMany || said.hasValue);
                check.expect(result.second == usable,
                             what + (usable ? ": a property its reply confirmed failed"
                                            : ": a property succeeded that its reply did not confirm"));
                if (operation == GetMany && result.second)
                {
                    bool fromReply = false;
                    for (const std::wstring& v : said.values)
                    {
                        fromReply = fromReply || got[result.first] == v;
                    }
                    check.expect(fromReply, what + ": a value that its reply did not carry");
                }
            }
            break;
        }
        default:
            break;
        }
    }
};

WARDLINE_FUZZ_TARGET("settings", SettingsTarget);

} // namespace
} // namespace WardlineFuzz
