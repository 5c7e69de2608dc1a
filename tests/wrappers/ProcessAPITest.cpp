// The process wrapper against the real system: each operation must reach
// the function of its name with the arguments in place, which a mock-based
// test of its users cannot show.

#include "wrappers/ProcessAPI.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct ChildProcess
{
    PROCESS_INFORMATION info{};
    ~ChildProcess()
    {
        if (info.hThread)
        {
            ::CloseHandle(info.hThread);
        }
        if (info.hProcess)
        {
            ::CloseHandle(info.hProcess);
        }
    }
};

std::wstring systemCmd()
{
    wchar_t folder[MAX_PATH] = {};
    ::GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\cmd.exe";
}

} // namespace

TEST(ProcessAPI, NamesFindsAndOpensTheCurrentProcess)
{
    Norvan::ProcessAPI api;
    const DWORD self = api.GetCurrentProcessId();
    EXPECT_EQ(::GetCurrentProcessId(), self);
    EXPECT_EQ(self, api.GetProcessId(api.GetCurrentProcess()));
    DWORD session = 0xFFFFFFFF;
    EXPECT_TRUE(api.ProcessIdToSessionId(self, &session));
    EXPECT_NE(0xFFFFFFFFu, session);
    api.WTSGetActiveConsoleSessionId();

    HANDLE opened = api.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, self);
    ASSERT_NE(nullptr, opened);
    DWORD exitCode = 0;
    EXPECT_TRUE(api.GetExitCodeProcess(opened, &exitCode));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), exitCode);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), api.WaitForSingleObject(opened, 0));
    EXPECT_TRUE(api.CloseHandle(opened));

    ::SetLastError(ERROR_INVALID_HANDLE);
    EXPECT_FALSE(api.CloseHandle(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), api.GetLastError());
    EXPECT_EQ(nullptr, api.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0xFFFFFFF0));
}

TEST(ProcessAPI, SnapshotListsTheCurrentProcess)
{
    Norvan::ProcessAPI api;
    HANDLE snapshot = api.CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, snapshot);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool found = false;
    for (BOOL more = api.Process32FirstW(snapshot, &entry); more; more = api.Process32NextW(snapshot, &entry))
    {
        found = found || entry.th32ProcessID == api.GetCurrentProcessId();
    }
    EXPECT_TRUE(found);
    api.CloseHandle(snapshot);
}

TEST(ProcessAPI, TokenPrivilegesAreLookedUpAndAdjusted)
{
    Norvan::ProcessAPI api;
    HANDLE token = nullptr;
    ASSERT_TRUE(api.OpenProcessToken(api.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    ASSERT_TRUE(api.LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid));
    EXPECT_FALSE(api.LookupPrivilegeValueW(nullptr, L"SeNoSuchPrivilege", &privileges.Privileges[0].Luid));
    privileges.Privileges[0].Attributes = 0; // disabled: leaves nothing changed behind
    EXPECT_TRUE(api.AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    api.CloseHandle(token);
}

TEST(ProcessAPI, ProcessesStartedWithTheTokenRunAndCanBeEnded)
{
    Norvan::ProcessAPI api;
    HANDLE token = nullptr;
    ASSERT_TRUE(api.OpenProcessToken(api.GetCurrentProcess(), TOKEN_ALL_ACCESS, &token));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);

    // The short form: the program comes from the command line.
    {
        std::wstring command = L"\"" + systemCmd() + L"\" /c exit 7";
        ChildProcess child;
        ASSERT_TRUE(api.CreateProcessAsUserW(token, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                             nullptr, &startup, &child.info));
        EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), api.WaitForSingleObject(child.info.hProcess, 30000));
        DWORD exitCode = 0;
        EXPECT_TRUE(api.GetExitCodeProcess(child.info.hProcess, &exitCode));
        EXPECT_EQ(7u, exitCode);
    }
    // The full form, with the program named apart and a current directory;
    // ended before it finishes.
    {
        const std::wstring program = systemCmd();
        std::wstring command = L"cmd /c pause";
        wchar_t folder[MAX_PATH] = {};
        ::GetSystemDirectoryW(folder, MAX_PATH);
        ChildProcess child;
        ASSERT_TRUE(api.CreateProcessAsUserW(token, program.c_str(), &command[0], nullptr, nullptr, FALSE,
                                             CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, folder, &startup,
                                             &child.info));
        EXPECT_EQ(child.info.dwProcessId, api.GetProcessId(child.info.hProcess));
        EXPECT_TRUE(api.TerminateProcess(child.info.hProcess, 3));
        EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), api.WaitForSingleObject(child.info.hProcess, 30000));
        DWORD exitCode = 0;
        EXPECT_TRUE(api.GetExitCodeProcess(child.info.hProcess, &exitCode));
        EXPECT_EQ(3u, exitCode);
    }
    api.CloseHandle(token);
}
