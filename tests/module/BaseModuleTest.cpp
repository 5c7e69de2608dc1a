#include "module/BaseModule.h"

#include "support/FakeMessageBus.h"
#include "support/LogCapture.h"
#include "support/NullMessageBus.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <vector>

using namespace Norvan;
using WardlineTest::FakeMessageBus;
using WardlineTest::LogCapture;
using WardlineTest::NullMessageBus;

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

    EXPECT_EQ(0u, module.unsubscribe(L"a.b"));
    EXPECT_FALSE(bus->isSubscribed(L"a.b"));

    // A second initialisation replaces the bus and its registration.
    auto other = std::make_shared<FakeMessageBus>();
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module.baseInitialize(L"Wardline", L"", {}, manager(), other));
    EXPECT_EQ(other, container->resolve<MessageBus>());
}

// Every bus operation of the module: without a bus it is refused with
// MODULE_STATUS_INVALID_STATE; with one, it reaches the same operation of the
// bus with the name given, and that operation's own answer comes back.
TEST(BaseModuleTest, EveryBusOperationNeedsTheBusAndReturnsItsAnswer)
{
    using Bus = NullMessageBus;
    BaseModule module(nullptr);
    std::shared_ptr<Message> message;
    createMessage(message, L"x", L"Wardline", L"{}");
    std::shared_ptr<Reply> reply;
    const auto handler = [](const std::shared_ptr<Message>&) { return MODULE_STATUS_SUCCESS; };
    const std::chrono::milliseconds timeout(10);
    const struct
    {
        Bus::Call call;
        std::function<ModuleStatus()> run;
    } operations[] = {
        {{Bus::Publish, L"x"}, [&] { return module.publish(message); }},
        {{Bus::PublishEx, L"x"}, [&] { return module.publishEx(message); }},
        {{Bus::RequestWithCompletion, L"x"},
         [&] { return module.request(message, RequestCompletion(), timeout); }},
        {{Bus::RequestWithReply, L"x"}, [&] { return module.request(message, reply, timeout); }},
        {{Bus::RequestExWithCompletion, L"x"},
         [&] { return module.requestEx(message, RequestCompletion(), timeout); }},
        {{Bus::RequestExWithReply, L"x"}, [&] { return module.requestEx(message, reply, timeout); }},
        {{Bus::SubscribeWithAlias, L"n.1"}, [&] { return module.subscribe(L"n.1", L"alias", handler); }},
        {{Bus::Subscribe, L"n.2"}, [&] { return module.subscribe(L"n.2", handler); }},
        {{Bus::SubscribeSessionWithAlias, L"n.3"},
         [&] { return module.subscribeSession(L"n.3", L"alias", handler); }},
        {{Bus::SubscribeSession, L"n.4"}, [&] { return module.subscribeSession(L"n.4", handler); }},
        {{Bus::SubscribeFilterWithAlias, L"p.1"},
         [&] { return module.subscribeFilter(L"p.1", L"alias", handler); }},
        {{Bus::SubscribeFilter, L"p.2"}, [&] { return module.subscribeFilter(L"p.2", handler); }},
        {{Bus::SubscribeFilterSessionWithAlias, L"p.3"},
         [&] { return module.subscribeFilterSession(L"p.3", L"alias", handler); }},
        {{Bus::SubscribeFilterSession, L"p.4"},
         [&] { return module.subscribeFilterSession(L"p.4", handler); }},
        {{Bus::Unsubscribe, L"alias"}, [&] { return module.unsubscribe(L"alias"); }},
    };
    for (const auto& operation : operations)
    {
        EXPECT_EQ(MODULE_STATUS_INVALID_STATE, operation.run()) << "operation " << operation.call.operation;
    }
    auto bus = std::make_shared<Bus>();
    ASSERT_EQ(MODULE_STATUS_SUCCESS, module.baseInitialize(L"Wardline", L"", {}, manager(), bus));
    for (const auto& operation : operations)
    {
        EXPECT_EQ(Bus::answerOf(operation.call.operation), operation.run())
            << "operation " << operation.call.operation;
        ASSERT_FALSE(bus->calls().empty());
        EXPECT_TRUE(operation.call == bus->calls().back()) << "operation " << operation.call.operation;
    }
    EXPECT_EQ(std::size(operations), bus->calls().size());
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
