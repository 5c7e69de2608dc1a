#include "Logging/LogManager.h"
#include "message/MessageBusFunctions.h"
#include "module/BaseModule.h"
#include "module/ModuleExports.h"
#include "module/ModuleFunctions.h"

#include "support/FailingJSONHeap.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Norvan;
using WardlineTest::LogCapture;

// While set, allocations of this thread that ask for a null pointer on
// failure get one, as when the process has run out of memory.
static thread_local bool t_nothrowAllocationsFail = false;

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return t_nothrowAllocationsFail ? nullptr : std::malloc(size != 0 ? size : 1);
}

namespace
{

// A host bus reduced to what the module table needs: subscriptions are kept
// (so a test can play the host and call back), publications recorded.
struct FakeHostBus
{
    struct Subscription
    {
        void* context;
        MessageBusMessageCallback callback;
        std::wstring name;
    };
    std::mutex mutex;
    std::vector<Subscription> subscriptions;
    std::vector<std::wstring> published;
    int replyWithdrawals = 0;
};

FakeHostBus* g_bus = nullptr;

std::uint32_t fakeGetHandle(MessageBusHandle* handle)
{
    *handle = g_bus;
    return 0;
}
std::uint32_t fakeReleaseHandle(MessageBusHandle)
{
    return 0;
}
std::uint32_t fakePublish(MessageBusHandle, const void*, const wchar_t* name, const wchar_t*, const wchar_t* payload)
{
    std::lock_guard<std::mutex> guard(g_bus->mutex);
    g_bus->published.push_back(std::wstring(name) + L" " + payload);
    return 0;
}
std::uint32_t fakeRequest(MessageBusHandle, std::uint64_t, void*, MessageBusReplyCallback, const void*,
                          const wchar_t*, const wchar_t*, const wchar_t*, std::uint64_t)
{
    return MODULE_STATUS_NO_SUBSCRIBERS;
}
std::uint32_t fakeSubscribe(MessageBusHandle, void* context, MessageBusMessageCallback callback, const wchar_t* name)
{
    std::lock_guard<std::mutex> guard(g_bus->mutex);
    g_bus->subscriptions.push_back({context, callback, name});
    return static_cast<std::uint32_t>(g_bus->subscriptions.size());
}
std::uint32_t fakeSubscribeFilter(MessageBusHandle, void*, MessageBusMessageCallback, const wchar_t*)
{
    return 0;
}
std::uint32_t fakeUnsubscribe(MessageBusHandle, std::uint32_t)
{
    return 0;
}
std::uint32_t fakeRemoveReplyCallback(MessageBusHandle, MessageBusReplyCallback)
{
    std::lock_guard<std::mutex> guard(g_bus->mutex);
    ++g_bus->replyWithdrawals;
    return 0;
}

const MessageBusFunctionTable kFakeTable = {&fakeGetHandle,       &fakeReleaseHandle, &fakePublish,
                                            &fakeRequest,         &fakeSubscribe,     &fakeSubscribeFilter,
                                            &fakeUnsubscribe,     &fakeRemoveReplyCallback, &fakePublish,
                                            &fakeRequest};

std::uint32_t managerCallback(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t)
{
    return 0;
}

class ModuleTable : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_bus = &bus_;
        table_ = static_cast<const ModuleFunctionTable*>(CreateObject());
        ASSERT_NE(nullptr, table_);
    }
    void TearDown() override
    {
        if (handle_ != nullptr)
        {
            EXPECT_EQ(0u, table_->DestroyModule(handle_));
        }
        g_bus = nullptr;
    }

    ModuleStatus initializeV2(std::uint32_t count = 0, const wchar_t* const* names = nullptr,
                              const wchar_t* const* values = nullptr)
    {
        return table_->InitializeModuleV2(handle_, L"Wardline", L"secondary", count, names, values, &bus_,
                                          &managerCallback, &bus_, &kFakeTable);
    }

    BaseModule* base() const { return dynamic_cast<BaseModule*>(handle_->module); }

    // Plays the host bus: delivers to every subscription of the name.
    std::vector<std::uint32_t> hostDelivers(const wchar_t* name, const wchar_t* payload)
    {
        std::vector<std::uint32_t> statuses;
        for (const auto& subscription : bus_.subscriptions)
        {
            if (subscription.name == name)
            {
                statuses.push_back(subscription.callback(subscription.context, nullptr, name, L"host", payload));
            }
        }
        return statuses;
    }

    FakeHostBus bus_;
    const ModuleFunctionTable* table_ = nullptr;
    ModuleHandle* handle_ = nullptr;
};

TEST_F(ModuleTable, ExportsAndTableAreStable)
{
    EXPECT_EQ(2001000u, GetVersionNum());
    EXPECT_STREQ("2.1.0", GetVersionStr());
    ReleaseObject();
    EXPECT_EQ(table_, CreateObject()) << "every call hands out the same static table";
    for (auto entry : {reinterpret_cast<const void*>(table_->NewModule), reinterpret_cast<const void*>(table_->DirectMessage),
                       reinterpret_cast<const void*>(table_->InitializeModuleV2)})
    {
        EXPECT_NE(nullptr, entry);
    }
}

TEST_F(ModuleTable, HandleChecksRefuseWithInvalidParameterAndOneErrorLine)
{
    LogCapture log;
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->NewModule(nullptr, L"app"));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->DestroyModule(nullptr));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->StartModule(nullptr));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->DirectMessage(nullptr, nullptr, L"n", L"s", L"p"));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              table_->InitializeModuleV2(nullptr, L"n", L"s", 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));

    const auto address = log.exactly(L"Invalid handle address.");
    ASSERT_EQ(1u, address.size());
    EXPECT_EQ(4u, address[0].level);
    EXPECT_EQ(L"ModuleFunctions", address[0].file);
    EXPECT_EQ(L"NewModule", address[0].function);
    EXPECT_EQ(4u, log.exactly(L"Invalid handle.").size());

    // A handle without a module is refused by everything but DestroyModule,
    // which frees it.
    auto* empty = new ModuleHandle{[](Module*) { ADD_FAILURE() << "nothing to delete"; }, nullptr};
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->StartModule(empty));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->StopModule(empty));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->UninitializeModule(empty));
    EXPECT_EQ(0u, table_->DestroyModule(empty));
}

// Installs, for its lifetime, a log manager whose creation throws every time,
// as when creation failed at process attach and fails again at the first
// level check.
class ThrowingLogManager : public ETWLogging::CLogBuilderIf
{
public:
    ThrowingLogManager()
    {
        ETWLogging::CLogManager::SetBuilderForTest(this);
        ETWLogging::CLogManager::ResetForTest();
    }
    ~ThrowingLogManager()
    {
        ETWLogging::CLogManager::SetBuilderForTest(nullptr);
        ETWLogging::CLogManager::ResetForTest();
    }
    bool Build(const wchar_t*, HMODULE, const wchar_t*, int, ETWLogging::CLoggingIf**,
               ETWLogging::CLogConfigReaderIf*) override
    {
        ++attempts;
        throw std::runtime_error("no log manager");
    }
    int attempts = 0;
};

TEST_F(ModuleTable, HandleChecksKeepTheirStatusWhenLoggingThrows)
{
    ThrowingLogManager logManager;
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->NewModule(nullptr, L"app"));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->DestroyModule(nullptr));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              table_->InitializeModule(nullptr, L"n", L"s", 0, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->StartModule(nullptr));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->StopModule(nullptr));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->UninitializeModule(nullptr));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->DirectMessage(nullptr, nullptr, L"n", L"s", L"p"));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              table_->InitializeModuleV2(nullptr, L"n", L"s", 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(8, logManager.attempts) << "every refusal tried to create the log manager";
}

TEST_F(ModuleTable, AModuleThatCannotBeAllocatedIsUnsuccessfulAndLeavesTheHandleAlone)
{
    auto* const untouched = reinterpret_cast<ModuleHandle*>(0x1234);
    ModuleHandle* handle = untouched;
    LogCapture log;
    t_nothrowAllocationsFail = true;
    const ModuleStatus status = table_->NewModule(&handle, L"hubhost");
    t_nothrowAllocationsFail = false;
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, status);
    EXPECT_EQ(untouched, handle);
    for (const auto& line : log.lines())
    {
        EXPECT_NE(L"ModuleFunctions", line.file) << "the table logs nothing for it: " << line.text;
    }
}

TEST_F(ModuleTable, LifecycleThroughTheTable)
{
    ASSERT_EQ(0u, table_->NewModule(&handle_, L"hubhost"));
    ASSERT_NE(nullptr, handle_);
    ASSERT_NE(nullptr, base());
    EXPECT_EQ(0u, table_->StartModule(handle_)) << "before initialisation too";

    const wchar_t* names[] = {L"a", L"b", L"a"};
    const wchar_t* values[] = {L"1", L"2", L"3"};
    ASSERT_EQ(0u, initializeV2(3, names, values));
    const ModuleProperties expected = {{L"a", L"1"}, {L"b", L"2"}};
    EXPECT_EQ(expected, base()->properties()) << "the first value of a repeated name stays";
    EXPECT_EQ(L"Wardline", base()->name());
    EXPECT_EQ(L"secondary", base()->secondaryName());
    EXPECT_EQ(4u, bus_.subscriptions.size());

    EXPECT_EQ(0u, table_->StartModule(handle_));
    EXPECT_EQ(0u, table_->StopModule(handle_));
    EXPECT_EQ(0u, table_->UninitializeModule(handle_));

    // Destroying the module withdraws its reply callback: once by the bus
    // client as it ends, once more by the shim as it goes.
    EXPECT_EQ(0, bus_.replyWithdrawals);
    EXPECT_EQ(0u, table_->DestroyModule(handle_));
    handle_ = nullptr;
    EXPECT_EQ(2, bus_.replyWithdrawals);
}

TEST_F(ModuleTable, InitializationFailures)
{
    ASSERT_EQ(0u, table_->NewModule(&handle_, L""));
    // A null bus handle or table makes the bus shim's constructor throw.
    EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION,
              table_->InitializeModuleV2(handle_, L"W", L"", 0, nullptr, nullptr, &bus_, &managerCallback, nullptr,
                                         &kFakeTable));
    EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION,
              table_->InitializeModuleV2(handle_, L"W", L"", 0, nullptr, nullptr, &bus_, &managerCallback, &bus_,
                                         nullptr));
    // Without a bus from the host the module must load the bus library
    // itself, which this process does not have.
    EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION,
              table_->InitializeModule(handle_, L"W", L"", 0, nullptr, nullptr, &bus_, &managerCallback));

    // Broken host arguments give a status, not a crash.
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              table_->InitializeModuleV2(handle_, nullptr, L"", 0, nullptr, nullptr, &bus_, &managerCallback, &bus_,
                                         &kFakeTable));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              table_->InitializeModuleV2(handle_, L"W", L"", 2, nullptr, nullptr, &bus_, &managerCallback, &bus_,
                                         &kFakeTable));
    const wchar_t* names[] = {L"a", L"b"};
    const wchar_t* values[] = {L"1", nullptr};
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, initializeV2(2, names, values)) << "a null value among the properties";
    EXPECT_TRUE(bus_.subscriptions.empty());
}

TEST_F(ModuleTable, DirectMessagesReachTheModuleOnTheCallingThread)
{
    ASSERT_EQ(0u, table_->NewModule(&handle_, L"hubhost"));
    // Before initialisation there is no bus client to deliver through.
    EXPECT_EQ(MODULE_STATUS_INVALID_STATE,
              table_->DirectMessage(handle_, nullptr, L"Core.Internal.Protection.State", L"", L"{\"state\":\"red\"}"));
    ASSERT_EQ(0u, initializeV2());

    EXPECT_EQ(0u, table_->DirectMessage(handle_, nullptr, L"Core.Internal.Protection.State", L"",
                                        L"{\"state\":\"red\"}"));
    ASSERT_EQ(1u, bus_.published.size());
    EXPECT_EQ(L"Core.Protection.State {\"state\":\"red\"}", bus_.published[0]);

    // The handler's own status does not come back through a direct message.
    EXPECT_EQ(0u, table_->DirectMessage(handle_, nullptr, L"Core.Internal.Protection.State", L"", L"{"));
    // Nobody subscribed to this name: dropped.
    EXPECT_EQ(0u, table_->DirectMessage(handle_, nullptr, L"Nobody.Listens", L"", L"{}"));
    EXPECT_EQ(1u, bus_.published.size());

    EXPECT_EQ(0u, table_->DirectMessage(handle_, nullptr, L"Core.Protection.RefreshState", L"", L""));
    EXPECT_EQ(2u, bus_.published.size());

    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->DirectMessage(handle_, nullptr, nullptr, L"", L""));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table_->DirectMessage(handle_, nullptr, L"n", L"", nullptr));
}

TEST_F(ModuleTable, HostDeliveryReturnsTheHandlersStatus)
{
    ASSERT_EQ(0u, table_->NewModule(&handle_, L"hubhost"));
    ASSERT_EQ(0u, initializeV2());
    EXPECT_EQ(std::vector<std::uint32_t>{MODULE_STATUS_DATA_ERROR},
              hostDelivers(L"Core.Internal.Protection.State", L"{\"state\":5}"));
    EXPECT_EQ(std::vector<std::uint32_t>{0u}, hostDelivers(L"Core.Internal.Protection.State", L"{\"state\":\"x\"}"));
    EXPECT_EQ(std::vector<std::uint32_t>{0u}, hostDelivers(L"Core.Protection.RefreshState", L""));
    EXPECT_EQ(2u, bus_.published.size());
}

TEST_F(ModuleTable, HandlersAnswerUnknownExceptionWhenJSONMemoryRunsOut)
{
    ASSERT_EQ(0u, table_->NewModule(&handle_, L"hubhost"));
    ASSERT_EQ(0u, initializeV2());
    {
        WardlineTest::FailingJSONHeap heap(0);
        EXPECT_EQ(std::vector<std::uint32_t>{MODULE_STATUS_UNKNOWN_EXCEPTION},
                  hostDelivers(L"Core.Internal.Protection.State", L"{\"state\":\"red\"}"));
        EXPECT_EQ(std::vector<std::uint32_t>{MODULE_STATUS_UNKNOWN_EXCEPTION},
                  hostDelivers(L"Core.Protection.RefreshState", L""));
    }
    EXPECT_TRUE(bus_.published.empty());
    // Nothing was left half done: the next report is published as the first.
    EXPECT_EQ(std::vector<std::uint32_t>{0u},
              hostDelivers(L"Core.Internal.Protection.State", L"{\"state\":\"red\"}"));
    EXPECT_EQ(std::vector<std::wstring>{L"Core.Protection.State {\"state\":\"red\"}"}, bus_.published);
}

} // namespace
