#include "module/BaseModule.h"

#include "support/FakeMessageBus.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace Norvan;
using WardlineTest::FakeMessageBus;
using WardlineTest::LogCapture;

namespace
{

std::uint32_t managerCallback(std::uintptr_t manager, std::uintptr_t first, std::uintptr_t second,
                              std::uintptr_t third)
{
    return static_cast<std::uint32_t>(manager + first * 10 + second * 100 + third * 1000);
}

std::shared_ptr<internal::ModuleManagerShim> manager()
{
    return std::make_shared<internal::ModuleManagerShim>(reinterpret_cast<void*>(1), &managerCallback);
}

TEST(BaseModuleTest, BaseInitializeRefusesMissingManagerOrBusAndKeepsWhatItStored)
{
    BaseModule module(nullptr);
    ASSERT_NE(nullptr, module.container()) << "a module without a container makes its own";

    LogCapture log;
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              module.baseInitialize(L"first", L"second", {{L"k", L"v"}}, nullptr,
                                    std::make_shared<FakeMessageBus>()));
    ASSERT_EQ(1u, log.exactly(L"Invalid module manager object passed to base initialize.").size());
    EXPECT_EQ(L"Norvan::BaseModule::baseInitialize", log.lines()[0].function);
    EXPECT_EQ(L"BaseModule", log.lines()[0].file);
    EXPECT_EQ(L"first", module.name()) << "names and properties are stored before the checks";
    EXPECT_EQ(1u, module.properties().size());
    EXPECT_EQ(nullptr, module.moduleManager());

    log.clear();
    auto shim = manager();
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, module.baseInitialize(L"again", L"", {}, shim, nullptr));
    EXPECT_EQ(1u, log.exactly(L"Invalid message bus object passed to base initialize.").size());
    EXPECT_EQ(shim, module.moduleManager()) << "the manager stays when only the bus was missing";
    EXPECT_EQ(nullptr, module.container()->resolve<MessageBus>());

    // Bus operations before a bus is there are refused, not dereferenced.
    std::shared_ptr<Message> message;
    createMessage(message, L"n", L"s", L"p");
    EXPECT_EQ(MODULE_STATUS_INVALID_STATE, module.publish(message));
    EXPECT_EQ(MODULE_STATUS_INVALID_STATE,
              module.subscribe(L"n", [](const std::shared_ptr<Message>&) { return 0u; }));
}

TEST(BaseModuleTest, TheBusIsRegisteredAndTheOperationsForwardToIt)
{
    auto container = std::make_shared<Plinth::IOCContainer>();
    BaseModule module(container);
    auto bus = std::make_shared<FakeMessageBus>();
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module.baseInitialize(L"Wardline", L"", {}, manager(), bus));
    EXPECT_EQ(container, module.container());
    EXPECT_EQ(bus, container->resolve<MessageBus>());

    int calls = 0;
    EXPECT_EQ(0u, module.subscribe(L"a.b",
                                   [&](const std::shared_ptr<Message>&)
                                   {
                                       ++calls;
                                       return MODULE_STATUS_DATA_ERROR;
                                   }));
    EXPECT_EQ(MODULE_STATUS_DATA_ERROR, bus->deliver(L"a.b", L"{}"));
    EXPECT_EQ(1, calls);

    bus->setPublishStatus(MODULE_STATUS_TIMEOUT);
    std::shared_ptr<Message> message;
    createMessage(message, L"x", L"Wardline", L"{}");
    EXPECT_EQ(MODULE_STATUS_TIMEOUT, module.publish(message)) << "results come back unchanged";
    EXPECT_EQ(MODULE_STATUS_TIMEOUT, module.publishEx(message));
    EXPECT_EQ(0u, module.unsubscribe(L"a.b"));
    EXPECT_FALSE(bus->isSubscribed(L"a.b"));

    // A second initialisation replaces the bus and its registration.
    auto other = std::make_shared<FakeMessageBus>();
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module.baseInitialize(L"Wardline", L"", {}, manager(), other));
    EXPECT_EQ(other, container->resolve<MessageBus>());
}

// Every bus operation of the module: without a bus it is refused with
// MODULE_STATUS_INVALID_STATE; with one, the bus's own answer comes back and
// subscriptions land under the name given.
TEST(BaseModuleTest, EveryBusOperationNeedsTheBusAndReturnsItsAnswer)
{
    BaseModule module(nullptr);
    std::shared_ptr<Message> message;
    createMessage(message, L"x", L"Wardline", L"{}");
    std::shared_ptr<Reply> reply;
    const auto handler = [](const std::shared_ptr<Message>&) { return MODULE_STATUS_SUCCESS; };
    const std::chrono::milliseconds timeout(10);
    const std::vector<std::pair<ModuleStatus, std::function<ModuleStatus()>>> operations = {
        {MODULE_STATUS_NOT_SUPPORTED, [&] { return module.request(message, RequestCompletion(), timeout); }},
        {MODULE_STATUS_NOT_SUPPORTED, [&] { return module.request(message, reply, timeout); }},
        {MODULE_STATUS_NOT_SUPPORTED,
         [&] { return module.requestEx(message, RequestCompletion(), timeout); }},
        {MODULE_STATUS_NOT_SUPPORTED, [&] { return module.requestEx(message, reply, timeout); }},
        {MODULE_STATUS_NOT_SUPPORTED, [&] { return module.subscribeFilter(L"p.*", L"alias", handler); }},
        {MODULE_STATUS_NOT_SUPPORTED, [&] { return module.subscribeFilter(L"p.*", handler); }},
        {MODULE_STATUS_NOT_SUPPORTED,
         [&] { return module.subscribeFilterSession(L"p.*", L"alias", handler); }},
        {MODULE_STATUS_NOT_SUPPORTED, [&] { return module.subscribeFilterSession(L"p.*", handler); }},
        {MODULE_STATUS_SUCCESS, [&] { return module.subscribe(L"n.1", L"alias", handler); }},
        {MODULE_STATUS_SUCCESS, [&] { return module.subscribeSession(L"n.2", L"alias", handler); }},
        {MODULE_STATUS_SUCCESS, [&] { return module.subscribeSession(L"n.3", handler); }},
    };
    for (std::size_t i = 0; i < operations.size(); ++i)
    {
        EXPECT_EQ(MODULE_STATUS_INVALID_STATE, operations[i].second()) << "operation " << i;
    }
    auto bus = std::make_shared<FakeMessageBus>();
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module.baseInitialize(L"Wardline", L"", {}, manager(), bus));
    for (std::size_t i = 0; i < operations.size(); ++i)
    {
        EXPECT_EQ(operations[i].first, operations[i].second()) << "operation " << i;
    }
    EXPECT_EQ((std::vector<std::wstring>{L"n.1", L"n.2", L"n.3"}), bus->subscribeCalls());
}

TEST(BaseModuleTest, DirectMessageNeedsABusClient)
{
    BaseModule module(nullptr);
    std::shared_ptr<Message> message;
    createMessage(message, L"n", L"s", L"p");
    LogCapture log;
    EXPECT_EQ(MODULE_STATUS_INVALID_STATE, module.directMessage(message)) << "no bus at all";

    ASSERT_EQ(MODULE_STATUS_SUCCESS,
              module.baseInitialize(L"W", L"", {}, manager(), std::make_shared<FakeMessageBus>()));
    EXPECT_EQ(MODULE_STATUS_INVALID_STATE, module.directMessage(message)) << "a bus that is not a client";
    const auto lines = log.exactly(L"Failed to process direct message. Invalid message bus client.");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"Norvan::BaseModule::directMessage", lines[0].function);
}

TEST(BaseModuleTest, ManagerShimPassesFirstAndThirdArgumentsOnly)
{
    internal::ModuleManagerShim shim(reinterpret_cast<void*>(1), &managerCallback);
    EXPECT_EQ(1u + 20u + 0u + 4000u, shim.call(2, 3, 4)) << "(manager, first, null, third)";
    internal::ModuleManagerShim withoutCallback(nullptr, nullptr);
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, withoutCallback.call(1, 2, 3));
}

TEST(BaseModuleTest, LifecycleOperationsDoNothing)
{
    BaseModule module(nullptr);
    EXPECT_EQ(0u, module.initialize());
    EXPECT_EQ(0u, module.start());
    EXPECT_EQ(0u, module.stop());
    EXPECT_EQ(0u, module.uninitialize());
    EXPECT_TRUE(module.name().empty());
    EXPECT_EQ(nullptr, module.messageBus());
}

} // namespace
