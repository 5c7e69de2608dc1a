// A module initialised with InitializeModule loads the host's bus library
// itself, and only with a trusted signature. Here the folder of hubhost.exe
// holds an unsigned or a tampered Courier.dll, while the host runs its own bus
// from a signed copy elsewhere: the module must refuse to initialise, and the
// host must go on with its script.

#include "HostSupport.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

std::wstring fromBuildPath(const char* unixPath)
{
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p)
    {
        path.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
    return path;
}

// Runs a program with its output going to a file; its output, or "" when it
// could not be started or did not end in time.
std::string run(const std::wstring& program, const std::wstring& arguments, const std::wstring& outputFile)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE output = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE)
    {
        return "";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    CloseHandle(output);
    if (!started)
    {
        return "";
    }
    const DWORD waited = WaitForSingleObject(process.hProcess, 120000);
    if (waited != WAIT_OBJECT_0)
    {
        TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (waited != WAIT_OBJECT_0)
    {
        return "";
    }
    std::string result;
    HANDLE file = CreateFileW(outputFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    char buffer[4096];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
    {
        for (DWORD i = 0; i < got; ++i)
        {
            if (buffer[i] != '\r')
            {
                result.push_back(buffer[i]);
            }
        }
    }
    if (file != INVALID_HANDLE_VALUE)
    {
        CloseHandle(file);
    }
    return result;
}

bool hasLine(const std::string& output, const std::string& line)
{
    return ("\n" + output).find("\n" + line + "\n") != std::string::npos;
}

} // namespace

TEST(UntrustedBusLibrary, ModuleRefusesToInitialiseAndTheHostGoesOn)
{
    const std::wstring fixtures = fromBuildPath(LOADER_FIXTURES_DIR);
    for (const wchar_t* variant : {L"Courier-unsigned.dll", L"Courier-tampered.dll"})
    {
        WardlineTest::ScratchFolder host(L"untrusted-bus");
        ASSERT_TRUE(host.copyFrom(fromBuildPath(HUBHOST_EXE), L"hubhost.exe"));
        ASSERT_TRUE(host.copyFrom(integration::besideThisExe(L"Wardline.dll"), L"Wardline.dll"));
        ASSERT_TRUE(host.copyFrom(fixtures + L"\\" + variant, L"Courier.dll"));
        ASSERT_TRUE(
            host.write(L"script.hub", "echo the host goes on\npublish source=Test Integration.Marker {}\n"));

        const std::string output =
            run(host / L"hubhost.exe",
                L"--init v1 --courier \"" + fixtures + L"\\Courier.dll\" \"" + (host / L"Wardline.dll") +
                    L"\" --script \"" + (host / L"script.hub") + L"\"",
                host / L"output.txt");
        const char* which = variant == std::wstring(L"Courier-unsigned.dll") ? "unsigned" : "tampered";
        EXPECT_TRUE(hasLine(
            output, "[module] Wardline InitializeModule -> 0x8000000F MODULE_STATUS_UNKNOWN_EXCEPTION"))
            << which << ":\n"
            << output;
        EXPECT_TRUE(hasLine(output, "[echo] the host goes on")) << which;
        EXPECT_NE(std::string::npos, output.find("[publish] Integration.Marker -> ")) << which;
        EXPECT_TRUE(hasLine(output, "[hubhost] exit 1: 1 failure(s)")) << which << ":\n" << output;
    }
}
