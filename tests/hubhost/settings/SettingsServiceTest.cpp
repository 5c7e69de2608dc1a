// The settings service on the real Courier.dll, asked by the module's own
// settings client the way Wardline asks it, and by raw requests that no
// client would send.

#include "SettingsTestSupport.h"

#include "integration/HostSupport.h"

#include "Json.h"
#include "Output.h"
#include "SettingsService.h"
#include "SettingsStore.h"

#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"
#include "settings/SettingsManagerClient.h"
#include "support/LogCapture.h"

#include <atomic>
#include <cwchar>
#include <thread>

using namespace SettingsServiceTest;
using hubhost::SettingsService;
using hubhost::SettingsStore;
using integration::allowLateArrivals;
using integration::Courier;
using integration::Handle;
using integration::waitUntil;

namespace
{

constexpr std::chrono::milliseconds kTimeout{5000};

// The service on a handle of its own, and a client of the module on another.
class ServiceOnCourier : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.loaded()) << "Courier.dll or one of its exports is missing";
        std::vector<std::string> notes;
        std::string error;
        ASSERT_TRUE(store.open(notes, error)) << error;
        ASSERT_TRUE(service.start(bus.table, serviceHandle, error)) << error;
        auto shim = std::make_shared<Norvan::MessageBusShimImpl>(
            clientHandle.handle, reinterpret_cast<const Norvan::MessageBusFunctionTable*>(bus.table));
        client = std::make_unique<Norvan::SettingsManagerClient>(
            std::make_shared<Norvan::MessageBusClient>(shim, nullptr));
    }
    void TearDown() override
    {
        client.reset();
        service.stop();
    }

    Courier bus;
    Handle serviceHandle{bus.table};
    Handle clientHandle{bus.table};
    ScratchFolder folder;
    SettingsStore store{folder.file(L"settings.json")};
    hubhost::Output output{false};
    SettingsService service{output, store};
    std::unique_ptr<Norvan::SettingsManagerClient> client;
};

std::wstring textOf(Norvan::SettingsManagerClient& client, const std::wstring& name)
{
    std::wstring value = L"<unset>";
    client.getProperty(name, value, kTimeout);
    return value;
}

} // namespace

TEST_F(ServiceOnCourier, TypedValuesRoundTrip)
{
    ASSERT_TRUE(client->setProperty(L"d", 0.1, kTimeout));
    EXPECT_EQ(L"0.1", textOf(*client, L"d"));
    ASSERT_TRUE(client->setVolatileProperty(L"d", 0.1, kTimeout));
    EXPECT_EQ(L"0.100000", textOf(*client, L"d"));
    ASSERT_TRUE(client->setProperty(L"third", 1.0 / 3.0, kTimeout));
    EXPECT_EQ(L"0.3333333333333333", textOf(*client, L"third"));
    double third = 0;
    ASSERT_TRUE(client->getProperty(L"third", third, kTimeout));
    EXPECT_EQ(1.0 / 3.0, third);

    ASSERT_TRUE(client->setProperty(L"flag", true, kTimeout));
    bool flag = false;
    EXPECT_TRUE(client->getProperty(L"flag", flag, kTimeout));
    EXPECT_TRUE(flag);
    ASSERT_TRUE(client->setProperty(L"flag", std::wstring(L"true"), kTimeout));
    EXPECT_FALSE(client->getProperty(L"flag", flag, kTimeout)) << "true is not a number";

    int number = 0;
    ASSERT_TRUE(client->setProperty(L"n", L"12abc", kTimeout));
    EXPECT_TRUE(client->getProperty(L"n", number, kTimeout));
    EXPECT_EQ(12, number);
    ASSERT_TRUE(client->setProperty(L"n", L"abc", kTimeout));
    EXPECT_FALSE(client->getProperty(L"n", number, kTimeout));
    ASSERT_TRUE(client->setProperty(L"n", 99999999999ll, kTimeout));
    EXPECT_FALSE(client->getProperty(L"n", number, kTimeout));
    unsigned long long wide = 0;
    EXPECT_TRUE(client->getProperty(L"n", wide, kTimeout));
    EXPECT_EQ(99999999999ull, wide);
    ASSERT_TRUE(client->setProperty(L"u", 4294967295ul, kTimeout));
    unsigned int u32 = 0;
    EXPECT_TRUE(client->getProperty(L"u", u32, kTimeout));
    EXPECT_EQ(4294967295u, u32);

    EXPECT_FALSE(client->getProperty(L"never set", number, kTimeout));
    EXPECT_TRUE(client->removeProperty(L"n", kTimeout));
    EXPECT_FALSE(client->removeProperty(L"n", kTimeout));
    EXPECT_EQ(L"<unset>", textOf(*client, L"n"));
}

TEST_F(ServiceOnCourier, ListsAndPrefixes)
{
    const auto confirmed = client->setProperties({{L"A.x", L"1"}, {L"A.y", L"2"}, {L"B", L"3"}}, kTimeout);
    EXPECT_EQ((Norvan::PropertyResults{{L"A.x", true}, {L"A.y", true}, {L"B", true}}), confirmed);
    EXPECT_EQ((Norvan::PropertyResults{{L"V", true}}),
              client->setVolatileProperties({{L"V", L"v"}}, kTimeout));

    Norvan::PropertyValues values;
    EXPECT_EQ((Norvan::PropertyResults{{L"A.x", true}, {L"missing", false}, {L"V", true}}),
              client->getProperties({L"A.x", L"missing", L"V"}, values, kTimeout));
    EXPECT_EQ((Norvan::PropertyValues{{L"A.x", L"1"}, {L"V", L"v"}}), values);

    values.clear();
    EXPECT_TRUE(client->getPropertiesByPrefix(L"A.", values, kTimeout));
    EXPECT_EQ((Norvan::PropertyValues{{L"A.x", L"1"}, {L"A.y", L"2"}}), values);
    values.clear();
    EXPECT_TRUE(client->getPropertiesByPrefix(L"Z.", values, kTimeout));
    EXPECT_TRUE(values.empty());

    EXPECT_EQ((Norvan::PropertyResults{{L"B", true}, {L"gone", false}}),
              client->removeProperties({L"B", L"gone"}, kTimeout));
    EXPECT_TRUE(client->removePropertiesByPrefix(L"A.", kTimeout));
    EXPECT_FALSE(client->removePropertiesByPrefix(L"A.", kTimeout)) << "nothing left to remove";
    EXPECT_TRUE(client->setProperties({}, kTimeout).empty());
    values.clear();
    EXPECT_TRUE(client->getProperties({}, values, kTimeout).empty());
    EXPECT_TRUE(service.list(L"A.").empty());
}

TEST_F(ServiceOnCourier, NotificationsReachTheClientsSubscriptions)
{
    std::mutex lock;
    std::vector<std::wstring> seen;
    const auto record = [&](const std::wstring& what)
    {
        std::lock_guard<std::mutex> guard(lock);
        seen.push_back(what);
    };
    ASSERT_TRUE(
        client->subscribePropertySet([&](const std::wstring& name) { record(L"set " + name); }, L"Network"));
    ASSERT_TRUE(client->subscribeNotifySet([&](const std::wstring& name, const std::wstring& value)
                                           { record(L"notify " + name + L"=" + value); },
                                           L"Net"));
    ASSERT_TRUE(
        client->subscribeNotifyDelete([&](const std::wstring& name) { record(L"delete " + name); }, L"Net"));
    ASSERT_TRUE(
        client->subscribePropertyRemoved([&](const std::wstring& name) { record(L"removed " + name); }));
    EXPECT_FALSE(client->subscribeNotifySet([](const std::wstring&, const std::wstring&) {}, L"Net("));

    for (const wchar_t* name : {L"Network", L"NetX", L"Ne", L"Other"})
    {
        ASSERT_TRUE(client->setProperty(name, L"1", kTimeout));
    }
    ASSERT_TRUE(client->removeProperty(L"NetX", kTimeout));
    ASSERT_TRUE(client->removeProperty(L"Ne", kTimeout));
    const std::vector<std::wstring> expected{L"set Network", L"notify Network=1", L"notify NetX=1",
                                             L"delete NetX", L"removed NetX",     L"removed Ne"};
    const auto sorted = [](std::vector<std::wstring> list)
    {
        std::sort(list.begin(), list.end());
        return list;
    };
    EXPECT_TRUE(waitUntil(
        [&]
        {
            std::lock_guard<std::mutex> guard(lock);
            return seen.size() >= expected.size();
        }));
    allowLateArrivals();
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(sorted(expected), sorted(seen));
}

TEST_F(ServiceOnCourier, UnusableRequestsGetAnAnswerAndStoreNothing)
{
    struct Case
    {
        const wchar_t* request;
        const wchar_t* payload;
        const wchar_t* reply; // without its "error" text
    };
    const std::wstring longName(SettingsService::kMaxNameLength + 1, L'n');
    const Case cases[] = {
        {L"SETTINGS_MANAGER_SET_PROPERTY", L"not json", L"{\"status\":false}"},
        {L"SETTINGS_MANAGER_SET_PROPERTY", L"[{\"name\":\"a\"}]", L"{\"status\":false}"},
        {L"SETTINGS_MANAGER_SET_PROPERTY", L"{\"name\":7,\"value\":\"1\"}", L"{\"status\":false}"},
        {L"SETTINGS_MANAGER_SET_PROPERTY", L"{\"name\":\"a\",\"value\":1}",
         L"{\"name\":\"a\",\"status\":false}"},
        {L"SETTINGS_MANAGER_SET_PROPERTY", L"{\"name\":\"a\",\"value\":\"1\",\"volatile\":\"no\"}",
         L"{\"name\":\"a\",\"status\":false}"},
        {L"SETTINGS_MANAGER_SET_PROPERTY", L"{\"name\":\"\",\"value\":\"1\"}",
         L"{\"name\":\"\",\"status\":false}"},
        {L"SETTINGS_MANAGER_GET_PROPERTY", L"{}", L"{\"status\":false}"},
        {L"SETTINGS_MANAGER_REMOVE_PROPERTY", L"{\"name\":\"a\"}", L"{\"name\":\"a\",\"status\":false}"},
        {L"SettingsManager.SetProperties.Request", L"{\"properties\":{\"name\":\"a\"}}",
         L"{\"responses\":[]}"},
        {L"SettingsManager.SetProperties.Request", L"{\"properties\":[3,{\"name\":\"a\"}]}",
         L"{\"responses\":[{\"status\":false},{\"name\":\"a\",\"status\":false}]}"},
        {L"SettingsManager.GetProperties.Request", L"{\"properties\":[{\"name\":\"\"}]}",
         L"{\"responses\":[{\"name\":\"\",\"status\":false}]}"},
        {L"SettingsManager.RemoveProperties.Request", L"{\"properties\":[{\"name\":\"\",\"isPrefix\":true}]}",
         L"{\"responses\":[{\"name\":\"\",\"status\":false}]}"},
    };
    for (const Case& c : cases)
    {
        hubhost::SettingsAnswer answer = service.answer(c.request, c.payload);
        hubhost::WideDocument got;
        hubhost::WideDocument want;
        ASSERT_TRUE(hubhost::parseJson(answer.reply, got))
            << std::string(c.payload, c.payload + std::wcslen(c.payload));
        ASSERT_TRUE(hubhost::parseJson(c.reply, want));
        // The error texts are for people; the rest is what clients read.
        got.RemoveMember(L"error");
        if (got.HasMember(L"responses"))
        {
            for (auto& item : got[L"responses"].GetArray())
            {
                item.RemoveMember(L"error");
            }
        }
        EXPECT_TRUE(got == want) << std::string(answer.reply.begin(), answer.reply.end());
        EXPECT_TRUE(answer.notifications.empty());
    }
    hubhost::SettingsAnswer huge = service.answer(
        L"SETTINGS_MANAGER_SET_PROPERTY",
        L"{\"name\":\"a\",\"value\":\"" + std::wstring(SettingsService::kMaxValueLength + 1, L'v') + L"\"}");
    EXPECT_NE(std::wstring::npos, huge.reply.find(L"\"status\":false"));
    EXPECT_EQ(
        std::wstring::npos,
        service.answer(L"SETTINGS_MANAGER_SET_PROPERTY", L"{\"name\":\"" + longName + L"\",\"value\":\"\"}")
            .reply.find(L"\"status\":true"));
    EXPECT_TRUE(store.entries().empty());
    EXPECT_EQ((std::vector<std::wstring>{L"settings.json.lock"}), folder.names());
}

TEST_F(ServiceOnCourier, UnstoredWritesAreNotConfirmed)
{
    ASSERT_TRUE(client->setProperty(L"kept", L"old", kTimeout));
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"settings.json.tmp").c_str(), nullptr));
    WardlineTest::LogCapture log;
    EXPECT_FALSE(client->setProperty(L"kept", L"new", kTimeout));
    EXPECT_EQ(1u, log.exactly(L"Settings Manager failed to set property value.").size());
    EXPECT_EQ((Norvan::PropertyResults{{L"kept", false}, {L"other", false}}),
              client->setProperties({{L"kept", L"new"}, {L"other", L"1"}}, kTimeout));
    EXPECT_FALSE(client->removeProperty(L"kept", kTimeout));
    EXPECT_TRUE(client->setVolatileProperty(L"session", L"1", kTimeout));
    EXPECT_EQ(L"old", textOf(*client, L"kept"));
    EXPECT_EQ(L"<unset>", textOf(*client, L"other"));
}

TEST_F(ServiceOnCourier, ConcurrentClientsAllConfirmed)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < 25; ++i)
                {
                    const std::wstring name = L"t" + std::to_wstring(t) + L"." + std::to_wstring(i);
                    std::wstring value;
                    if (!client->setProperty(name, i, kTimeout) ||
                        !client->getProperty(name, value, kTimeout) || value != std::to_wstring(i))
                    {
                        ++failures;
                    }
                }
            });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(100u, store.entries().size());
    EXPECT_EQ(25u, service.list(L"t3.").size());
}

TEST_F(ServiceOnCourier, HugeListIsAnsweredItemByItem)
{
    std::wstring request = L"{\"properties\":[";
    for (int i = 0; i < 50000; ++i)
    {
        request +=
            (i ? L"," : L"") + std::wstring(L"{\"name\":\"n") + std::to_wstring(i) + L"\",\"value\":\"v\"}";
    }
    request += L"]}";
    const hubhost::SettingsAnswer set = service.answer(L"SettingsManager.SetProperties.Request", request);
    hubhost::WideDocument reply;
    ASSERT_TRUE(hubhost::parseJson(set.reply, reply));
    ASSERT_TRUE(reply[L"responses"].IsArray());
    EXPECT_EQ(50000u, reply[L"responses"].Size());
    EXPECT_EQ(50000u, store.entries().size());
    EXPECT_EQ(100000u, set.notifications.size());
}
