// Change-notification subscriptions of the settings client on the module's
// real bus client, with the host played by the recording shim.

#include "busclient/FakeBus.h"

#include "settings/SettingsManagerClient.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace BusClientTest;
using WardlineTest::LogCapture;

namespace
{

struct Client
{
    Client()
        : shim(std::make_shared<FakeShim>()),
          bus(std::make_shared<MessageBusClient>(shim, processInSession(1))), client(bus)
    {
    }
    // The handler context the client handed the host for one name or pattern.
    void* contextFor(const std::wstring& text)
    {
        for (const auto& subscribed : shim->subscribed)
        {
            if (subscribed.text == text && subscribed.id != 0)
            {
                return subscribed.handlerContext;
            }
        }
        return nullptr;
    }
    ModuleStatus deliver(const std::wstring& subscribedAs, const std::wstring& name,
                         const std::wstring& payload)
    {
        void* context = contextFor(subscribedAs);
        EXPECT_NE(nullptr, context) << "nothing subscribed";
        return context ? shim->deliver(context, std::make_shared<Message>(name, L"SettingsManager", payload))
                       : MODULE_STATUS_NOT_FOUND;
    }
    std::shared_ptr<FakeShim> shim;
    std::shared_ptr<MessageBusClient> bus;
    SettingsManagerClient client;
};

const std::wstring kSet = L"SETTINGS_MANAGER_PROPERTY_SET";
const std::wstring kRemoved = L"SETTINGS_MANAGER_PROPERTY_REMOVED";

} // namespace

TEST(SettingsClientNotifications, FixedMessagesReachCallbacksThroughTheirFilter)
{
    Client c;
    std::vector<std::wstring> forA;
    std::vector<std::wstring> forAny;
    ASSERT_TRUE(c.client.subscribePropertySet([&](const std::wstring& name) { forA.push_back(name); }, L"A"));
    ASSERT_EQ(1u, c.shim->subscribed.size());
    EXPECT_EQ(kSet, c.shim->subscribed[0].text);
    EXPECT_FALSE(c.shim->subscribed[0].pattern);

    LogCapture log;
    EXPECT_EQ(0u, c.deliver(kSet, kSet, L"{\"name\":\"B\",\"value\":\"1\"}"));
    EXPECT_EQ(0u, c.deliver(kSet, kSet, L"{\"name\":\"a\"}"));
    EXPECT_EQ(0u, c.deliver(kSet, kSet, L"{\"name\":\"A\"}"));
    EXPECT_EQ(std::vector<std::wstring>{L"A"}, forA);
    EXPECT_EQ(0u, log.count());

    EXPECT_EQ(MODULE_STATUS_DATA_ERROR, c.deliver(kSet, kSet, L"{\"name\":"));
    EXPECT_EQ(MODULE_STATUS_DATA_ERROR, c.deliver(kSet, kSet, L"{\"name\":[\"A\"]}"));
    ASSERT_EQ(2u, log.count());
    EXPECT_EQ(L"Failed to parse setting property data.", log.lines()[0].text);
    EXPECT_EQ(L"Norvan::SettingsManagerClient::onPropertyNotify", log.lines()[0].function);
    EXPECT_EQ(L"Failed to read setting property name.", log.lines()[1].text);
    EXPECT_EQ(2u, log.lines()[1].level);

    // The subscription for any property lives under a fresh message-name
    // alias of the bus client; the removed one is a separate message.
    Client other;
    ASSERT_TRUE(
        other.client.subscribePropertyRemoved([&](const std::wstring& name) { forAny.push_back(name); }));
    EXPECT_EQ(0u, other.deliver(kRemoved, kRemoved, L"{\"name\":\"X\"}"));
    EXPECT_EQ(0u, other.deliver(kRemoved, kRemoved, L"{\"name\":\"Y\",\"other\":1}"));
    EXPECT_EQ((std::vector<std::wstring>{L"X", L"Y"}), forAny);
}

TEST(SettingsClientNotifications, EmptyCallbackReturnsAtOnceAndRefusalIsFalse)
{
    Client c;
    ASSERT_TRUE(c.client.subscribePropertyRemoved(PropertyNameCallback(), L"A"));
    ASSERT_TRUE(c.client.subscribeNotifySet(PropertyValueCallback(), L"A"));
    ASSERT_TRUE(c.client.subscribeNotifyDelete(PropertyNameCallback(), L"A"));
    LogCapture log;
    EXPECT_EQ(0u, c.deliver(kRemoved, kRemoved, L"not json at all"));
    EXPECT_EQ(0u, c.deliver(L"^SettingsManager.Notify.Set.A.*", L"SettingsManager.Notify.Set.A", L"not json"));
    EXPECT_EQ(0u,
              c.deliver(L"^SettingsManager.Notify.Delete.A.*", L"SettingsManager.Notify.Delete.A", L"not json"));
    EXPECT_EQ(0u, log.count());

    Client refusing;
    refusing.shim->refuseSubscriptions = true;
    EXPECT_FALSE(refusing.client.subscribePropertySet([](const std::wstring&) {}));
    EXPECT_FALSE(refusing.client.subscribeNotifyDelete([](const std::wstring&) {}, L"A"));
    // The refusal is the bus client's to report; the settings client adds no line.
    for (const auto& line : log.lines())
    {
        EXPECT_EQ(std::wstring::npos, line.function.find(L"SettingsManagerClient"))
            << std::string(line.text.begin(), line.text.end());
    }
}

TEST(SettingsClientNotifications, PerPropertyPatternsAreNotEscaped)
{
    Client c;
    std::vector<std::pair<std::wstring, std::wstring>> sets;
    ASSERT_TRUE(c.client.subscribeNotifySet([&](const std::wstring& name, const std::wstring& value)
                                            { sets.emplace_back(name, value); },
                                            L"Net"));
    const std::wstring pattern = L"^SettingsManager.Notify.Set.Net.*";
    ASSERT_EQ(1u, c.shim->subscribed.size());
    EXPECT_TRUE(c.shim->subscribed[0].pattern);
    EXPECT_EQ(pattern, c.shim->subscribed[0].text);

    // The client's own matching (used for direct messages) agrees: Network
    // and NetX belong to Net, and the prefix's dots match any character.
    for (const wchar_t* name : {L"SettingsManager.Notify.Set.Network", L"SettingsManager.Notify.Set.NetX",
                                L"SettingsManagerXNotifyYSetZNet"})
    {
        c.bus->deliverLocally(std::make_shared<Message>(name, L"S", L"{\"name\":\"n\",\"value\":\"v\"}"));
    }
    c.bus->deliverLocally(std::make_shared<Message>(L"SettingsManager.Notify.Set.Ne", L"S",
                                                    L"{\"name\":\"x\",\"value\":\"v\"}"));
    EXPECT_EQ(3u, sets.size());

    LogCapture log;
    EXPECT_EQ(MODULE_STATUS_DATA_ERROR,
              c.deliver(pattern, L"SettingsManager.Notify.Set.Net", L"{\"name\":\"Net\"}"));
    ASSERT_EQ(1u, log.count());
    EXPECT_EQ(L"Failed to read setting value.", log.lines()[0].text);
    EXPECT_EQ(L"Norvan::SettingsManagerClient::onPropertyNotifySet", log.lines()[0].function);
    EXPECT_EQ(3u, sets.size());

    EXPECT_TRUE(c.client.unsubscribeNotifySet(L"Net"));
    EXPECT_EQ(std::vector<std::uint32_t>{c.shim->subscribed[0].id}, c.shim->unsubscribed);
}

TEST(SettingsClientNotifications, EmptyNamesChangeNothingAndBadPatternsAreRefused)
{
    Client c;
    EXPECT_TRUE(c.client.subscribeNotifySet([](const std::wstring&, const std::wstring&) {}, L""));
    EXPECT_TRUE(c.client.subscribeNotifyDelete([](const std::wstring&) {}, L""));
    EXPECT_TRUE(c.client.unsubscribeNotifySet(L""));
    EXPECT_TRUE(c.client.unsubscribeNotifyDelete(L""));
    EXPECT_TRUE(c.shim->subscribed.empty());
    EXPECT_TRUE(c.shim->unsubscribed.empty());

    LogCapture log;
    EXPECT_FALSE(c.client.subscribeNotifySet([](const std::wstring&, const std::wstring&) {}, L"Net("));
    EXPECT_TRUE(c.shim->subscribed.empty());
    EXPECT_EQ(1u, log.find(L"Regex error").size());
    // The bus client takes an unknown alias as already gone.
    EXPECT_TRUE(c.client.unsubscribeNotifyDelete(L"Never"));
    EXPECT_TRUE(c.shim->unsubscribed.empty());
}

TEST(SettingsClientNotifications, DeleteNotificationsCarryTheName)
{
    Client c;
    std::vector<std::wstring> deleted;
    ASSERT_TRUE(
        c.client.subscribeNotifyDelete([&](const std::wstring& name) { deleted.push_back(name); }, L"A.b"));
    const std::wstring pattern = L"^SettingsManager.Notify.Delete.A.b.*";
    EXPECT_EQ(0u, c.deliver(pattern, L"SettingsManager.Notify.Delete.A.b", L"{\"name\":\"A.b\"}"));
    LogCapture log;
    EXPECT_EQ(MODULE_STATUS_DATA_ERROR, c.deliver(pattern, L"SettingsManager.Notify.Delete.A.b", L"{}"));
    EXPECT_EQ(L"Norvan::SettingsManagerClient::onPropertyNotifyDelete", log.lines().at(0).function);
    EXPECT_EQ(std::vector<std::wstring>{L"A.b"}, deleted);
    EXPECT_TRUE(c.client.unsubscribeNotifyDelete(L"A.b"));
}
