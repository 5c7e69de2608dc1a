#pragma once

// Folders, files and hubhost runs for the settings service's tests. Each test
// works in a folder of its own, removed at the end.

#include <windows.h>

#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace SettingsServiceTest
{

inline std::wstring besideThisExe(const std::wstring& name)
{
    return WardlineTest::executableFolder() + name;
}

// A folder of its own for one test, removed with everything in it.
class ScratchFolder
{
public:
    ScratchFolder()
        : folder_(L"settings-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++count_))
    {
    }
    std::wstring file(const std::wstring& name) const { return folder_ / name; }
    bool write(const std::wstring& name, const std::string& bytes) const
    {
        return folder_.write(name, bytes);
    }
    // Names of the files in the folder, sorted.
    std::vector<std::wstring> names() const
    {
        std::vector<std::wstring> found;
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW(file(L"*").c_str(), &data);
        if (search == INVALID_HANDLE_VALUE)
        {
            return found;
        }
        do
        {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..")
            {
                found.push_back(name);
            }
        } while (FindNextFileW(search, &data));
        FindClose(search);
        std::sort(found.begin(), found.end());
        return found;
    }

private:
    static inline unsigned count_ = 0;
    WardlineTest::ScratchFolder folder_;
};

inline std::string readBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return bytes;
    }
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    return bytes;
}

// A settings file as the store writes it: byte order mark and UTF-16 text.
inline std::string utf16File(const std::wstring& text)
{
    const std::wstring withMark = L"\xFEFF" + text;
    return std::string(reinterpret_cast<const char*>(withMark.data()), withMark.size() * sizeof(wchar_t));
}

// What one run of hubhost.exe printed and how it ended.
struct HostRun
{
    DWORD exitCode = 0;
    std::string output;
    bool contains(const std::string& text) const { return output.find(text) != std::string::npos; }
};

// Runs hubhost.exe (copied beside this executable with Courier.dll and the
// fake module) on a script, with the arguments and one environment variable.
inline HostRun runHubhost(const ScratchFolder& folder, const std::wstring& arguments,
                          const std::string& script, const wchar_t* variable = nullptr,
                          const wchar_t* value = nullptr)
{
    HostRun run;
    const std::wstring scriptPath = folder.file(L"script.hub");
    const std::wstring outputPath = folder.file(L"output.txt");
    if (!folder.write(L"script.hub", script))
    {
        ADD_FAILURE() << "the script cannot be written";
        return run;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE output =
        CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
    std::wstring command = L"\"" + besideThisExe(L"hubhost.exe") + L"\" \"" +
                           besideThisExe(L"FakeModule.dll") + L"\" --no-tap " + arguments + L" --script \"" +
                           scriptPath + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process{};
    if (variable != nullptr)
    {
        SetEnvironmentVariableW(variable, value);
    }
    const BOOL started =
        CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    if (variable != nullptr)
    {
        SetEnvironmentVariableW(variable, nullptr);
    }
    CloseHandle(output);
    CloseHandle(input);
    if (!started)
    {
        ADD_FAILURE() << "hubhost.exe did not start: error " << GetLastError();
        return run;
    }
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0)
    {
        ADD_FAILURE() << "hubhost.exe did not end within two minutes";
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 10000);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (const char c : readBytes(outputPath))
    {
        if (c != '\r')
        {
            run.output += c;
        }
    }
    return run;
}

} // namespace SettingsServiceTest
