#pragma once

#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

#include "wrappers/UniqueResource.h"

namespace WardlineTest
{

// A program started with its output (standard output and error) in a file of
// the test's own; Wait gives its exit code, Output what it printed. One still
// running at the end is ended.
class ChildProcess
{
public:
    ChildProcess(const std::wstring& commandLine, const std::wstring& outputFile) : outputFile_(outputFile)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        output_.reset(::CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output_.get();
        startup.hStdError = output_.get();
        std::wstring command = commandLine;
        PROCESS_INFORMATION info{};
        if (output_ && ::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &info))
        {
            process_.reset(info.hProcess);
            ::CloseHandle(info.hThread);
        }
    }
    ~ChildProcess()
    {
        if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
        {
            ::TerminateProcess(process_.get(), 1);
            ::WaitForSingleObject(process_.get(), 60 * 1000);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Started() const { return static_cast<bool>(process_); }
    // The exit code, or WAIT_TIMEOUT when it did not end in time.
    DWORD Wait(DWORD timeoutMs)
    {
        if (!process_ || ::WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0)
        {
            return WAIT_TIMEOUT;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process_.get(), &code);
        output_.reset();
        return code;
    }
    // What it printed so far, as bytes.
    std::string Output() const
    {
        std::ifstream file(outputFile_.c_str(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

private:
    std::wstring outputFile_;
    Norvan::unique_hfile output_;
    Norvan::unique_handle process_;
};

} // namespace WardlineTest
