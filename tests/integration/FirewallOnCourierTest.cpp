// The firewall alert the way the host runs it: the real Wardline.dll and
// Courier.dll in this process, the protection-manager service in its own,
// and this test as the settings manager, answering the module's settings
// requests as each case needs.

#include "HostSupport.h"
#include "ServiceTestSupport.h"
#include "support/JoiningThread.h"

#include <array>
#include <thread>

using namespace integration;
using ProtSvc::Step;

namespace
{

const wchar_t kReport[] = L"Core.Internal.Protection.State";
const wchar_t kIgnore[] = L"Core.Protection.IgnoreFirewall";
const wchar_t kIgnoreStatus[] = L"Core.Internal.Protection.IgnoreStatus";
const wchar_t kSetProperty[] = L"SETTINGS_MANAGER_SET_PROPERTY";
const wchar_t kAlert[] = L"0F167695-3F7C-421c-89E8-40544CE9D1A1_512";
const wchar_t kWriteTrue[] = L"{\"name\":\"Core.Protection.IgnoreFirewall\",\"value\":\"{\\\"ignore_"
                             L"firewall\\\":true}\",\"volatile\":false}";
const wchar_t kConfirmed[] = L"{\"name\":\"Core.Protection.IgnoreFirewall\",\"status\":true}";

// The settings manager as a test needs it: answers every
// "SETTINGS_MANAGER_SET_PROPERTY" request with the given payloads (none, one,
// or several), optionally after a delay, and keeps what it was asked.
class SettingsResponder
{
public:
    explicit SettingsResponder(const Courier& bus) : bus_(bus), handle_(bus.table)
    {
        id_ = bus.table->subscribe(handle_, this, &SettingsResponder::callback, kSetProperty);
    }
    ~SettingsResponder()
    {
        if (id_ != 0)
        {
            bus_.table->unsubscribe(handle_, id_);
        }
        std::vector<std::thread> late;
        {
            std::lock_guard<std::mutex> guard(lock_);
            late.swap(late_);
        }
        for (std::thread& thread : late)
        {
            thread.join();
        }
    }
    SettingsResponder(const SettingsResponder&) = delete;
    SettingsResponder& operator=(const SettingsResponder&) = delete;

    bool subscribed() const { return id_ != 0; }
    void answer(std::vector<std::wstring> payloads, DWORD delayMs = 0)
    {
        std::lock_guard<std::mutex> guard(lock_);
        answers_ = std::move(payloads);
        delayMs_ = delayMs;
    }
    std::vector<std::wstring> requests() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return requests_;
    }

private:
    static CourierStatus callback(void* context, const void* record, const wchar_t*, const wchar_t*,
                                  const wchar_t* payload)
    {
        auto* self = static_cast<SettingsResponder*>(context);
        std::array<unsigned char, courier::kRecordSizeV2> reply{};
        std::memcpy(reply.data(), record, reply.size());
        std::uint32_t flags = 0;
        std::memcpy(&flags, reply.data() + courier::kOffsetFlags, sizeof(flags));
        flags |= courier::kFlagReply;
        std::memcpy(reply.data() + courier::kOffsetFlags, &flags, sizeof(flags));

        std::lock_guard<std::mutex> guard(self->lock_);
        self->requests_.push_back(payload != nullptr ? payload : L"");
        auto send = [self, reply, answers = self->answers_, delay = self->delayMs_]
        {
            Sleep(delay);
            for (const std::wstring& answer : answers)
            {
                self->bus_.table->publish(self->handle_, reply.data(), kSetProperty, L"Settings",
                                          answer.c_str());
            }
        };
        if (self->delayMs_ == 0)
        {
            send();
        }
        else
        {
            self->late_.emplace_back(send);
        }
        return 0;
    }

    const Courier& bus_;
    Handle handle_;
    std::uint32_t id_ = 0;
    mutable std::mutex lock_;
    std::vector<std::wstring> answers_{kConfirmed};
    DWORD delayMs_ = 0;
    std::vector<std::wstring> requests_;
    std::vector<std::thread> late_;
};

class FirewallOnCourier : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ("", ProtSvcTest::registrationProblem());
        ASSERT_TRUE(bus.loaded()) << "Courier.dll or one of its exports is missing";
        ASSERT_NE(wardline.table, nullptr) << "Wardline.dll or its CreateObject is missing";
        ASSERT_TRUE(tap.installed());
        ASSERT_TRUE(settings.subscribed());
        ProtSvc::writeFailure({});
        ProtSvc::clearRecord();
        module = std::make_unique<HostedModule>(wardline, bus, L"Wardline");
        ASSERT_TRUE(module->ready());
    }
    void TearDown() override { module.reset(); }

    // Publishes the message and waits for Wardline's handler to return;
    // its status, or ~0u when it did not return within the time.
    std::uint32_t handle(const wchar_t* name, const std::wstring& payload,
                         std::chrono::milliseconds within = std::chrono::milliseconds(20000))
    {
        tap.clear();
        bus.table->publish(producer, nullptr, name, L"Producer", payload.c_str());
        std::uint32_t status = ~0u;
        waitUntil(
            [&]
            {
                for (const TapEvent& event : tap.events())
                {
                    if (event.kind == CourierTapHandled && event.handle == module->busHandle &&
                        event.name == name)
                    {
                        status = event.status;
                        return true;
                    }
                }
                return false;
            },
            within);
        return status;
    }
    std::size_t tapped(std::uint32_t kind) const
    {
        std::size_t found = 0;
        for (const TapEvent& event : tap.events())
        {
            found += event.kind == kind ? 1 : 0;
        }
        return found;
    }
    void makeRed() { ASSERT_EQ(0u, handle(kReport, L"{\"state\":\"red\"}")); }

    Courier bus;
    WardlineLibrary wardline;
    TapLog tap{bus};
    Handle producer{bus.table};
    SettingsResponder settings{bus};
    std::unique_ptr<HostedModule> module;
};

TEST_F(FirewallOnCourier, WhileGreenTheRequestIsRefusedWithoutACOMCall)
{
    EXPECT_EQ(0x80000002u, handle(kIgnore, L""));
    EXPECT_TRUE(ProtSvc::readRecord().empty());
    EXPECT_TRUE(settings.requests().empty());
}

TEST_F(FirewallOnCourier, WhileRedTheServiceInItsOwnProcessIgnoresTheAlertAndTheSettingIsWritten)
{
    makeRed();
    EXPECT_EQ(1u, handle(kIgnore, L""));

    const auto taken = ProtSvcTest::recorded(Step::TakeAlertAction);
    ASSERT_EQ(1u, taken.size());
    EXPECT_EQ(kAlert, taken[0].subject);
    EXPECT_EQ(2, taken[0].action);
    EXPECT_NE(GetCurrentProcessId(), taken[0].processId);

    const auto requests = settings.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(kWriteTrue, requests[0]);
}

TEST_F(FirewallOnCourier, AServiceRefusingAnyStepWritesNoSetting)
{
    makeRed();
    for (const Step step :
         {Step::CreateInstance, Step::LaunchObject, Step::CreateObject, Step::TakeAlertAction})
    {
        SCOPED_TRACE(ProtSvc::stepName(step));
        ProtSvcTest::ScopedFailure failure(step, E_ACCESSDENIED);
        EXPECT_EQ(0x80000002u, handle(kIgnore, L""));
    }
    EXPECT_TRUE(settings.requests().empty());
}

TEST_F(FirewallOnCourier, ASettingsManagerThatNeverAnswersCostsTheRequestItsTimeOutAndNoMore)
{
    makeRed();
    settings.answer({});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, handle(kIgnore, L""));
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(elapsed, 5000);
    // 5000 ms time-out plus the reply's 1000 ms of grace; the rest is slack
    // for the COM calls on a shared machine.
    EXPECT_LT(elapsed, 5000 + 1000 + 2500);
    EXPECT_EQ(1u, ProtSvcTest::recorded(Step::TakeAlertAction).size()) << "the alert stays ignored";
}

TEST_F(FirewallOnCourier, OnlyAConfirmationOfTheSettingAskedForCounts)
{
    makeRed();
    const std::wstring huge =
        L"{\"name\":\"Core.Protection.IgnoreFirewall\",\"status\":true,\"responses\":[" +
        []
    {
        std::wstring items;
        for (int i = 0; i < 100000; ++i)
        {
            items += i == 0 ? L"{\"a\":1}" : L",{\"a\":1}";
        }
        return items;
    }() +
        L"]}";
    struct Case
    {
        std::vector<std::wstring> answers;
        std::uint32_t status;
    };
    const Case cases[] = {
        {{L"not json"}, 0u},
        {{L"{\"name\":\"Core.Protection.Other\",\"status\":true}"}, 0u},
        {{L"{\"name\":\"Core.Protection.IgnoreFirewall\",\"status\":\"true\"}"}, 0u},
        {{L"{\"name\":\"Core.Protection.IgnoreFirewall\",\"status\":false}"}, 0u},
        {{L"{\"name\":5,\"status\":true}"}, 0u},
        {{L"[{\"name\":\"Core.Protection.IgnoreFirewall\",\"status\":true}]"}, 0u},
        {{huge}, 1u},
        {{kConfirmed, L"{\"name\":\"Core.Protection.IgnoreFirewall\",\"status\":false}"}, 1u},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.answers[0].substr(0, 80));
        settings.answer(c.answers);
        EXPECT_EQ(c.status, handle(kIgnore, L""));
    }
    EXPECT_EQ(1u, tapped(CourierTapReplyDropped)) << "the second answer of the last case finds no request";
}

TEST_F(FirewallOnCourier, ALateAnswerIsAnUnconfirmedWriteAndIsDropped)
{
    makeRed();
    settings.answer({kConfirmed}, 7000);
    EXPECT_EQ(0u, handle(kIgnore, L""));
    EXPECT_TRUE(waitUntil([&] { return tapped(CourierTapReplyDropped) == 1; }));
    // The module still answers afterwards, with the next write confirmed.
    settings.answer({kConfirmed});
    EXPECT_EQ(1u, handle(kIgnoreStatus, L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\","
                                        L"\"rule_id\":512,\"ignored\":false}"));
}

// The module is destroyed while its ignore request waits for a service that
// does not answer: DestroyModule does not wait for the service, and the host
// may unload the library meanwhile: the call's thread keeps it loaded until
// the service answers, then lets it go.
TEST_F(FirewallOnCourier, AModuleWaitingForAHungServiceIsDestroyedAndUnloadedInTime)
{
    makeRed();
    ProtSvcTest::ScopedHang hang(Step::CreateObject);
    bus.table->publish(producer, nullptr, kIgnore, L"Producer", L"");
    ASSERT_TRUE(waitUntil([] { return ProtSvcTest::hangingIn(Step::CreateObject); }));
    std::atomic<bool> destroyed{false};
    WardlineTest::JoiningThread destroying(
        [&]
        {
            module->destroy();
            destroyed = true;
        });
    // Under the module's own bound on the service's answer.
    const bool inTime = waitUntil([&] { return destroyed.load(); }, std::chrono::milliseconds(9000));
    if (!inTime)
    {
        hang.release();
    }
    destroying.join();
    ASSERT_TRUE(inTime) << "DestroyModule waited for the service";

    wardline.unload();
    EXPECT_NE(nullptr, GetModuleHandleW(L"Wardline.dll")) << "unloaded under a call still in the service";
    hang.release();
    EXPECT_TRUE(waitUntil([] { return GetModuleHandleW(L"Wardline.dll") == nullptr; }))
        << "the call's thread kept the library after the service answered";
    EXPECT_EQ(1u, ProtSvcTest::recorded(Step::TakeAlertAction).size()) << "the call went on to its end";
}

} // namespace
