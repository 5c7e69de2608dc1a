// The firewall alert through hubhost.exe, as a person runs it: its settings
// manager, the real Courier.dll and Wardline.dll, and the protection-manager
// service in a process of its own. The script checks the bus and the
// setting; this test checks hubhost's verdict and the service's record.
// Switched on with the loader that lets the module's settings client reach
// Courier.dll on its own.

#include "ServiceTestSupport.h"

#include "wrappers/UniqueResource.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace
{

struct HubhostRun
{
    DWORD processId = 0;
    std::string output;
};

// Runs hubhost with Wardline.dll and the script, its output going to a file.
HubhostRun runHubhost(const char* script)
{
    using ProtSvcTest::windowsPath;
    wchar_t folder[MAX_PATH] = {};
    wchar_t outputPath[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    ::GetTempFileNameW(folder, L"hub", 0, outputPath);
    HubhostRun run;
    {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        Norvan::unique_hfile output(::CreateFileW(outputPath, GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        const std::wstring command = L"\"" + windowsPath(HUBHOST_EXE) + L"\" --settings-in-memory \"" +
                                     windowsPath(WARDLINE_DLL) + L"\" --script \"" + windowsPath(script) +
                                     L"\"";
        run.processId = ProtSvcTest::runProcess(command, output.get()).processId;
    }
    std::ifstream file(outputPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    run.output = text.str();
    file.close();
    ::DeleteFileW(outputPath);
    return run;
}

TEST(FirewallThroughHubhost, DISABLED_TheStoryHoldsAndTheServiceIgnoredTheAlertOnceInItsOwnProcess)
{
    ASSERT_EQ("", ProtSvcTest::registrationProblem());
    ProtSvc::writeFailure({});
    ProtSvc::clearRecord();

    const HubhostRun run = runHubhost(FIREWALL_HUB);
    ASSERT_NE(0u, run.processId) << "hubhost.exe did not start";
    EXPECT_NE(std::string::npos, run.output.find("[hubhost] exit 0: all went well")) << run.output;

    const auto taken = ProtSvcTest::recorded(ProtSvc::Step::TakeAlertAction);
    ASSERT_EQ(1u, taken.size()) << "only the request made while red reaches the service";
    EXPECT_EQ(L"0F167695-3F7C-421c-89E8-40544CE9D1A1_512", taken[0].subject);
    EXPECT_EQ(2, taken[0].action);
    EXPECT_NE(run.processId, taken[0].processId);
    EXPECT_NE(::GetCurrentProcessId(), taken[0].processId);
}

} // namespace
