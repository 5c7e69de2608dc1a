// hubhost.exe as a person runs it, several times on one settings file: what
// a run stored is there in the next, what it kept volatile is not, and a host
// that dies in the middle of a write loses nothing that was confirmed.

#include "SettingsTestSupport.h"

using namespace SettingsServiceTest;

namespace
{

std::wstring settingsOption(const ScratchFolder& folder)
{
    return L"--settings \"" + folder.file(L"settings.json") + L"\"";
}

} // namespace

TEST(HubhostSettings, StoredValueOutlivesTheHostVolatileOneDoesNot)
{
    ScratchFolder folder;
    const HostRun first = runHubhost(
        folder, settingsOption(folder),
        "request SETTINGS_MANAGER_SET_PROPERTY {\"name\":\"Core.Protection.IgnoreFirewall\","
        "\"value\":\"{\\\"ignore_firewall\\\":true}\",\"volatile\":false}\n"
        "expect-reply {\"name\":\"Core.Protection.IgnoreFirewall\",\"status\":true}\n"
        "request SETTINGS_MANAGER_SET_PROPERTY {\"name\":\"Session\",\"value\":\"1\",\"volatile\":true}\n"
        "expect-reply {\"name\":\"Session\",\"status\":true}\n"
        "setting-get state=volatile Session 1\n");
    EXPECT_TRUE(first.contains("[hubhost] exit 0:")) << first.output;

    const HostRun second =
        runHubhost(folder, settingsOption(folder),
                   "setting-get state=stored Core.Protection.IgnoreFirewall {\"ignore_firewall\":true}\n"
                   "setting-get state=missing Session\n"
                   "request SETTINGS_MANAGER_GET_PROPERTY {\"name\":\"Core.Protection.IgnoreFirewall\"}\n"
                   "expect-reply {\"name\":\"Core.Protection.IgnoreFirewall\",\"status\":true,"
                   "\"value\":\"{\\\"ignore_firewall\\\":true}\"}\n");
    EXPECT_TRUE(second.contains("[settings] loaded 1 setting(s) from")) << second.output;
    EXPECT_TRUE(second.contains("[hubhost] exit 0:")) << second.output;
    EXPECT_EQ(0u, second.exitCode);
}

TEST(HubhostSettings, CrashInTheMiddleOfAWriteLosesNothing)
{
    for (const wchar_t* fault : {L"torn-write", L"before-commit"})
    {
        ScratchFolder folder;
        const HostRun before =
            runHubhost(folder, settingsOption(folder), "setting-set A old\nsetting-set B kept\n");
        ASSERT_TRUE(before.contains("[hubhost] exit 0:")) << before.output;

        const HostRun crashed =
            runHubhost(folder, settingsOption(folder),
                       "request SETTINGS_MANAGER_SET_PROPERTY {\"name\":\"A\",\"value\":\"new\"}\n"
                       "echo the host should be gone by now\n",
                       L"HUBHOST_SETTINGS_FAULT", fault);
        EXPECT_TRUE(crashed.contains("[hubhost] exit 3: crashed")) << crashed.output;
        EXPECT_FALSE(crashed.contains("[reply] #1 SETTINGS_MANAGER_SET_PROPERTY -> 0x00000000"))
            << "the write was confirmed: " << crashed.output;
        EXPECT_EQ(3u, crashed.exitCode);

        const HostRun after = runHubhost(folder, settingsOption(folder),
                                         "setting-get state=stored A old\nsetting-get state=stored B kept\n");
        EXPECT_TRUE(after.contains("left by a write that did not finish")) << after.output;
        EXPECT_TRUE(after.contains("[hubhost] exit 0:")) << after.output;
    }
}

TEST(HubhostSettings, SecondHostOnTheSameFileStopsWithAReason)
{
    ScratchFolder folder;
    const std::wstring file = folder.file(L"settings.json");
    HANDLE held = CreateFileW((file + L".lock").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const HostRun refused = runHubhost(folder, settingsOption(folder), "echo never runs\n");
    CloseHandle(held);
    EXPECT_TRUE(refused.contains("is in use by another host")) << refused.output;
    EXPECT_TRUE(refused.contains("[hubhost] exit 2: the settings service cannot start")) << refused.output;
    EXPECT_FALSE(refused.contains("never runs"));
}
