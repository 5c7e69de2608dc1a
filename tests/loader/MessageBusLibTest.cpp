#include "message/MessageBusLib.h"

#include "paths/PathFakes.h"
#include "LoaderTestSupport.h"
#include "message/MessageBusFunctions.h"
#include "module/ModuleException.h"
#include "support/LogCapture.h"
#include "support/WaitUntil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using LoaderTest::FakeLoader;
using Norvan::MessageBusLib;
using Norvan::ModuleException;
using WardlineTest::LogCapture;
using WardlineTest::ScratchFolder;

namespace
{

// A bus library that records what is done to it, in the loader's event list.
struct RecordingBus
{
    static RecordingBus* active;

    FakeLoader* loader = nullptr;
    std::uint32_t askedVersion = 0;
    bool handOutTable = true;
    std::uint32_t getHandleStatus = 0;
    std::uint32_t releaseStatus = 0;
    int handle = 0;

    static const void* createObject(std::uint32_t version)
    {
        active->askedVersion = version;
        return active->handOutTable ? &table : nullptr;
    }
    static std::uint32_t getHandle(Norvan::MessageBusHandle* handle)
    {
        active->loader->events.push_back("getHandle");
        *handle = &active->handle;
        return active->getHandleStatus;
    }
    static std::uint32_t releaseHandle(Norvan::MessageBusHandle handle)
    {
        active->loader->events.push_back(handle == &active->handle ? "releaseHandle"
                                                                   : "releaseHandle(other)");
        return active->releaseStatus;
    }
    static std::uint32_t removeReplyCallback(Norvan::MessageBusHandle, Norvan::MessageBusReplyCallback)
    {
        active->loader->events.push_back("removeReplyCallback");
        return 0;
    }
    static std::uint32_t subscribe(Norvan::MessageBusHandle handle, void*, Norvan::MessageBusMessageCallback,
                                   const wchar_t* name)
    {
        active->loader->events.push_back(
            handle == &active->handle && std::wstring(name) == L"A.Name" ? "subscribe" : "subscribe(other)");
        return 7;
    }

    static const Norvan::MessageBusFunctionTable table;
};

RecordingBus* RecordingBus::active = nullptr;
const Norvan::MessageBusFunctionTable RecordingBus::table = {&RecordingBus::getHandle,
                                                             &RecordingBus::releaseHandle,
                                                             nullptr,
                                                             nullptr,
                                                             &RecordingBus::subscribe,
                                                             nullptr,
                                                             nullptr,
                                                             &RecordingBus::removeReplyCallback,
                                                             nullptr,
                                                             nullptr};

class MessageBusLibTest : public ::testing::Test
{
protected:
    MessageBusLibTest() : folder_(L"buslib"), loader_(std::make_shared<FakeLoader>())
    {
        folder_.write(L"RecordingBus.dll");
        bus_.loader = loader_.get();
        RecordingBus::active = &bus_;
        loader_->provide("CreateObject", &RecordingBus::createObject);
        loader_->provide(
            "ReleaseObject", +[]() {});
        loader_->provide(
            "GetVersionStr", +[]() -> const char* { return "2.1.0"; });
        loader_->provide(
            "GetVersionNum", +[]() -> std::uint32_t { return 2001000; });
    }
    ~MessageBusLibTest() override { RecordingBus::active = nullptr; }

    MessageBusLib::Environment environment(std::vector<std::wstring> searchList)
    {
        MessageBusLib::Environment env = MessageBusLib::Environment::defaults();
        env.fileName = L"RecordingBus.dll";
        env.searchList = std::move(searchList);
        env.loader = loader_;
        return env;
    }

    // The registry fallback, as a 32-bit process on a 64-bit system sees it.
    MessageBusLib::Environment underWow64()
    {
        auto api = std::make_shared<PathsTest::FakeOSVersionAPI>();
        api->wow64 = true;
        MessageBusLib::Environment env = environment({});
        env.osInfo = PathsTest::osInfoOf(api);
        return env;
    }

    std::unique_ptr<MessageBusLib> open(std::vector<std::wstring> searchList)
    {
        return std::make_unique<MessageBusLib>(nullptr, nullptr, environment(std::move(searchList)));
    }

    std::string failure(MessageBusLib::Environment env)
    {
        try
        {
            MessageBusLib bus(nullptr, nullptr, std::move(env));
        }
        catch (const ModuleException& error)
        {
            return error.what();
        }
        return "";
    }

    ScratchFolder folder_;
    std::shared_ptr<FakeLoader> loader_;
    RecordingBus bus_;
};

using Events = std::vector<std::string>;

} // namespace

TEST_F(MessageBusLibTest, OpensAHandleOfItsOwnThroughTheFrameworkVersion)
{
    LogCapture log;
    auto bus = open({folder_.path()});
    EXPECT_EQ(2001000u, bus_.askedVersion);
    EXPECT_EQ(folder_ / L"RecordingBus.dll", loader_->loadedPath);
    EXPECT_EQ(7u, bus->subscribe(L"A.Name", nullptr));
    EXPECT_EQ((Events{"load", "getHandle", "subscribe"}), loader_->events);

    const auto timed = log.find(L"M12NPerfTimer|MessageBusLib::MessageBusLib|");
    ASSERT_EQ(1u, timed.size());
    EXPECT_EQ(1u, timed[0].level);
    EXPECT_TRUE(log.find(L"by force").empty());
}

TEST_F(MessageBusLibTest, DestructionWithdrawsRepliesThenReleasesTheHandleThenUnloads)
{
    auto bus = open({folder_.path()});
    loader_->events.clear();
    bus.reset();
    EXPECT_EQ((Events{"removeReplyCallback", "releaseHandle", "unload"}), loader_->events);
}

TEST_F(MessageBusLibTest, FailedGetHandleThrowsAfterOneErrorLineAndUnloads)
{
    bus_.getHandleStatus = 0x80000002u;
    LogCapture log;
    EXPECT_EQ("Failed to get message bus handle", failure(environment({folder_.path()})));
    const auto errors = log.exactly(
        L"Failed to get message bus handle. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650). Throwing "
        L"ModuleException.");
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(4u, errors[0].level);
    EXPECT_EQ(L"MessageBusLib", errors[0].file);
    EXPECT_EQ(L"Norvan::MessageBusLib::MessageBusLib", errors[0].function);
    // Nothing was obtained, so nothing is released; the library goes.
    EXPECT_EQ((Events{"load", "getHandle", "unload"}), loader_->events);
    EXPECT_EQ(1u, log.find(L"M12NPerfTimer|MessageBusLib::MessageBusLib|").size());
}

TEST_F(MessageBusLibTest, MissingFunctionTableThrows)
{
    bus_.handOutTable = false;
    LogCapture log;
    EXPECT_EQ("Failed to get message bus functions object", failure(environment({folder_.path()})));
    EXPECT_EQ(1u,
              log.exactly(L"Failed to get message bus functions object. Throwing ModuleException.").size());
    EXPECT_EQ((Events{"load", "unload"}), loader_->events);
}

TEST_F(MessageBusLibTest, FailedReleaseIsLoggedAndTheLibraryStillGoes)
{
    bus_.releaseStatus = 0x80000002u;
    auto bus = open({folder_.path()});
    LogCapture log;
    bus.reset();
    const auto lines =
        log.exactly(L"Failed to release message bus. Error code MODULE_STATUS_UNSUCCESSFUL(2147483650).");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(2u, lines[0].level);
    EXPECT_EQ(0u, lines[0].function.rfind(L"Norvan::MessageBusLib::{dtor}::", 0));
    EXPECT_EQ("unload", loader_->events.back());
}

TEST_F(MessageBusLibTest, GivenShimAndLibraryAreUsedAsTheyAre)
{
    struct CountingShim : Norvan::MessageBusShim
    {
        Norvan::ModuleStatus publish(const std::shared_ptr<Norvan::Message>&, bool extended) override
        {
            return extended ? 11 : 10;
        }
        Norvan::ModuleStatus request(const std::shared_ptr<Norvan::Message>&, std::uint64_t index, void*,
                                     const std::chrono::milliseconds& timeout, bool) override
        {
            return static_cast<Norvan::ModuleStatus>(index + timeout.count());
        }
        Norvan::ModuleStatus removeReplyCallback() override { return 12; }
        std::uint32_t subscribe(const std::wstring& name, void*) override { return name == L"n" ? 13 : 0; }
        std::uint32_t subscribeFilter(const std::wstring& pattern, void*) override
        {
            return pattern == L"p" ? 14 : 0;
        }
        Norvan::ModuleStatus unsubscribe(std::uint32_t id) override { return id + 1; }
    };
    auto library = std::make_shared<Norvan::SharedLibrary>(
        Norvan::LibraryDescription{L"RecordingBus.dll", {folder_.path()}}, loader_, nullptr, nullptr, nullptr,
        nullptr);
    auto shim = std::make_shared<CountingShim>();
    std::weak_ptr<CountingShim> watched = shim;
    {
        MessageBusLib bus(library, shim, environment({L"C:\\never-searched"}));
        shim.reset();
        EXPECT_EQ(10u, bus.publish(nullptr, false));
        EXPECT_EQ(11u, bus.publish(nullptr, true));
        EXPECT_EQ(25u, bus.request(nullptr, 5, nullptr, std::chrono::milliseconds(20), false));
        EXPECT_EQ(12u, bus.removeReplyCallback());
        EXPECT_EQ(13u, bus.subscribe(L"n", nullptr));
        EXPECT_EQ(14u, bus.subscribeFilter(L"p", nullptr));
        EXPECT_EQ(4u, bus.unsubscribe(3));
    }
    EXPECT_TRUE(watched.expired());
    // One library, loaded once, still held here; the handle went back.
    EXPECT_EQ((Events{"load", "getHandle", "releaseHandle"}), loader_->events);
}

TEST_F(MessageBusLibTest, EmptySearchListTakesTheInstallFolderFromTheRegistry)
{
    WardlineTest::HubframeInstallKey key;
    ASSERT_TRUE(key.set(L"Install Dir", folder_.path()));
    ASSERT_TRUE(key.set(L"Install Dir32", L"C:\\elsewhere"));
    {
        LogCapture log;
        auto bus = open({});
        EXPECT_EQ(folder_ / L"RecordingBus.dll", loader_->loadedPath);
        const auto lines = log.exactly(L"Loading MesageBusLib by force from path: " + folder_.path());
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(3u, lines[0].level);
        EXPECT_EQ(L"Norvan::MessageBusLib::loadFromRegistry", lines[0].function);
    }
    // Under WoW64 the other value names the folder.
    LogCapture log;
    EXPECT_EQ("Failed to load library", failure(underWow64()));
    EXPECT_EQ(1u, log.exactly(L"Loading MesageBusLib by force from path: C:\\elsewhere").size());
}

TEST_F(MessageBusLibTest, WithoutInstallFolderTheCommonProgramFilesFolderIsTried)
{
    WardlineTest::HubframeInstallKey key;
    {
        LogCapture log;
        EXPECT_EQ("Failed to load library", failure(environment({})));
        const auto error = log.exactly(L"Failed to retrieve Hubfrm path from registry");
        ASSERT_EQ(1u, error.size());
        EXPECT_EQ(4u, error[0].level);
        EXPECT_EQ(1u, log.exactly(L"Loading MesageBusLib by force from path: C:\\Program Files\\Common "
                                  L"Files\\Korvex\\Hubframe")
                          .size());
    }
    {
        LogCapture log;
        EXPECT_EQ("Failed to load library", failure(underWow64()));
        EXPECT_EQ(1u, log.exactly(L"Failed to retrieve Hubfrm WoW64 path from registry").size());
    }
    {
        // Not even that folder: an empty folder, which matches nothing, even
        // with the library planted in the current directory's root.
        auto shell = std::make_shared<PathsTest::MockShlObjAPI>();
        EXPECT_CALL(*shell, getKnownFolderPath(::testing::_, 0u, nullptr, ::testing::_))
            .WillOnce(::testing::Return(E_FAIL));
        MessageBusLib::Environment env = environment({});
        env.shell = shell;
        WardlineTest::CurrentDirectory current(folder_.path());
        LogCapture log;
        EXPECT_EQ("Failed to load library", failure(env));
        EXPECT_EQ(1u, log.exactly(L"Loading MesageBusLib by force from path: ").size());
        EXPECT_TRUE(loader_->events.empty());
    }
}

TEST(MessageBusLibDefaults, SignedCourierBesideTheExecutableIsLoadedWithoutTheRegistry)
{
    WardlineTest::HubframeInstallKey key;
    LogCapture log;
    {
        MessageBusLib bus(nullptr, nullptr);
        EXPECT_NE(0u, bus.subscribe(L"Loader.Test", nullptr));
    }
    std::wstring folder = WardlineTest::executableFolder();
    folder.pop_back();
    EXPECT_EQ(1u, log.exactly(L"Loading Courier.dll from " + folder + L".").size());
    EXPECT_TRUE(log.find(L"by force").empty());
    // The bus's threads hold the library until they have ended.
    EXPECT_TRUE(WardlineTest::waitUntil(
        [] { return !LoaderTest::isLoaded(WardlineTest::executableFolder() + L"Courier.dll"); }));
}

TEST(MessageBusLibDefaults, CourierPlantedInTheCurrentDirectoryIsNotLoaded)
{
    ScratchFolder planted(L"buslib-planted");
    ASSERT_TRUE(planted.copyFrom(LoaderTest::fixture(L"Courier.dll"), L"Courier.dll"));
    ASSERT_TRUE(planted.makeFolder(L"$(Hubframe.InstallDir)"));
    ASSERT_TRUE(
        planted.copyFrom(LoaderTest::fixture(L"Courier.dll"), L"$(Hubframe.InstallDir)\\Courier.dll"));
    WardlineTest::CurrentDirectory current(planted.path());
    WardlineTest::HubframeInstallKey key;

    MessageBusLib::Environment env = MessageBusLib::Environment::defaults();
    env.searchList = {L"$(Hubframe.InstallDir)"};
    EXPECT_THROW(MessageBusLib(nullptr, nullptr, env), ModuleException);
    EXPECT_FALSE(LoaderTest::isLoaded(planted / L"Courier.dll"));
}

TEST(MessageBusLibDefaults, UntrustedCourierIsRefusedAfterTheDocumentedLines)
{
    for (const wchar_t* variant : {L"Courier-unsigned.dll", L"Courier-tampered.dll"})
    {
        ScratchFolder host(L"buslib-untrusted");
        ASSERT_TRUE(host.copyFrom(LoaderTest::fixture(variant), L"Courier.dll"));
        MessageBusLib::Environment env = MessageBusLib::Environment::defaults();
        env.searchList = {host.path()};
        LogCapture log;
        EXPECT_THROW(MessageBusLib(nullptr, nullptr, env), ModuleException);
        const std::vector<std::wstring> errors = {
            L"LoadLibrary Failed. GLE: 5",
            L"Failed to load library. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650).",
            L"Failed to load library: Courier.dll.",
            L"Failed to load library: Courier.dll. Throwing ModuleException.",
        };
        std::vector<std::wstring> seen;
        for (const auto& line : log.lines())
        {
            if (line.level == 4)
            {
                seen.push_back(line.text);
            }
        }
        EXPECT_EQ(errors, seen);
        EXPECT_FALSE(LoaderTest::isLoaded(host / L"Courier.dll"));
    }
}
