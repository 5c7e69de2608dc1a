#pragma once

// Folders, files and hubhost runs for the settings service's tests. Each test
// works in a folder of its own beside the test executable, removed at the end.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace SettingsServiceTest
{

inline std::wstring besideThisExe(const std::wstring& name)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

// A fresh folder for one test; everything in it goes with it.
class ScratchFolder
{
public:
    ScratchFolder()
    {
        static unsigned counter = 0;
        path_ = besideThisExe(L"settings-scratch-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++counter));
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { removeTree(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }
    // Names of the files in the folder, sorted.
    std::vector<std::wstring> names() const
    {
        std::vector<std::wstring> found;
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &data);
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
    static void removeTree(const std::wstring& folder)
    {
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &data);
        if (search != INVALID_HANDLE_VALUE)
        {
            do
            {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..")
                {
                    continue;
                }
                const std::wstring path = folder + L"\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                {
                    removeTree(path);
                }
                else
                {
                    DeleteFileW(path.c_str());
                }
            } while (FindNextFileW(search, &data));
            FindClose(search);
        }
        RemoveDirectoryW(folder.c_str());
    }

    std::wstring path_;
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

inline void writeBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
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
    writeBytes(scriptPath, script);
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
