// The module's settings client on the real Courier.dll against a settings
// manager that misbehaves on purpose: it answers twice, answers after the
// client gave up, or answers for another property.

#include "HostSupport.h"

#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"
#include "settings/SettingsManagerClient.h"
#include "support/LogCapture.h"

#include <atomic>
#include <functional>

using namespace integration;

namespace
{

// Answers every request for one message name with the payloads it is given,
// in order, each after its delay. The first answer that arrives is the reply;
// the bus drops the others.
class ScriptedSettingsManager
{
public:
    struct Answer
    {
        std::wstring payload;
        DWORD delayMs = 0;
    };

    ScriptedSettingsManager(const Courier& bus, const wchar_t* name, std::vector<Answer> answers)
        : bus_(bus), handle_(bus.table), answers_(std::move(answers))
    {
        subscription_ = bus_.table->subscribe(handle_, this, &ScriptedSettingsManager::onRequest, name);
    }
    ~ScriptedSettingsManager()
    {
        if (subscription_ != 0)
        {
            bus_.table->unsubscribe(handle_, subscription_);
        }
    }
    bool subscribed() const { return subscription_ != 0; }
    // Statuses of the answers' publications, in order.
    std::vector<CourierStatus> published()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return published_;
    }

private:
    static CourierStatus onRequest(void* context, const void* record, const wchar_t* name, const wchar_t*,
                                   const wchar_t*)
    {
        auto* self = static_cast<ScriptedSettingsManager*>(context);
        const std::vector<unsigned char> reply = replyRecordFor(record);
        for (const Answer& answer : self->answers_)
        {
            Sleep(answer.delayMs);
            const CourierStatus status = self->bus_.table->publish(self->handle_, reply.data(), name,
                                                                   L"Scripted", answer.payload.c_str());
            std::lock_guard<std::mutex> guard(self->lock_);
            self->published_.push_back(status);
        }
        return 0;
    }

    const Courier& bus_;
    Handle handle_;
    std::vector<Answer> answers_;
    std::uint32_t subscription_ = 0;
    std::mutex lock_;
    std::vector<CourierStatus> published_;
};

class SettingsClientOnCourier : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.loaded()) << "Courier.dll or one of its exports is missing";
        auto shim = std::make_shared<Norvan::MessageBusShimImpl>(
            clientHandle.handle, reinterpret_cast<const Norvan::MessageBusFunctionTable*>(bus.table));
        client = std::make_unique<Norvan::SettingsManagerClient>(
            std::make_shared<Norvan::MessageBusClient>(shim, nullptr));
    }

    Courier bus;
    Handle clientHandle{bus.table};
    std::unique_ptr<Norvan::SettingsManagerClient> client;
};

} // namespace

TEST_F(SettingsClientOnCourier, FirstOfTwoAnswersCounts)
{
    ScriptedSettingsManager manager(bus, L"SETTINGS_MANAGER_GET_PROPERTY",
                                    {{L"{\"name\":\"A\",\"status\":true,\"value\":\"first\"}", 0},
                                     {L"{\"name\":\"A\",\"status\":true,\"value\":\"second\"}", 0}});
    ASSERT_TRUE(manager.subscribed());
    std::wstring value;
    EXPECT_TRUE(client->getProperty(L"A", value, std::chrono::milliseconds(5000)));
    EXPECT_EQ(L"first", value);
    // The second answer found no pending request; nothing of it reaches the
    // client, and the next request gets its own first answer.
    EXPECT_TRUE(waitUntil([&] { return manager.published().size() == 2; }));
    EXPECT_TRUE(client->getProperty(L"A", value, std::chrono::milliseconds(5000)));
    EXPECT_EQ(L"first", value);
}

TEST_F(SettingsClientOnCourier, LateAnswerIsATimeOutAndChangesNothingAfterwards)
{
    ScriptedSettingsManager manager(bus, L"SETTINGS_MANAGER_SET_PROPERTY",
                                    {{L"{\"name\":\"A\",\"status\":true}", 700}});
    WardlineTest::LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->setProperty(L"A", std::wstring(L"v"), std::chrono::milliseconds(200)));
    const auto took = std::chrono::steady_clock::now() - start;
    // The reply's deadline is the time-out plus 1 s; the bound catches a wait
    // that outlives it by far, not a slow machine.
    EXPECT_LT(took, std::chrono::milliseconds(200 + 1000 + 5000));
    EXPECT_EQ(1u, log.exactly(L"Property request timed out. Returning.").size());
    EXPECT_TRUE(waitUntil([&] { return manager.published().size() == 1; }));
    allowLateArrivals();
    EXPECT_EQ(0u, log.find(L"Received").size());
}

TEST_F(SettingsClientOnCourier, AnswerForAnotherPropertyIsNotAConfirmation)
{
    ScriptedSettingsManager manager(bus, L"SETTINGS_MANAGER_SET_PROPERTY",
                                    {{L"{\"name\":\"B\",\"status\":true}", 0}});
    WardlineTest::LogCapture log;
    EXPECT_FALSE(client->setProperty(L"A", std::wstring(L"v"), std::chrono::milliseconds(5000)));
    EXPECT_EQ(1u,
              log.exactly(L"Response property name (B) does not match expected property name (A).").size());
}

TEST_F(SettingsClientOnCourier, NoSettingsManagerOnTheBusIsADataError)
{
    WardlineTest::LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->removeProperty(L"A", std::chrono::milliseconds(5000)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000))
        << "ended before its time-out could end it";
    EXPECT_EQ(1u, log.exactly(L"Property request failed with DATA_ERROR. Returning.").size());
}

// The client NewModule registers loads the bus library itself: each module's
// client holds a bus handle of its own for as long as the module lives.
TEST_F(SettingsClientOnCourier, EachModuleHasASettingsClientOnAHandleOfItsOwn)
{
    WardlineLibrary wardline;
    ASSERT_NE(nullptr, wardline.table);
    const std::uint32_t before = bus.stats().liveHandles;
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(0u, wardline.table->NewModule(&first, L"IntegrationHost"));
    ASSERT_EQ(0u, wardline.table->NewModule(&second, L"IntegrationHost"));
    EXPECT_EQ(before + 2, bus.stats().liveHandles);
    EXPECT_EQ(0u, wardline.table->DestroyModule(first));
    EXPECT_EQ(0u, wardline.table->DestroyModule(second));
    EXPECT_EQ(before, bus.stats().liveHandles);
}
