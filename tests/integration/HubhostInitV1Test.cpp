// A module initialised with InitializeModule loads the host's bus library
// itself, only with a trusted signature, and hubhost shows what it decided.
// Each case runs hubhost.exe from a folder of its own that holds Wardline.dll
// and one Courier.dll.

#include "HostSupport.h"
#include "support/BuildPath.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace
{

using WardlineTest::fromBuildPath;

std::string readAll(const std::wstring& path)
{
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    char buffer[4096];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
    {
        for (DWORD i = 0; i < got; ++i)
        {
            if (buffer[i] != '\r')
            {
                text.push_back(buffer[i]);
            }
        }
    }
    if (file != INVALID_HANDLE_VALUE)
    {
        CloseHandle(file);
    }
    return text;
}

// Runs a program with its output going to a file; its output, or a line
// that says why there is none.
std::string run(const std::wstring& program, const std::wstring& arguments, const std::wstring& outputFile)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE output = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE)
    {
        return "(no output file: error " + std::to_string(GetLastError()) + ")";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    const DWORD startError = GetLastError();
    CloseHandle(output);
    if (!started)
    {
        return "(not started: error " + std::to_string(startError) + ")";
    }
    const DWORD waited = WaitForSingleObject(process.hProcess, 120000);
    if (waited != WAIT_OBJECT_0)
    {
        TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return waited == WAIT_OBJECT_0 ? readAll(outputFile) : "(did not end in time)";
}

// Where each line stands in the output; npos for a line that is not there.
std::size_t lineAt(const std::string& output, const std::string& line)
{
    const std::size_t at = ("\n" + output).find("\n" + line + "\n");
    return at;
}

// The module's severity for this test's run: what it logs at level 1 (the
// library it loaded, and from where) reaches hubhost too. Every key it had
// to create is removed again, deepest first.
class ModuleSeverity
{
public:
    explicit ModuleSeverity(DWORD severity)
    {
        for (const wchar_t* path : kPaths)
        {
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                &disposition) != ERROR_SUCCESS)
            {
                return;
            }
            if (disposition == REG_CREATED_NEW_KEY)
            {
                created_.push_back(path);
            }
            if (path == kPaths[2])
            {
                set_ =
                    RegSetValueExW(key, L"Severity", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&severity),
                                   sizeof(severity)) == ERROR_SUCCESS;
            }
            RegCloseKey(key);
        }
    }
    ~ModuleSeverity()
    {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPaths[2], L"Severity");
        for (auto it = created_.rbegin(); it != created_.rend(); ++it)
        {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, *it);
        }
    }
    ModuleSeverity(const ModuleSeverity&) = delete;
    ModuleSeverity& operator=(const ModuleSeverity&) = delete;

    bool set() const { return set_; }

private:
    static constexpr const wchar_t* kPaths[3] = {L"SOFTWARE\\Korvex\\Logging",
                                                 L"SOFTWARE\\Korvex\\Logging\\Provider",
                                                 L"SOFTWARE\\Korvex\\Logging\\Provider\\Wardline"};
    std::vector<const wchar_t*> created_;
    bool set_ = false;
};

class HubhostInitV1 : public ::testing::Test
{
protected:
    HubhostInitV1() : fixtures_(fromBuildPath(LOADER_FIXTURES_DIR)) {}

    // hubhost's output, with `courier` as the Courier.dll beside it and the
    // host's own bus from `hostCourier` (default: the one beside it). Each
    // run has a folder of its own, in this process and the test runs before
    // it: Wine lets go of a finished process's files a moment after the
    // process has ended.
    std::string runWith(const wchar_t* courier, const std::wstring& hostCourier = L"")
    {
        static int runs = 0;
        folders_.emplace_back(new WardlineTest::ScratchFolder(
            L"hubhost-init-v1-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(runs++)));
        const WardlineTest::ScratchFolder& folder = *folders_.back();
        EXPECT_TRUE(folder.copyFrom(fromBuildPath(HUBHOST_EXE), L"hubhost.exe"));
        EXPECT_TRUE(folder.copyFrom(integration::besideThisExe(L"Wardline.dll"), L"Wardline.dll"));
        EXPECT_TRUE(folder.copyFrom(fixtures_ + L"\\" + courier, L"Courier.dll"));
        EXPECT_TRUE(folder.write(L"script.hub",
                                 "echo the host goes on\npublish source=Test Integration.Marker {}\n"));
        const std::wstring courierOption = hostCourier.empty() ? L"" : L"--courier \"" + hostCourier + L"\" ";
        return run(folder / L"hubhost.exe",
                   L"--init v1 " + courierOption + L"\"" + (folder / L"Wardline.dll") + L"\" --script \"" +
                       (folder / L"script.hub") + L"\"",
                   folder / L"output.txt");
    }

    std::string lastFolder() const
    {
        std::string narrow;
        for (wchar_t c : folders_.back()->path())
        {
            narrow.push_back(static_cast<char>(c));
        }
        return narrow;
    }

    std::wstring fixtures_;
    std::vector<std::unique_ptr<WardlineTest::ScratchFolder>> folders_;
};

} // namespace

TEST_F(HubhostInitV1, UntrustedBusLibraryIsRefusedAndTheHostGoesOn)
{
    for (const wchar_t* variant : {L"Courier-unsigned.dll", L"Courier-tampered.dll"})
    {
        // The host's own bus is a signed copy elsewhere; the module finds the
        // one beside the host.
        const std::string output = runWith(variant, fixtures_ + L"\\Courier.dll");
        const std::size_t refused =
            lineAt(output, "[loader] Wardline: refused Courier.dll: not trusted (Windows error 5)");
        const std::size_t failed = lineAt(
            output, "[module] Wardline InitializeModule -> 0x8000000F MODULE_STATUS_UNKNOWN_EXCEPTION");
        EXPECT_NE(std::string::npos, refused) << output;
        EXPECT_NE(std::string::npos, failed) << output;
        EXPECT_LT(refused, failed);
        EXPECT_NE(std::string::npos, lineAt(output, "[echo] the host goes on"));
        EXPECT_NE(std::string::npos, output.find("[publish] Integration.Marker -> "));
        EXPECT_NE(std::string::npos, lineAt(output, "[hubhost] exit 1: 1 failure(s)")) << output;
        EXPECT_EQ(std::string::npos, output.find("[loader] Wardline: loaded")) << output;
    }
}

TEST_F(HubhostInitV1, LoadedBusLibraryAndItsFolderAreShown)
{
    ModuleSeverity everything(1);
    ASSERT_TRUE(everything.set());
    const std::string output = runWith(L"Courier.dll");
    const std::size_t loaded = lineAt(output, "[loader] Wardline: loaded Courier.dll from " + lastFolder());
    const std::size_t initialised =
        lineAt(output, "[module] Wardline InitializeModule -> 0x00000000 MODULE_STATUS_SUCCESS");
    EXPECT_NE(std::string::npos, loaded) << output;
    EXPECT_NE(std::string::npos, initialised) << output;
    EXPECT_LT(loaded, initialised);
    EXPECT_NE(std::string::npos, lineAt(output, "[hubhost] exit 0: all went well")) << output;
}
