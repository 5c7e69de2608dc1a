#pragma once

#include "protsvc/ServiceControl.h"

#include "wrappers/ComApartment.h"
#include "wrappers/UniqueResource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// For tests that reach the real protection-manager service: it runs in a
// process of its own, registered in the build's prefix by
// scripts/prefix.d/40-protsvc.sh. Its failure switch and record are shared
// by every client, so the tests that use it hold ctest's "protsvc" lock.
namespace ProtSvcTest
{

// Empty when the service is registered with an executable that exists;
// otherwise what is wrong, for the failure message.
inline std::string registrationProblem()
{
    const std::wstring key =
        L"Software\\Classes\\CLSID\\" + ProtSvc::guidText(ProtSvc::kBrokerClass) + L"\\LocalServer32";
    wchar_t command[MAX_PATH * 2] = {};
    DWORD size = sizeof(command);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, command, &size) !=
        ERROR_SUCCESS)
    {
        return "protsvc is not registered in this prefix: run scripts/wine-prefix.sh <build-dir>";
    }
    std::wstring path(command);
    if (path.size() > 1 && path.front() == L'"')
    {
        path = path.substr(1, path.find(L'"', 1) - 1);
    }
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        return "protsvc is registered with a missing executable: run scripts/wine-prefix.sh <build-dir>";
    }
    return std::string();
}

// Tells the service to fail one step for the scope's duration.
class ScopedFailure
{
public:
    ScopedFailure(ProtSvc::Step step, HRESULT result) { ProtSvc::writeFailure({step, result}); }
    ~ScopedFailure() { ProtSvc::writeFailure({}); }
    ScopedFailure(const ScopedFailure&) = delete;
    ScopedFailure& operator=(const ScopedFailure&) = delete;
};

// Tells the service to hang in one step until release() or the scope's end;
// the hanging call then goes on.
class ScopedHang
{
public:
    explicit ScopedHang(ProtSvc::Step step) { ProtSvc::writeHang(step); }
    ~ScopedHang() { release(); }
    ScopedHang(const ScopedHang&) = delete;
    ScopedHang& operator=(const ScopedHang&) = delete;
    void release() { ProtSvc::writeHang(ProtSvc::Step::None); }
};

// True once the service records that a call of the step hangs.
inline bool hangingIn(ProtSvc::Step step)
{
    const auto entries = ProtSvc::readRecord();
    return std::any_of(entries.begin(), entries.end(),
                       [step](const ProtSvc::Entry& entry) { return entry.hanging && entry.step == step; });
}

// For tests that call the service: COM in the multithreaded apartment, no
// step told to fail or to hang, and an empty record.
class ServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ("", registrationProblem());
        ASSERT_TRUE(com_.initialized()) << "CoInitializeEx: 0x" << std::hex << com_.result();
        ProtSvc::writeFailure({});
        ProtSvc::writeHang(ProtSvc::Step::None);
        ASSERT_EQ(ERROR_SUCCESS, ProtSvc::clearRecord());
    }

private:
    Norvan::ComApartment com_;
};

// The Windows form (Z:\...) of a path the build gave as a Unix path.
inline std::wstring windowsPath(const char* unixPath)
{
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p)
    {
        path.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
    return path;
}

struct ProcessRun
{
    DWORD processId = 0; // 0: the process did not start
    DWORD exitCode = ~0u;
};

// Runs a command line to its end (two minutes at most), its standard output
// and error going to `output` when one is given.
inline ProcessRun runProcess(std::wstring command, HANDLE output = nullptr)
{
    ProcessRun run;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (output != nullptr)
    {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, output != nullptr, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &process))
    {
        return run;
    }
    Norvan::unique_handle owned(process.hProcess);
    ::CloseHandle(process.hThread);
    run.processId = process.dwProcessId;
    ::WaitForSingleObject(process.hProcess, 120000);
    ::GetExitCodeProcess(process.hProcess, &run.exitCode);
    return run;
}

inline std::vector<ProtSvc::Entry> recorded(ProtSvc::Step step)
{
    std::vector<ProtSvc::Entry> entries;
    for (auto& entry : ProtSvc::readRecord())
    {
        if (entry.step == step)
        {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

inline std::vector<ProtSvc::Step> recordedSteps()
{
    std::vector<ProtSvc::Step> steps;
    for (const auto& entry : ProtSvc::readRecord())
    {
        steps.push_back(entry.step);
    }
    return steps;
}

} // namespace ProtSvcTest
