// getInstance, the module's way to a settings client: whatever stops the
// client from being built ends in an empty pointer and one error line,
// never in an exception through NewModule.

#include "support/FailingAllocation.h"

#include "settings/SettingsManagerClient.h"
#include "support/LogCapture.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

using Norvan::SettingsManagerClient;
using WardlineTest::FailOneAllocation;
using WardlineTest::LogCapture;

namespace
{

void expectOneInstanceError(const LogCapture& log, const std::wstring& text)
{
    const auto lines = log.exactly(text);
    ASSERT_EQ(1u, lines.size()) << std::string(text.begin(), text.end());
    EXPECT_EQ(4u, lines[0].level);
    EXPECT_EQ(L"SettingsManagerClient", lines[0].file);
    EXPECT_EQ(L"Norvan::SettingsManagerClient::getInstance", lines[0].function);
}

} // namespace

// Neither beside this program nor in a Hubframe install folder is there a
// bus library: the client's own bus client cannot be built.
TEST(SettingsClientInstance, WithoutABusLibraryTheClientIsEmptyAndTheLoaderFailureLogged)
{
    WardlineTest::HubframeInstallKey noInstallFolder;
    LogCapture log;
    EXPECT_EQ(nullptr, SettingsManagerClient::getInstance());
    expectOneInstanceError(
        log,
        L"Failed to create settings manager client. Caught ModuleException - what: Failed to load library.");
}

TEST(SettingsClientInstance, AllocationFailureGivesAnEmptyClientAndItsLine)
{
    // The client object itself, then its implementation.
    for (long served : {0L, 1L})
    {
        LogCapture log;
        std::unique_ptr<SettingsManagerClient> client;
        {
            FailOneAllocation failing(served);
            client = SettingsManagerClient::getInstance();
        }
        EXPECT_EQ(nullptr, client) << served;
        expectOneInstanceError(
            log,
            L"Failed to create settings manager client. Caught bad_alloc - Failed to alllocate resources.");
    }
}
