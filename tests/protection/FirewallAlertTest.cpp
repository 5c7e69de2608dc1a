#include "protection/WardlineImpl.h"

#include "FakeSettingsClient.h"
#include "ServiceTestSupport.h"
#include "support/FakeMessageBus.h"
#include "support/JoiningThread.h"
#include "support/LogCapture.h"
#include "support/WaitUntil.h"
#include "wrappers/ComApartment.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <atomic>
#include <thread>

using namespace Norvan;
using ProtSvc::Step;
using WardlineTest::FakeMessageBus;
using WardlineTest::FakeSettingsClient;
using WardlineTest::JoiningThread;
using WardlineTest::LogCapture;

namespace
{

constexpr const wchar_t kIgnoreFirewall[] = L"Core.Protection.IgnoreFirewall";
constexpr const wchar_t kIgnoreStatus[] = L"Core.Internal.Protection.IgnoreStatus";
constexpr const wchar_t kInternalState[] = L"Core.Internal.Protection.State";
constexpr const wchar_t kAlert[] = L"0F167695-3F7C-421c-89E8-40544CE9D1A1_512";
constexpr const wchar_t kIgnored[] = L"{\"ignore_firewall\":true}";
constexpr const wchar_t kNotIgnored[] = L"{\"ignore_firewall\":false}";
constexpr const wchar_t kValidReport[] =
    L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":512,\"ignored\":false}";

std::uint32_t ignoreManager(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t)
{
    return 0;
}

class FirewallAlertTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        container_ = std::make_shared<Plinth::IOCContainer>();
        registerClient(settings_);
        bus_ = std::make_shared<FakeMessageBus>();
        module_ = std::make_unique<WardlineImpl>(container_);
        ASSERT_EQ(MODULE_STATUS_SUCCESS,
                  module_->baseInitialize(
                      L"Wardline", L"", {},
                      std::make_shared<internal::ModuleManagerShim>(nullptr, &ignoreManager), bus_));
        ASSERT_EQ(MODULE_STATUS_SUCCESS, module_->initialize());
        ProtSvc::writeFailure({});
        ProtSvc::clearRecord();
    }

    void registerClient(std::shared_ptr<SettingsManagerClient> client)
    {
        container_->registerInstance<SettingsManagerClient>(Plinth::IOCContainer::DefaultRegistrationName,
                                                            std::move(client));
    }
    ModuleStatus setState(const std::wstring& state)
    {
        return bus_->deliver(kInternalState, L"{\"state\":\"" + state + L"\"}");
    }
    ModuleStatus ignore() { return bus_->deliver(kIgnoreFirewall, L"{}"); }
    ModuleStatus report(const std::wstring& payload) { return bus_->deliver(kIgnoreStatus, payload); }

    std::shared_ptr<FakeSettingsClient> settings_ = std::make_shared<FakeSettingsClient>();
    std::shared_ptr<Plinth::IOCContainer> container_;
    std::shared_ptr<FakeMessageBus> bus_;
    std::unique_ptr<WardlineImpl> module_;
};

TEST_F(FirewallAlertTest, OnlyTheExactRedStateLetsTheRequestThrough)
{
    LogCapture log;
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, ignore());
    const auto refused = log.exactly(L"The current protection status is not 'red', it is 'green'");
    ASSERT_EQ(1u, refused.size());
    EXPECT_EQ(3u, refused[0].level);
    EXPECT_EQ(L"Norvan::WardlineImpl::ignoreFirewallAlert", refused[0].function);

    setState(L"RED");
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, ignore());
    EXPECT_EQ(1u, log.exactly(L"The current protection status is not 'red', it is 'RED'").size());

    EXPECT_TRUE(ProtSvc::readRecord().empty()) << "no COM call without \"red\"";
    EXPECT_TRUE(settings_->writes().empty());
}

TEST_F(FirewallAlertTest, WhileRedTheServiceIgnoresTheAlertAndTheSettingIsWritten)
{
    ASSERT_EQ("", ProtSvcTest::registrationProblem());
    setState(L"red");
    LogCapture log;
    EXPECT_EQ(1u, ignore()) << "1: the settings manager confirmed the write";

    const auto taken = ProtSvcTest::recorded(Step::TakeAlertAction);
    ASSERT_EQ(1u, taken.size());
    EXPECT_EQ(kAlert, taken[0].subject);
    EXPECT_EQ(2, taken[0].action);
    EXPECT_NE(::GetCurrentProcessId(), taken[0].processId);

    const auto writes = settings_->writes();
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(kIgnoreFirewall, writes[0].name);
    EXPECT_EQ(kIgnored, writes[0].value);
    EXPECT_EQ(5000, writes[0].timeout.count());

    EXPECT_EQ(1u, log.exactly(L"Ignoring Firewall Alert").size());
    EXPECT_EQ(1u, log.exactly(L"Firewall Alert was successfully ignored").size());
    const auto setting =
        log.exactly(L"Setting 'Core.Protection.IgnoreFirewall', Data '{\"ignore_firewall\":true}'");
    ASSERT_EQ(1u, setting.size());
    EXPECT_EQ(3u, setting[0].level);
    EXPECT_EQ(L"Norvan::WardlineImpl::saveSetting", setting[0].function);

    settings_->confirm(false);
    EXPECT_EQ(0u, ignore()) << "an unconfirmed write is 0, although the alert was ignored";
    EXPECT_EQ(2u, ProtSvcTest::recorded(Step::TakeAlertAction).size());
}

TEST_F(FirewallAlertTest, AServiceThatRefusesAnyStepLeavesTheSettingAlone)
{
    ASSERT_EQ("", ProtSvcTest::registrationProblem());
    setState(L"red");
    for (const Step step :
         {Step::CreateInstance, Step::LaunchObject, Step::CreateObject, Step::TakeAlertAction})
    {
        SCOPED_TRACE(ProtSvc::stepName(step));
        ProtSvcTest::ScopedFailure failure(step, E_ACCESSDENIED);
        LogCapture log;
        EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, ignore());
        const auto failed = log.exactly(L"Error: Failed to ignore Firewall Alert");
        ASSERT_EQ(1u, failed.size());
        EXPECT_EQ(4u, failed[0].level);
    }
    EXPECT_TRUE(settings_->writes().empty());
    EXPECT_EQ(1u + 2u + 3u + 4u, ProtSvc::readRecord().size()) << "each refused step ended its request";
}

TEST_F(FirewallAlertTest, AThreadInAnotherApartmentCannotIgnoreTheAlert)
{
    setState(L"red");
    ModuleStatus status = 0;
    bool inSta = false;
    LogCapture log;
    std::thread sta(
        [&]
        {
            const Norvan::ComApartment com(COINIT_APARTMENTTHREADED);
            inSta = com.initialized();
            status = module_->ignoreFirewallAlert(nullptr);
        });
    sta.join();
    ASSERT_TRUE(inSta);
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, status);
    EXPECT_EQ(1u, log.exactly(L"Error initializing CoInitializeEx").size());
    EXPECT_TRUE(ProtSvc::readRecord().empty());
    EXPECT_TRUE(settings_->writes().empty());
}

TEST_F(FirewallAlertTest, StateReportsWaitForARunningIgnoreRequest)
{
    ASSERT_EQ("", ProtSvcTest::registrationProblem());
    setState(L"red");
    const std::size_t publishedBefore = bus_->published().size();
    settings_->hold();
    JoiningThread request([&] { ignore(); });
    ASSERT_TRUE(settings_->waitForWrite(30000));

    std::atomic<bool> reported{false};
    JoiningThread producer(
        [&]
        {
            setState(L"green");
            reported = true;
        });
    ::Sleep(300);
    EXPECT_FALSE(reported.load()) << "the report went past a running ignore request";
    EXPECT_EQ(publishedBefore, bus_->published().size());

    settings_->release();
    request.join();
    producer.join();
    EXPECT_EQ(L"{\"state\":\"green\"}", bus_->published().back().payload);
}

// A protection manager that stops answering in any step: the request fails
// with MODULE_STATUS_TIMEOUT once its bound has passed, a state report sent
// meanwhile is handled (after the request, whose lock it waits for), a
// second request fails at once instead of leaving another thread in the
// service, and the call given up on ends once the service answers.
TEST_F(FirewallAlertTest, AServiceThatStopsAnsweringCostsOneRequestItsBound)
{
    ASSERT_EQ("", ProtSvcTest::registrationProblem());
    constexpr std::chrono::milliseconds kBound(1500);
    module_->setServiceAnswerLimit(kBound);
    for (const Step step :
         {Step::CreateInstance, Step::LaunchObject, Step::CreateObject, Step::TakeAlertAction})
    {
        SCOPED_TRACE(ProtSvc::stepName(step));
        setState(L"red");
        ProtSvc::clearRecord();
        LogCapture log;
        ProtSvcTest::ScopedHang hang(step);
        std::atomic<ModuleStatus> ignored{~0u}, reported{~0u};
        const auto start = std::chrono::steady_clock::now();
        JoiningThread request([&] { ignored = ignore(); });
        WardlineTest::waitUntil([&] { return ProtSvcTest::hangingIn(step); });
        JoiningThread report([&] { reported = setState(L"amber"); });
        const bool ended = WardlineTest::waitUntil([&] { return ignored != ~0u && reported != ~0u; },
                                                   kBound + std::chrono::milliseconds(20000));
        const auto answeredAfter = std::chrono::steady_clock::now() - start;
        const std::size_t recordedBefore = ProtSvc::readRecord().size();
        if (ended)
        {
            setState(L"red");
            EXPECT_EQ(MODULE_STATUS_TIMEOUT, ignore()) << "the second request";
        }
        EXPECT_EQ(recordedBefore, ProtSvc::readRecord().size()) << "the second request reached the service";
        hang.release();
        request.join();
        report.join();
        ASSERT_TRUE(ended) << "the request still waited for the service after its bound and 20 s";
        EXPECT_EQ(MODULE_STATUS_TIMEOUT, ignored.load());
        EXPECT_GE(answeredAfter, kBound);
        EXPECT_EQ(0u, reported.load());
        EXPECT_EQ(1u, log.exactly(L"The protection manager did not answer within 1500 ms").size());
        EXPECT_EQ(1u, log.exactly(L"The protection manager has not answered an earlier request yet").size());
        EXPECT_TRUE(WardlineTest::waitUntil(
            [&] { return !log.find(L"The protection manager answered a request given up on").empty(); }));
    }
    EXPECT_TRUE(settings_->writes().empty());
}

TEST_F(FirewallAlertTest, AValidIgnoreStatusReportWritesTheReportedFlagWhateverTheState)
{
    LogCapture log;
    EXPECT_EQ(1u, report(kValidReport));
    EXPECT_EQ(1u, report(L"{\"rule_id\":512,\"ignored\":true,\"other\":[1],"
                         L"\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\"}"));
    const auto writes = settings_->writes();
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(kIgnoreFirewall, writes[0].name);
    EXPECT_EQ(kNotIgnored, writes[0].value);
    EXPECT_EQ(kIgnored, writes[1].value);
    EXPECT_EQ(2u, log.exactly(L"internalIgnoreStatus").size());
    EXPECT_TRUE(ProtSvc::readRecord().empty()) << "a report is not an ignore request";

    settings_->confirm(false);
    EXPECT_EQ(0u, report(kValidReport)) << "an unconfirmed write is 0";
    EXPECT_EQ(3u, settings_->writes().size());
}

TEST_F(FirewallAlertTest, IgnoreStatusReportsOfNoInterestOrMalformedWriteNothing)
{
    struct Case
    {
        const wchar_t* payload;
        ModuleStatus status;
        const wchar_t* line;
    };
    const Case cases[] = {
        {L"{\"protection_type\":\"0f167695-3f7c-421c-89e8-40544ce9d1a1\",\"rule_id\":512,\"ignored\":true}",
         0, L"Protection type of no interest 0f167695-3f7c-421c-89e8-40544ce9d1a1"},
        {L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1 \",\"rule_id\":512,\"ignored\":true}",
         0, L"Protection type of no interest 0F167695-3F7C-421c-89E8-40544CE9D1A1 "},
        {L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":511,\"ignored\":true}",
         0, L"RuleID of no interest 511"},
        {L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":\"512\",\"ignored\":"
         L"true}",
         MODULE_STATUS_UNSUCCESSFUL, L"Invalid json content rule_id not found"},
        {L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":-1,\"ignored\":true}",
         MODULE_STATUS_UNSUCCESSFUL, L"Invalid json content rule_id not found"},
        {L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":512.0,\"ignored\":true}",
         MODULE_STATUS_UNSUCCESSFUL, L"Invalid json content rule_id not found"},
        {L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":4294967808,\"ignored\":"
         L"true}",
         MODULE_STATUS_UNSUCCESSFUL, L"Invalid json content rule_id not found"},
        {L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":512}",
         MODULE_STATUS_UNSUCCESSFUL, L"Invalid json content ignored not found"},
        {L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":512,\"ignored\":"
         L"\"true\"}",
         MODULE_STATUS_UNSUCCESSFUL, L"Invalid json content ignored not found"},
        {L"{\"protection_type\":5,\"rule_id\":512,\"ignored\":true}", MODULE_STATUS_UNSUCCESSFUL,
         L"Invalid json content protection_type not found"},
        {L"[{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":512,\"ignored\":true}]",
         MODULE_STATUS_UNSUCCESSFUL, L"Invalid json content protection_type not found"},
        {L"{\"protection_type\":", MODULE_STATUS_UNSUCCESSFUL, L"Error parsing incoming data"},
        {L"", MODULE_STATUS_UNSUCCESSFUL, L"Error parsing incoming data"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.payload);
        LogCapture log;
        EXPECT_EQ(c.status, report(c.payload));
        const auto lines = log.exactly(c.line);
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(c.status == 0 ? 1u : 4u, lines[0].level);
        EXPECT_EQ(L"Norvan::WardlineImpl::internalIgnoreStatus", lines[0].function);
    }
    LogCapture log;
    EXPECT_EQ(MODULE_STATUS_DATA_ERROR, module_->internalIgnoreStatus(nullptr));
    EXPECT_EQ(1u, log.exactly(L"Incoming data is NULL").size());
    EXPECT_TRUE(settings_->writes().empty());
}

TEST_F(FirewallAlertTest, WithoutASettingsClientTheWriteFailsAndTheNextCallResolvesAgain)
{
    registerClient(nullptr);
    LogCapture log;
    EXPECT_EQ(MODULE_STATUS_NO_MEMORY, report(kValidReport));
    const auto lines = log.exactly(L"Memory error: creating settings manager client");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(4u, lines[0].level);
    EXPECT_EQ(MODULE_STATUS_NO_MEMORY, report(kValidReport));

    // An ignore request takes the alert action first; only its setting is lost.
    ASSERT_EQ("", ProtSvcTest::registrationProblem());
    setState(L"red");
    EXPECT_EQ(MODULE_STATUS_NO_MEMORY, ignore());
    EXPECT_EQ(1u, ProtSvcTest::recorded(Step::TakeAlertAction).size());
    EXPECT_EQ(3u, log.exactly(L"Memory error: creating settings manager client").size());

    registerClient(settings_);
    EXPECT_EQ(1u, report(kValidReport));
    EXPECT_EQ(1u, settings_->writes().size());
}

TEST_F(FirewallAlertTest, TwoHandlersRacingToTheFirstWriteShareOneClient)
{
    // A fresh module each round, so that every round races the first-use
    // resolution; both reports must reach the one registered client.
    for (int round = 0; round < 200; ++round)
    {
        auto settings = std::make_shared<FakeSettingsClient>();
        registerClient(settings);
        WardlineImpl module(container_);
        std::atomic<int> waiting{2};
        ModuleStatus statuses[2] = {};
        auto handler = [&](int i)
        {
            --waiting;
            while (waiting.load() > 0)
            {
            }
            std::shared_ptr<Message> message;
            createMessage(message, kIgnoreStatus, L"producer", kValidReport);
            statuses[i] = module.internalIgnoreStatus(message);
        };
        std::thread first(handler, 0);
        std::thread second(handler, 1);
        first.join();
        second.join();
        ASSERT_EQ(1u, statuses[0]) << "round " << round;
        ASSERT_EQ(1u, statuses[1]) << "round " << round;
        ASSERT_EQ(2u, settings->writes().size()) << "round " << round;
        // The container's copy, the module's and this one: no copy lost or doubled.
        ASSERT_EQ(3, settings.use_count()) << "round " << round;
    }
}

} // namespace
