#include "protection/WardlineImpl.h"

#include "support/FailingAllocation.h"
#include "support/FailingJSONHeap.h"
#include "module/CallGuarded.h"
#include "support/FakeMessageBus.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace Norvan;
using WardlineTest::FakeMessageBus;
using WardlineTest::LogCapture;

namespace
{

constexpr const wchar_t kInternalState[] = L"Core.Internal.Protection.State";
constexpr const wchar_t kRefresh[] = L"Core.Protection.RefreshState";

std::uint32_t ignoreManager(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t)
{
    return 0;
}

class WardlineImplTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bus_ = std::make_shared<FakeMessageBus>();
        module_ = std::make_unique<WardlineImpl>(nullptr);
        ASSERT_EQ(MODULE_STATUS_SUCCESS,
                  module_->baseInitialize(
                      L"Wardline", L"", {},
                      std::make_shared<internal::ModuleManagerShim>(nullptr, &ignoreManager), bus_));
    }

    std::vector<std::wstring> publishedPayloads() const
    {
        std::vector<std::wstring> payloads;
        for (const auto& message : bus_->published())
        {
            payloads.push_back(message.payload);
        }
        return payloads;
    }

    std::shared_ptr<FakeMessageBus> bus_;
    std::unique_ptr<WardlineImpl> module_;
};

TEST_F(WardlineImplTest, InitializeSubscribesTheFourMessagesInOrder)
{
    LogCapture log;
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module_->initialize());
    const std::vector<std::wstring> expected = {kRefresh, kInternalState, L"Core.Protection.IgnoreFirewall",
                                                L"Core.Internal.Protection.IgnoreStatus"};
    EXPECT_EQ(expected, bus_->subscribeCalls());

    EXPECT_EQ(1u, log.exactly(L"subscribed to 'Core.Protection.RefreshState' successfully").size());
    EXPECT_EQ(1u, log.exactly(L"subscribed to 'Core.Internal.Protection.IgnoreStatus' successfully").size());
    const auto done = log.exactly(L"successfully");
    ASSERT_EQ(1u, done.size());
    EXPECT_EQ(1u, done[0].level);
    EXPECT_EQ(L"WardlineImpl", done[0].file);
    EXPECT_EQ(L"Norvan::WardlineImpl::initialize", done[0].function);
}

TEST_F(WardlineImplTest, AFailedSubscriptionStopsInitializeAndKeepsTheEarlierOnes)
{
    bus_->refuseSubscription(kInternalState, MODULE_STATUS_UNSUCCESSFUL);
    LogCapture log;
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, module_->initialize());

    EXPECT_TRUE(bus_->isSubscribed(kRefresh));
    const std::vector<std::wstring> attempted = {kRefresh, kInternalState};
    EXPECT_EQ(attempted, bus_->subscribeCalls()) << "names after the failed one must not be tried";
    const auto failed =
        log.exactly(L"subscription to 'Core.Internal.Protection.State' failed. Status: 0x80000002");
    ASSERT_EQ(1u, failed.size());
    EXPECT_EQ(4u, failed[0].level);
    EXPECT_TRUE(log.exactly(L"successfully").empty());
}

TEST_F(WardlineImplTest, FirstReportIsPublishedEvenWhenItRepeatsTheStartState)
{
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module_->initialize());

    EXPECT_EQ(MODULE_STATUS_SUCCESS, bus_->deliver(kInternalState, L"{\"state\":\"green\"}"));
    EXPECT_EQ(MODULE_STATUS_SUCCESS, bus_->deliver(kInternalState, L"{\"state\":\"green\"}"));

    const auto published = bus_->published();
    ASSERT_EQ(1u, published.size()) << "a duplicate report must not be published";
    EXPECT_EQ(L"Core.Protection.State", published[0].name);
    EXPECT_EQ(L"Wardline", published[0].source);
    EXPECT_EQ(L"{\"state\":\"green\"}", published[0].payload);
}

TEST_F(WardlineImplTest, ChangesArePublishedAndTheComparisonIsCaseSensitive)
{
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module_->initialize());
    bus_->deliver(kInternalState, L"{\"state\":\"green\"}");
    bus_->deliver(kInternalState, L"{\"state\":\"red\", \"other\": [1, 2]}");
    bus_->deliver(kInternalState, L"{\"state\":\"Red\"}");
    bus_->deliver(kInternalState, L"{\"state\":\"Red\"}");

    const std::vector<std::wstring> expected = {L"{\"state\":\"green\"}", L"{\"state\":\"red\"}",
                                                L"{\"state\":\"Red\"}"};
    EXPECT_EQ(expected, publishedPayloads());
}

TEST_F(WardlineImplTest, RefreshRepublishesWhateverThePayload)
{
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module_->initialize());
    EXPECT_EQ(MODULE_STATUS_SUCCESS, bus_->deliver(kRefresh, L""));
    bus_->deliver(kInternalState, L"{\"state\":\"red\"}");
    EXPECT_EQ(MODULE_STATUS_SUCCESS, bus_->deliver(kRefresh, L"not json at all"));
    const std::vector<std::wstring> expected = {L"{\"state\":\"green\"}", L"{\"state\":\"red\"}",
                                                L"{\"state\":\"red\"}"};
    EXPECT_EQ(expected, publishedPayloads());
}

TEST_F(WardlineImplTest, MalformedReportsAreRefusedWithTheirLogLine)
{
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module_->initialize());
    LogCapture log;

    EXPECT_EQ(MODULE_STATUS_DATA_ERROR, bus_->deliver(kInternalState, L"[\"red\"]"));
    EXPECT_EQ(1u, log.exactly(L"could not get value for key 'state' from JSON '[\"red\"]'").size());

    EXPECT_EQ(MODULE_STATUS_DATA_ERROR, bus_->deliver(kInternalState, L"{"));
    EXPECT_EQ(1u, log.exactly(L"could not parse JSON '{'").size());

    EXPECT_EQ(MODULE_STATUS_DATA_ERROR, bus_->deliver(kInternalState, L"{\"state\":5}"));
    EXPECT_EQ(1u, log.exactly(L"could not get value for key 'state' from JSON '{\"state\":5}'").size());

    EXPECT_EQ(MODULE_STATUS_DATA_ERROR, bus_->deliver(kInternalState, L"{\"State\":\"red\"}"));
    EXPECT_EQ(MODULE_STATUS_DATA_ERROR, module_->handlerInternalState(nullptr));
    EXPECT_EQ(1u, log.exactly(L"Incoming data is NULL").size());

    for (const auto& line : log.lines())
    {
        EXPECT_EQ(4u, line.level);
        EXPECT_EQ(L"Norvan::WardlineImpl::handlerInternalState", line.function);
    }
    EXPECT_TRUE(bus_->published().empty()) << "a refused report publishes nothing";

    // The state is untouched: the first good report is still the first publication.
    bus_->deliver(kInternalState, L"{\"state\":\"green\"}");
    EXPECT_EQ(1u, bus_->published().size());
}

TEST_F(WardlineImplTest, AFailedPublicationStillCountsAsPublished)
{
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module_->initialize());
    bus_->setPublishStatus(MODULE_STATUS_NO_SUBSCRIBERS);
    EXPECT_EQ(MODULE_STATUS_NO_SUBSCRIBERS, bus_->deliver(kInternalState, L"{\"state\":\"red\"}"));

    bus_->setPublishStatus(MODULE_STATUS_SUCCESS);
    EXPECT_EQ(MODULE_STATUS_SUCCESS, bus_->deliver(kInternalState, L"{\"state\":\"red\"}"));
    EXPECT_EQ(1u, bus_->published().size()) << "the new state was kept although its publication failed";
    EXPECT_EQ(MODULE_STATUS_SUCCESS, bus_->deliver(kRefresh, L""));
    EXPECT_EQ(L"{\"state\":\"red\"}", bus_->published().back().payload);
}

TEST_F(WardlineImplTest, AChangeThatRunsOutOfMemoryIsPublishedByTheNextSameReport)
{
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module_->initialize());
    bus_->deliver(kInternalState, L"{\"state\":\"green\"}");
    const auto reportRed = [&]
    { return callGuarded([&] { return bus_->deliver(kInternalState, L"{\"state\":\"red\"}"); }); };
    // Each allocation of the change fails in turn, until one run needs no more.
    ModuleStatus status = MODULE_STATUS_SUCCESS;
    const long failing = WardlineTest::FailEachAllocationInTurn<WardlineTest::FailingJSONHeap>(
        [&] { status = reportRed(); },
        [&](long served)
        {
            EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION, status) << "failing allocation " << served;
            EXPECT_EQ(MODULE_STATUS_SUCCESS, reportRed());
            EXPECT_EQ(L"{\"state\":\"red\"}", publishedPayloads().back()) << "failing allocation " << served;
            bus_->deliver(kInternalState, L"{\"state\":\"green\"}");
        },
        100);
    EXPECT_GT(failing, 0) << "the report never got through, or needed no JSON allocation";
    EXPECT_EQ(MODULE_STATUS_SUCCESS, status);
}

TEST_F(WardlineImplTest, ConcurrentReportsNeverPublishTheSameStateTwiceInARow)
{
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module_->initialize());
    const wchar_t* states[] = {L"{\"state\":\"green\"}", L"{\"state\":\"red\"}", L"{\"state\":\"amber\"}"};
    std::atomic<int> failures{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
    {
        producers.emplace_back(
            [&, t]
            {
                for (int i = 0; i < 300; ++i)
                {
                    if (bus_->deliver(kInternalState, states[(i * (t + 1)) % 3]) != MODULE_STATUS_SUCCESS)
                    {
                        ++failures;
                    }
                }
            });
    }
    for (auto& producer : producers)
    {
        producer.join();
    }
    EXPECT_EQ(0, failures.load());

    // Publication happens under the module's lock, so the published sequence
    // is the sequence of state changes: no two neighbours are equal.
    const auto payloads = publishedPayloads();
    ASSERT_FALSE(payloads.empty());
    for (std::size_t i = 1; i < payloads.size(); ++i)
    {
        ASSERT_NE(payloads[i - 1], payloads[i]) << "at publication " << i;
    }
}

} // namespace
