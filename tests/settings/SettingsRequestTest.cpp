// The single-property requests of the settings client against a scripted
// settings manager: what goes on the wire, and what each kind of reply makes
// of the result and the log.

#include "ScriptedBus.h"

#include "settings/SettingsManagerClient.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

using namespace SettingsTest;
using WardlineTest::LogCapture;
using WardlineTest::LogLine;

namespace
{

constexpr std::chrono::milliseconds kTimeout{5000};

std::wstring setPayload(const std::wstring& value, bool isVolatile)
{
    return L"{\"name\":\"N\",\"value\":\"" + value + L"\",\"volatile\":" + (isVolatile ? L"true" : L"false") +
           L"}";
}

// The value text one persistent and one volatile set sent.
template <typename T> std::pair<std::wstring, std::wstring> sentBoth(T value)
{
    Client c;
    c.bus->answer(replyWith(L"{\"name\":\"N\",\"status\":true}"));
    c.bus->answer(replyWith(L"{\"name\":\"N\",\"status\":true}"));
    EXPECT_TRUE(c.client.setProperty(L"N", value, kTimeout));
    EXPECT_TRUE(c.client.setVolatileProperty(L"N", value, kTimeout));
    const auto sent = c.bus->sent();
    if (sent.size() != 2)
    {
        ADD_FAILURE() << "expected two requests, got " << sent.size();
        return {};
    }
    EXPECT_EQ(L"SETTINGS_MANAGER_SET_PROPERTY", sent[0].name);
    EXPECT_EQ(kTimeout, sent[0].timeout);
    return {sent[0].payload, sent[1].payload};
}

void expectOneWarning(const LogCapture& log, const std::wstring& function, const std::wstring& text)
{
    const auto lines = log.exactly(text);
    ASSERT_EQ(1u, lines.size()) << "log line: " << std::string(text.begin(), text.end());
    EXPECT_EQ(2u, lines[0].level);
    EXPECT_EQ(L"SettingsManagerClient", lines[0].file);
    EXPECT_EQ(L"Norvan::SettingsManagerClient::" + function, lines[0].function);
}

} // namespace

TEST(SettingsClientSet, TypedValuesTravelAsTextInBothForms)
{
    using Sent = std::pair<std::wstring, std::wstring>;
    EXPECT_EQ(Sent(setPayload(L"0.1", false), setPayload(L"0.100000", true)), sentBoth(0.1));
    EXPECT_EQ(Sent(setPayload(L"0.3333333333333333", false), setPayload(L"0.333333", true)),
              sentBoth(1.0 / 3.0));
    // The largest double in fixed notation: 309 digits, none cut off.
    const Sent largest = sentBoth(-std::numeric_limits<double>::max());
    EXPECT_EQ(setPayload(L"-1.797693134862316e+308", false), largest.first);
    const std::wstring fixed = largest.second.substr(21, largest.second.find(L'"', 21) - 21);
    EXPECT_EQ(1u + 309u + 7u, fixed.size());
    EXPECT_EQ(L"-17976931348623", fixed.substr(0, 15));
    EXPECT_EQ(L".000000", fixed.substr(fixed.size() - 7));
    EXPECT_EQ(Sent(setPayload(L"4294967295", false), setPayload(L"4294967295", true)), sentBoth(4294967295u));
    EXPECT_EQ(Sent(setPayload(L"4294967295", false), setPayload(L"4294967295", true)),
              sentBoth(4294967295ul));
    EXPECT_EQ(Sent(setPayload(L"18446744073709551615", false), setPayload(L"18446744073709551615", true)),
              sentBoth(std::numeric_limits<unsigned long long>::max()));
    EXPECT_EQ(Sent(setPayload(L"-9223372036854775808", false), setPayload(L"-9223372036854775808", true)),
              sentBoth(std::numeric_limits<long long>::min()));
    EXPECT_EQ(Sent(setPayload(L"-42", false), setPayload(L"-42", true)), sentBoth(-42));
    EXPECT_EQ(Sent(setPayload(L"1", false), setPayload(L"1", true)), sentBoth(true));
    EXPECT_EQ(Sent(setPayload(L"0", false), setPayload(L"0", true)), sentBoth(false));
    EXPECT_EQ(Sent(setPayload(L"text", false), setPayload(L"text", true)), sentBoth(L"text"));
    // No text at all is sent as empty text rather than read through a null pointer.
    EXPECT_EQ(Sent(setPayload(L"", false), setPayload(L"", true)), sentBoth(static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(Sent(setPayload(L"wide \\\"quoted\\\"", false), setPayload(L"wide \\\"quoted\\\"", true)),
              sentBoth(std::wstring(L"wide \"quoted\"")));
}

TEST(SettingsClientSet, EveryFlawOfTheReplyMakesItFalseWithItsLine)
{
    struct Case
    {
        Answer answer;
        const wchar_t* function;
        const wchar_t* line;
    };
    const Case cases[] = {
        {refused(MODULE_STATUS_NO_SUBSCRIBERS), L"Impl::setProperty",
         L"Failed to make set property request. Error code: MODULE_STATUS_NO_SUBSCRIBERS(2147483662)"},
        // Nothing to wait on counts as a refused request.
        {acceptedWithoutReply(), L"Impl::setProperty",
         L"Failed to make set property request. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)"},
        {replyStatus(REPLY_STATUS_TIMED_OUT), L"Impl::getSettingPropertyResponse",
         L"Property request timed out. Returning."},
        {replyStatus(REPLY_STATUS_DATA_ERROR), L"Impl::getSettingPropertyResponse",
         L"Property request failed with DATA_ERROR. Returning."},
        {replyStatus(REPLY_STATUS_PENDING), L"Impl::getSettingPropertyResponse",
         L"Property request failed on wait() with unknown error."},
        {replyWith(L"status: true"), L"Impl::getSettingPropertyResponse",
         L"Failed to parse settings manager response message. Returning."},
        {replyWith(L"[{\"name\":\"N\",\"status\":true}]"), L"Impl::getSettingPropertyResponse",
         L"Failed to parse settings manager response message. Returning."},
        {replyWith(L"{\"status\":true}"), L"Impl::verifyPropertyName",
         L"Failed to read settings manager response property name."},
        {replyWith(L"{\"name\":7,\"status\":true}"), L"Impl::verifyPropertyName",
         L"Failed to read settings manager response property name."},
        {replyWith(L"{\"name\":\"n\",\"status\":true}"), L"Impl::verifyPropertyName",
         L"Response property name (n) does not match expected property name (N)."},
        {replyWith(L"{\"name\":\"NN\",\"status\":true}"), L"Impl::verifyPropertyName",
         L"Response property name (NN) does not match expected property name (N)."},
        {replyWith(L"{\"name\":\"N\"}"), L"Impl::setProperty",
         L"Failed to read settings manager response status."},
        {replyWith(L"{\"name\":\"N\",\"status\":\"true\"}"), L"Impl::setProperty",
         L"Failed to read settings manager response status."},
        {replyWith(L"{\"name\":\"N\",\"status\":false}"), L"Impl::setProperty",
         L"Settings Manager failed to set property value."},
    };
    for (const Case& c : cases)
    {
        Client client;
        client.bus->answer(c.answer);
        LogCapture log;
        EXPECT_FALSE(client.client.setProperty(L"N", std::wstring(L"v"), kTimeout)) << c.line;
        expectOneWarning(log, c.function, c.line);
    }
}

TEST(SettingsClientGet, TextValueNeedsNameStatusAndValue)
{
    Client c;
    c.bus->answer(replyWith(L"{\"value\":\"v1\",\"status\":true,\"extra\":[1],\"name\":\"N\"}"));
    c.bus->answer(replyWith(L"{\"name\":\"N\",\"status\":false,\"value\":\"stale\"}"));
    c.bus->answer(replyWith(L"{\"name\":\"N\",\"value\":\"v3\"}"));
    c.bus->answer(replyWith(L"{\"name\":\"N\",\"status\":true,\"value\":3}"));
    c.bus->answer(replyWith(L"{\"name\":\"M\",\"status\":true,\"value\":\"v5\"}"));
    c.bus->answer(refused(MODULE_STATUS_INVALID_HANDLE));

    LogCapture log;
    std::wstring value = L"before";
    EXPECT_TRUE(c.client.getProperty(L"N", value, kTimeout));
    EXPECT_EQ(L"v1", value);
    EXPECT_EQ(0u, log.count());

    value = L"before";
    EXPECT_FALSE(c.client.getProperty(L"N", value, kTimeout)); // status false: no line of its own
    EXPECT_EQ(0u, log.count());
    EXPECT_FALSE(c.client.getProperty(L"N", value, kTimeout));
    expectOneWarning(log, L"Impl::getPropertyValue", L"Failed to read settings manager response status.");
    EXPECT_FALSE(c.client.getProperty(L"N", value, kTimeout));
    expectOneWarning(log, L"Impl::getPropertyValue", L"Failed to read settings manager response value.");
    EXPECT_FALSE(c.client.getProperty(L"N", value, kTimeout));
    expectOneWarning(log, L"Impl::verifyPropertyName",
                     L"Response property name (M) does not match expected property name (N).");
    EXPECT_FALSE(c.client.getProperty(L"N", value, kTimeout));
    expectOneWarning(
        log, L"getProperty",
        L"Failed to make get property request. Error code: MODULE_STATUS_INVALID_HANDLE(2147483655)");
    EXPECT_EQ(L"before", value);

    const auto sent = c.bus->sent();
    ASSERT_EQ(6u, sent.size());
    EXPECT_EQ(L"SETTINGS_MANAGER_GET_PROPERTY", sent[0].name);
    EXPECT_EQ(L"{\"name\":\"N\"}", sent[0].payload);
    EXPECT_FALSE(sent[0].source.empty()); // the default source stands in for the empty one
}

TEST(SettingsClientGet, TypedGettersConvertTheTextOrLeaveTheOutArgument)
{
    const auto answering = [](const std::wstring& text)
    {
        auto client = std::make_unique<Client>();
        client->bus->answer(replyWith(L"{\"name\":\"N\",\"status\":true,\"value\":\"" + text + L"\"}"));
        return client;
    };
    const std::wstring invalid = L"Conversion failed due to invalid arguments.";
    const std::wstring range = L"Conversion failed, out of range for destination type.";

    bool flag = false;
    EXPECT_TRUE(answering(L"1")->client.getProperty(L"N", flag, kTimeout));
    EXPECT_TRUE(flag);
    flag = false;
    EXPECT_TRUE(answering(L"-7")->client.getProperty(L"N", flag, kTimeout));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(answering(L"0")->client.getProperty(L"N", flag, kTimeout));
    EXPECT_FALSE(flag);
    {
        LogCapture log;
        flag = true;
        EXPECT_FALSE(answering(L"true")->client.getProperty(L"N", flag, kTimeout));
        EXPECT_TRUE(flag);
        expectOneWarning(log, L"Impl::tryConvert", invalid);
    }

    int number = 5;
    EXPECT_TRUE(answering(L"12abc")->client.getProperty(L"N", number, kTimeout));
    EXPECT_EQ(12, number);
    {
        LogCapture log;
        EXPECT_FALSE(answering(L"abc")->client.getProperty(L"N", number, kTimeout));
        expectOneWarning(log, L"Impl::tryConvert", invalid);
    }
    {
        LogCapture log;
        EXPECT_FALSE(answering(L"99999999999")->client.getProperty(L"N", number, kTimeout));
        expectOneWarning(log, L"Impl::tryConvert", range);
    }
    EXPECT_EQ(12, number);

    unsigned int u32 = 1;
    unsigned long ul = 1;
    EXPECT_TRUE(answering(L"4294967295")->client.getProperty(L"N", u32, kTimeout));
    EXPECT_EQ(4294967295u, u32);
    EXPECT_FALSE(answering(L"4294967296")->client.getProperty(L"N", u32, kTimeout));
    EXPECT_FALSE(answering(L"4294967296")->client.getProperty(L"N", ul, kTimeout));
    EXPECT_TRUE(answering(L" 77")->client.getProperty(L"N", ul, kTimeout));
    EXPECT_EQ(77ul, ul);

    long long i64 = 0;
    unsigned long long u64 = 0;
    EXPECT_TRUE(answering(L"-9223372036854775808")->client.getProperty(L"N", i64, kTimeout));
    EXPECT_EQ(std::numeric_limits<long long>::min(), i64);
    EXPECT_TRUE(answering(L"99999999999")->client.getProperty(L"N", u64, kTimeout));
    EXPECT_EQ(99999999999ull, u64);
    EXPECT_FALSE(answering(L"18446744073709551616")->client.getProperty(L"N", u64, kTimeout));

    double real = 0;
    EXPECT_TRUE(answering(L"0.100000")->client.getProperty(L"N", real, kTimeout));
    EXPECT_EQ(0.1, real);
    EXPECT_TRUE(answering(L"0.3333333333333333xyz")->client.getProperty(L"N", real, kTimeout));
    EXPECT_EQ(1.0 / 3.0, real);
    {
        LogCapture log;
        EXPECT_FALSE(answering(L"1e999")->client.getProperty(L"N", real, kTimeout));
        expectOneWarning(log, L"Impl::tryConvert", range);
    }
    EXPECT_EQ(1.0 / 3.0, real);
}

TEST(SettingsClientRemove, ConfirmedOnlyForTheRequestedNameWithStatusTrue)
{
    Client c;
    c.bus->answer(replyWith(L"{\"name\":\"N\",\"status\":true}"));
    c.bus->answer(replyWith(L"{\"name\":\"N\",\"status\":false}"));
    c.bus->answer(replyWith(L"{\"name\":\"N\"}"));
    c.bus->answer(replyWith(L"{\"name\":\"X\",\"status\":true}"));
    c.bus->answer(refused(MODULE_STATUS_NO_SUBSCRIBERS));

    LogCapture log;
    EXPECT_TRUE(c.client.removeProperty(L"N", kTimeout));
    EXPECT_FALSE(c.client.removeProperty(L"N", kTimeout));
    expectOneWarning(log, L"removeProperty", L"Settings Manager failed to remove property.");
    EXPECT_FALSE(c.client.removeProperty(L"N", kTimeout));
    expectOneWarning(log, L"removeProperty", L"Failed to read settings manager response status.");
    EXPECT_FALSE(c.client.removeProperty(L"N", kTimeout));
    expectOneWarning(log, L"Impl::verifyPropertyName",
                     L"Response property name (X) does not match expected property name (N).");
    EXPECT_FALSE(c.client.removeProperty(L"N", kTimeout));
    expectOneWarning(
        log, L"removeProperty",
        L"Failed to make remove property request. Error code: MODULE_STATUS_NO_SUBSCRIBERS(2147483662)");

    const auto sent = c.bus->sent();
    ASSERT_EQ(5u, sent.size());
    EXPECT_EQ(L"SETTINGS_MANAGER_REMOVE_PROPERTY", sent[0].name);
    EXPECT_EQ(L"{\"name\":\"N\"}", sent[0].payload);
}

// The slot order is what peers built against: a reordered declaration would
// compile everywhere and call the wrong operation across the boundary.
#if defined(__GNUC__) && !defined(_MSC_VER)
namespace
{
// Itanium ABI: a pointer to a virtual member holds 1 + its byte offset in the
// vtable, where the destructor takes two entries. Slot 0 is the destructor.
template <typename Member> std::size_t slotOf(Member member)
{
    std::uintptr_t raw = 0;
    static_assert(sizeof(member) >= sizeof(raw), "pointer to member holds the vtable offset first");
    std::memcpy(&raw, &member, sizeof(raw));
    return (raw - 1) / sizeof(void*) - 1;
}
} // namespace

TEST(SettingsManagerInterface, OperationsSitInTheirSlots)
{
    using S = SettingsManager;
    using To = const std::chrono::milliseconds&;
    using Name = const std::wstring&;
    EXPECT_EQ(1u, slotOf(static_cast<bool (S::*)(Name, double, To)>(&S::setProperty)));
    EXPECT_EQ(2u, slotOf(static_cast<bool (S::*)(Name, unsigned int, To)>(&S::setProperty)));
    EXPECT_EQ(3u, slotOf(static_cast<bool (S::*)(Name, unsigned long long, To)>(&S::setProperty)));
    EXPECT_EQ(4u, slotOf(static_cast<bool (S::*)(Name, unsigned long, To)>(&S::setProperty)));
    EXPECT_EQ(5u, slotOf(static_cast<bool (S::*)(Name, long long, To)>(&S::setProperty)));
    EXPECT_EQ(6u, slotOf(static_cast<bool (S::*)(Name, int, To)>(&S::setProperty)));
    EXPECT_EQ(7u, slotOf(static_cast<bool (S::*)(Name, bool, To)>(&S::setProperty)));
    EXPECT_EQ(8u, slotOf(static_cast<bool (S::*)(Name, const wchar_t*, To)>(&S::setProperty)));
    EXPECT_EQ(9u, slotOf(static_cast<bool (S::*)(Name, Name, To)>(&S::setProperty)));
    EXPECT_EQ(10u, slotOf(&S::setProperties));
    EXPECT_EQ(11u, slotOf(static_cast<bool (S::*)(Name, double, To)>(&S::setVolatileProperty)));
    EXPECT_EQ(19u, slotOf(static_cast<bool (S::*)(Name, Name, To)>(&S::setVolatileProperty)));
    EXPECT_EQ(20u, slotOf(&S::setVolatileProperties));
    EXPECT_EQ(21u, slotOf(static_cast<bool (S::*)(Name, double&, To)>(&S::getProperty)));
    EXPECT_EQ(24u, slotOf(static_cast<bool (S::*)(Name, unsigned long&, To)>(&S::getProperty)));
    EXPECT_EQ(28u, slotOf(static_cast<bool (S::*)(Name, std::wstring&, To)>(&S::getProperty)));
    EXPECT_EQ(29u, slotOf(&S::getProperties));
    EXPECT_EQ(30u, slotOf(static_cast<bool (S::*)(const PropertyNames&, PropertyValues&, To)>(
                       &S::getPropertiesByPrefix)));
    EXPECT_EQ(31u, slotOf(static_cast<bool (S::*)(Name, PropertyValues&, To)>(&S::getPropertiesByPrefix)));
    EXPECT_EQ(32u, slotOf(&S::removeProperty));
    EXPECT_EQ(33u, slotOf(&S::removeProperties));
    EXPECT_EQ(34u, slotOf(static_cast<PropertyResults (S::*)(const PropertyNames&, To)>(
                       &S::removePropertiesByPrefix)));
    EXPECT_EQ(35u, slotOf(static_cast<bool (S::*)(Name, To)>(&S::removePropertiesByPrefix)));
    EXPECT_EQ(36u, slotOf(static_cast<bool (S::*)(PropertyNameCallback, Name)>(&S::subscribePropertySet)));
    EXPECT_EQ(37u, slotOf(static_cast<bool (S::*)(PropertyNameCallback)>(&S::subscribePropertySet)));
    EXPECT_EQ(38u, slotOf(&S::subscribeNotifySet));
    EXPECT_EQ(39u, slotOf(&S::unsubscribeNotifySet));
    EXPECT_EQ(40u, slotOf(&S::subscribeNotifyDelete));
    EXPECT_EQ(41u, slotOf(&S::unsubscribeNotifyDelete));
    EXPECT_EQ(42u,
              slotOf(static_cast<bool (S::*)(PropertyNameCallback, Name)>(&S::subscribePropertyRemoved)));
    EXPECT_EQ(43u, slotOf(static_cast<bool (S::*)(PropertyNameCallback)>(&S::subscribePropertyRemoved)));
}
#endif
