// The multi-property requests of the settings client: results per property,
// unexpected and missing items, empty lists, prefixes, oversized replies.

#include "ScriptedBus.h"

#include "settings/SettingsManagerClient.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace SettingsTest;
using WardlineTest::LogCapture;

namespace
{

constexpr std::chrono::milliseconds kTimeout{5000};

std::size_t linesFrom(const LogCapture& log, const std::wstring& function, const std::wstring& text)
{
    std::size_t count = 0;
    for (const auto& line : log.exactly(text))
    {
        count += line.function == L"Norvan::SettingsManagerClient::" + function ? 1 : 0;
    }
    return count;
}

} // namespace

TEST(SettingsClientLists, SetPropertiesCountsOnlyConfirmedRequestedNames)
{
    Client c;
    c.bus->answer(
        replyWith(L"{\"responses\":[{\"name\":\"a\",\"status\":true},{\"name\":\"b\",\"status\":false},"
                  L"{\"name\":\"c\"},{\"status\":true},{\"name\":\"zz\",\"status\":true}]}"));
    LogCapture log;
    const PropertyResults results =
        c.client.setVolatileProperties({{L"a", L"1"}, {L"b", L"2"}, {L"c", L"3"}}, kTimeout);
    EXPECT_EQ((PropertyResults{{L"a", true}, {L"b", false}, {L"c", false}}), results);
    EXPECT_EQ(1u, linesFrom(log, L"Impl::setProperties",
                            L"Settings Manager failed to set property value. Property Name: b"));
    EXPECT_EQ(1u, linesFrom(log, L"Impl::setProperties",
                            L"Failed to read settings manager response status. Property Name: c"));
    EXPECT_EQ(1u, linesFrom(log, L"Impl::setProperties", L"Failed to read settings property response name."));
    EXPECT_EQ(1u, linesFrom(log, L"Impl::setProperties",
                            L"Received unexpected setting property response. Name: zz."));
    EXPECT_EQ(4u, log.count());

    const auto sent = c.bus->sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(L"SettingsManager.SetProperties.Request", sent[0].name);
    // Item order follows the map's; each item carries the volatile flag.
    for (const wchar_t* item : {L"{\"name\":\"a\",\"value\":\"1\",\"volatile\":true}",
                                L"{\"name\":\"b\",\"value\":\"2\",\"volatile\":true}",
                                L"{\"name\":\"c\",\"value\":\"3\",\"volatile\":true}"})
    {
        EXPECT_NE(std::wstring::npos, sent[0].payload.find(item));
    }
    EXPECT_EQ(0u, sent[0].payload.find(L"{\"properties\":["));
}

TEST(SettingsClientLists, SetPropertiesFailuresLeaveEveryEntryFalse)
{
    struct Case
    {
        Answer answer;
        std::vector<std::pair<const wchar_t*, const wchar_t*>> lines; // function, text
    };
    const Case cases[] = {
        {refused(MODULE_STATUS_NO_SUBSCRIBERS),
         {{L"Impl::sendSetPropertiesRequest",
           L"Failed to make set properties request. Error code: MODULE_STATUS_NO_SUBSCRIBERS(2147483662)"},
          {L"Impl::setProperties", L"Failed to set properties. Unable to make request."}}},
        {replyStatus(REPLY_STATUS_TIMED_OUT),
         {{L"Impl::getSettingPropertyResponseList", L"Property list request timed out. Returning."},
          {L"Impl::setProperties", L"Failed to set properties. Unable to make request."}}},
        {replyWith(L"not json"),
         {{L"Impl::getSettingPropertyResponseList",
           L"Failed to parse settings manager response message. Returning."},
          {L"Impl::setProperties", L"Failed to set properties. Unable to make request."}}},
        // A list with an item that is not an object is not read at all.
        {replyWith(L"{\"responses\":[{\"name\":\"a\",\"status\":true},7]}"),
         {{L"Impl::setProperties", L"Failed to set properties. Unable to parse responses."}}},
        {replyWith(L"{\"responses\":{\"name\":\"a\",\"status\":true}}"),
         {{L"Impl::setProperties", L"Failed to set properties. Unable to parse responses."}}},
    };
    for (const Case& test : cases)
    {
        Client c;
        c.bus->answer(test.answer);
        LogCapture log;
        EXPECT_EQ((PropertyResults{{L"a", false}}), c.client.setProperties({{L"a", L"1"}}, kTimeout));
        ASSERT_EQ(test.lines.size(), log.count());
        for (const auto& line : test.lines)
        {
            EXPECT_EQ(1u, linesFrom(log, line.first, line.second));
        }
    }
}

TEST(SettingsClientLists, EmptyListsSendNoPropertiesMember)
{
    Client c;
    c.bus->answer(replyWith(L"{\"responses\":[]}"));
    c.bus->answer(replyWith(L"{\"responses\":[]}"));
    c.bus->answer(replyWith(L"{\"responses\":[]}"));
    PropertyValues values;
    EXPECT_TRUE(c.client.setProperties({}, kTimeout).empty());
    EXPECT_TRUE(c.client.getProperties({}, values, kTimeout).empty());
    EXPECT_TRUE(c.client.removeProperties({}, kTimeout).empty());
    for (const auto& sent : c.bus->sent())
    {
        EXPECT_EQ(std::wstring::npos, sent.payload.find(L"properties"));
    }
    EXPECT_EQ(3u, c.bus->sent().size());
}

TEST(SettingsClientLists, GetPropertiesTakesRequestedItemsWithValues)
{
    Client c;
    c.bus->answer(replyWith(L"{\"responses\":[{\"name\":\"a\",\"status\":true,\"value\":\"1\"},"
                            L"{\"name\":\"c\",\"status\":true,\"value\":\"3\"},"
                            L"{\"name\":\"d\",\"status\":false,\"value\":\"4\"},"
                            L"{\"name\":\"e\",\"value\":\"5\"},{\"name\":\"f\",\"status\":true}]}"));
    PropertyValues values{{L"b", L"kept"}, {L"d", L"kept"}};
    LogCapture log;
    const PropertyResults results = c.client.getProperties({L"a", L"b", L"d", L"e", L"f"}, values, kTimeout);
    EXPECT_EQ((PropertyResults{{L"a", true}, {L"b", false}, {L"d", false}, {L"e", false}, {L"f", false}}),
              results);
    EXPECT_EQ((PropertyValues{{L"a", L"1"}, {L"b", L"kept"}, {L"d", L"kept"}}), values);
    EXPECT_EQ(1u, linesFrom(log, L"getProperties", L"Received an unexpected setting property. Name: c."));
    EXPECT_EQ(1u,
              linesFrom(log, L"Impl::getPropertyValue", L"Failed to read settings manager response status."));
    EXPECT_EQ(1u,
              linesFrom(log, L"Impl::getPropertyValue", L"Failed to read settings manager response value."));
    EXPECT_EQ(3u, log.count());
    EXPECT_EQ(L"{\"properties\":[{\"name\":\"a\"},{\"name\":\"b\"},{\"name\":\"d\"},{\"name\":\"e\"},{"
              L"\"name\":\"f\"}]}",
              c.bus->onlyPayload());
    EXPECT_EQ(L"SettingsManager.GetProperties.Request", c.bus->sent()[0].name);
}

TEST(SettingsClientLists, PrefixReadsTakeAnyReturnedName)
{
    Client c;
    c.bus->answer(
        replyWith(L"{\"responses\":[{\"name\":\"A.x\",\"status\":true,\"value\":\"1\"},"
                  L"{\"name\":\"Other\",\"status\":true,\"value\":\"2\"},{\"status\":true,\"value\":\"3\"},"
                  L"{\"name\":\"A.y\",\"status\":false}]}"));
    c.bus->answer(replyWith(L"{\"responses\":[]}"));
    c.bus->answer(replyStatus(REPLY_STATUS_DATA_ERROR));
    c.bus->answer(replyWith(L"{\"responses\":\"none\"}"));
    PropertyValues values;
    LogCapture log;
    EXPECT_TRUE(c.client.getPropertiesByPrefix(PropertyNames{L"A.", L"B."}, values, kTimeout));
    EXPECT_EQ((PropertyValues{{L"A.x", L"1"}, {L"Other", L"2"}}), values);
    EXPECT_EQ(1u, linesFrom(log, L"getPropertiesByPrefix",
                            L"Failed to read settings property response name. Skipping"));
    EXPECT_TRUE(c.client.getPropertiesByPrefix(L"Nothing.", values, kTimeout));
    EXPECT_FALSE(c.client.getPropertiesByPrefix(L"A.", values, kTimeout));
    EXPECT_FALSE(c.client.getPropertiesByPrefix(L"A.", values, kTimeout));

    const auto sent = c.bus->sent();
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ(L"{\"properties\":[{\"name\":\"A.\",\"isPrefix\":true},{\"name\":\"B.\",\"isPrefix\":true}]}",
              sent[0].payload);
    EXPECT_EQ(L"{\"properties\":[{\"name\":\"Nothing.\",\"isPrefix\":true}]}", sent[1].payload);
}

TEST(SettingsClientLists, RemovePropertiesChecksNamesButPrefixRemovalDoesNot)
{
    Client c;
    c.bus->answer(
        replyWith(L"{\"responses\":[{\"name\":\"a\",\"status\":true},{\"name\":\"b\",\"status\":false},"
                  L"{\"name\":\"x\",\"status\":true},{\"name\":\"c\"}]}"));
    c.bus->answer(
        replyWith(L"{\"responses\":[{\"name\":\"P.1\",\"status\":true},{\"name\":\"Q\",\"status\":false}]}"));
    LogCapture log;
    EXPECT_EQ((PropertyResults{{L"a", true}, {L"b", false}, {L"c", false}}),
              c.client.removeProperties({L"a", L"b", L"c"}, kTimeout));
    EXPECT_EQ(1u, linesFrom(log, L"removeProperties", L"Received unexpected setting property. Name: x."));
    EXPECT_EQ(1u, linesFrom(log, L"removeProperties",
                            L"Settings Manager failed to remove property. Property Name: b"));
    EXPECT_EQ(1u, linesFrom(log, L"removeProperties",
                            L"Failed to read settings manager response status. Property Name: c"));
    EXPECT_EQ(3u, log.count());

    EXPECT_EQ((PropertyResults{{L"P.", false}, {L"Q.", false}, {L"P.1", true}}),
              c.client.removePropertiesByPrefix(PropertyNames{L"P.", L"Q."}, kTimeout));
    EXPECT_EQ(L"{\"properties\":[{\"name\":\"P.\",\"isPrefix\":true},{\"name\":\"Q.\",\"isPrefix\":true}]}",
              c.bus->sent()[1].payload);
    EXPECT_EQ(L"SettingsManager.RemoveProperties.Request", c.bus->sent()[1].name);
}

TEST(SettingsClientLists, RemovalItemsWithoutANameAreSkipped)
{
    Client c;
    c.bus->answer(replyWith(L"{\"responses\":[{\"status\":true},{\"name\":\"a\",\"status\":true}]}"));
    LogCapture log;
    EXPECT_EQ((PropertyResults{{L"a", true}, {L"b", false}}),
              c.client.removeProperties({L"a", L"b"}, kTimeout));
    EXPECT_EQ(1u, linesFrom(log, L"removeProperties", L"Failed to read settings property response name."));
    EXPECT_EQ(1u, log.count());
}

TEST(SettingsClientLists, SinglePrefixRemovalNeedsThePrefixItselfConfirmed)
{
    Client c;
    c.bus->answer(replyWith(L"{\"responses\":[{\"name\":\"P.1\",\"status\":true}]}"));
    c.bus->answer(replyWith(L"{\"responses\":[{\"name\":\"P.\",\"status\":false}]}"));
    c.bus->answer(
        replyWith(L"{\"responses\":[{\"name\":\"P.1\",\"status\":true},{\"name\":\"P.\",\"status\":true}]}"));
    EXPECT_FALSE(c.client.removePropertiesByPrefix(L"P.", kTimeout));
    EXPECT_FALSE(c.client.removePropertiesByPrefix(L"P.", kTimeout));
    EXPECT_TRUE(c.client.removePropertiesByPrefix(L"P.", kTimeout));
}

TEST(SettingsClientLists, RemovalFailuresAreLoggedWithTheRequestStatus)
{
    Client c;
    c.bus->answer(refused(MODULE_STATUS_NO_SUBSCRIBERS));
    c.bus->answer(replyStatus(REPLY_STATUS_TIMED_OUT));
    c.bus->answer(replyWith(L"{\"responses\":[1,2]}"));
    LogCapture log;
    EXPECT_EQ((PropertyResults{{L"a", false}}),
              c.client.removePropertiesByPrefix(PropertyNames{L"a"}, kTimeout));
    EXPECT_EQ(1u, linesFrom(log, L"removePropertiesByPrefix",
                            L"Failed to make remove properties by prefix request. Error code: "
                            L"MODULE_STATUS_NO_SUBSCRIBERS(2147483662)"));
    EXPECT_EQ((PropertyResults{{L"a", false}}), c.client.removeProperties({L"a"}, kTimeout));
    EXPECT_EQ(1u,
              linesFrom(log, L"removeProperties",
                        L"Failed to parse remove properties response. Error code: MODULE_STATUS_SUCCESS(0)"));
    EXPECT_EQ((PropertyResults{{L"a", false}}), c.client.removeProperties({L"a"}, kTimeout));
    const auto unreadable = log.exactly(L"Failed to parse statuses from remove properties response.");
    ASSERT_EQ(1u, unreadable.size());
    EXPECT_EQ(4u, unreadable[0].level);
}

TEST(SettingsClientLists, HugeReplyOfUnrequestedNamesChangesNothing)
{
    Client c;
    std::wstring payload = L"{\"responses\":[";
    for (int i = 0; i < 20000; ++i)
    {
        payload += (i ? L"," : L"") + std::wstring(L"{\"name\":\"n") + std::to_wstring(i) +
                   L"\",\"status\":true,\"value\":\"v\"}";
    }
    payload += L"]}";
    c.bus->answer(replyWith(payload));
    PropertyValues values{{L"a", L"old"}};
    LogCapture log;
    log.setSeverity(3); // the 20000 warnings are not what this checks
    EXPECT_EQ((PropertyResults{{L"a", false}}), c.client.getProperties({L"a"}, values, kTimeout));
    EXPECT_EQ((PropertyValues{{L"a", L"old"}}), values);
}

TEST(SettingsClientLists, RefusedOrFailedListRequestsReportNothingFoundWithTheirLine)
{
    enum Operation
    {
        Get,
        GetByPrefix,
        Remove
    };
    struct Case
    {
        Operation operation;
        Answer answer;
        const wchar_t* function;
        const wchar_t* line;
    };
    const Case cases[] = {
        {Get, refused(MODULE_STATUS_NO_SUBSCRIBERS), L"getProperties",
         L"Failed to make get properties request. Error code: MODULE_STATUS_NO_SUBSCRIBERS(2147483662)"},
        {GetByPrefix, refused(MODULE_STATUS_INVALID_HANDLE), L"getPropertiesByPrefix",
         L"Failed to make get properties request. Error code: MODULE_STATUS_INVALID_HANDLE(2147483655)"},
        {Remove, refused(MODULE_STATUS_NO_SUBSCRIBERS), L"removeProperties",
         L"Failed to make remove properties request. Error code: MODULE_STATUS_NO_SUBSCRIBERS(2147483662)"},
        {Get, replyStatus(REPLY_STATUS_DATA_ERROR), L"Impl::getSettingPropertyResponseList",
         L"Property list request failed with DATA_ERROR. Returning."},
        {GetByPrefix, replyStatus(REPLY_STATUS_PENDING), L"Impl::getSettingPropertyResponseList",
         L"Property list request failed on wait() with unknown error."},
    };
    for (const Case& test : cases)
    {
        Client c;
        c.bus->answer(test.answer);
        LogCapture log;
        PropertyValues values{{L"a", L"kept"}};
        switch (test.operation)
        {
        case Get:
            EXPECT_EQ((PropertyResults{{L"a", false}}), c.client.getProperties({L"a"}, values, kTimeout));
            break;
        case GetByPrefix:
            EXPECT_FALSE(c.client.getPropertiesByPrefix(L"a", values, kTimeout));
            break;
        case Remove:
            EXPECT_EQ((PropertyResults{{L"a", false}}), c.client.removeProperties({L"a"}, kTimeout));
            break;
        }
        const std::wstring line = test.line;
        EXPECT_EQ((PropertyValues{{L"a", L"kept"}}), values);
        EXPECT_EQ(1u, log.count()) << std::string(line.begin(), line.end());
        EXPECT_EQ(1u, linesFrom(log, test.function, line)) << std::string(line.begin(), line.end());
    }
}
