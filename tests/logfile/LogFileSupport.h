#pragma once

// The real program-data folder of the test prefix, as the writer uses it.
// Each test writes below "Korvex\KVLOGS\<its own application name>" and
// removes that folder before and after; the global "log.ini" of the root,
// shared by every set, is put back as it was.

#include <windows.h>
#include <shlobj.h>

#include "Logging/FileLogging.h"
#include "Logging/LogFileFormat.h"
#include "Logging/LogManager.h"
#include "support/ChildProcess.h"
#include "wrappers/PathAPI.h"
#include "wrappers/UniqueResource.h"

#include <memory>
#include <string>
#include <vector>

namespace LogFileTest
{

inline std::wstring LogRoot()
{
    PWSTR path = nullptr;
    ::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &path);
    Norvan::unique_cotaskmem_string owner(path);
    return std::wstring(path != nullptr ? path : L"") + L"\\Korvex\\KVLOGS\\";
}

inline std::wstring ExecutableBaseName()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    name = name.substr(name.rfind(L'\\') + 1);
    return name.substr(0, name.rfind(L'.'));
}

inline std::vector<BYTE> ReadBytes(const std::wstring& path)
{
    std::vector<BYTE> bytes;
    Norvan::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    if (!file)
    {
        return bytes;
    }
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.get(), &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty() &&
        !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr))
    {
        got = 0;
    }
    bytes.resize(got);
    return bytes;
}

// A log file's text after its byte-order mark; "<no mark>" when it has none.
inline std::wstring ReadLogText(const std::wstring& path)
{
    const std::vector<BYTE> bytes = ReadBytes(path);
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE)
    {
        return L"<no mark>";
    }
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

inline bool WriteBytes(const std::wstring& path, const std::string& content)
{
    Norvan::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           ::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size();
}

// For failure messages.
inline std::string Narrow(const std::wstring& text)
{
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                             0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
    {
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], length,
                              nullptr, nullptr);
    }
    return narrow;
}

inline bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A path of the build tree (as CMake wrote it) seen from Wine: drive Z:.
inline std::wstring FromBuildPath(const char* unixPath)
{
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p != '\0'; ++p)
    {
        path.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
    return path;
}

using WardlineTest::ChildProcess;

#ifdef LOGFILE_CHILD_EXE
// The test's second program (child/LogWriterChild.cpp), its output in a
// temporary file of its own.
inline std::unique_ptr<ChildProcess> StartChild(const std::wstring& arguments, const std::wstring& tag)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    return std::make_unique<ChildProcess>(L"\"" + FromBuildPath(LOGFILE_CHILD_EXE) + L"\" " + arguments,
                                          temp + (L"wardline-logfile-child-" + tag) + L".txt");
}
#endif

// Writers in one or several processes (it is named) meet here before their
// last lines: none goes on before whoever started them saw all arrive.
struct WriterBarrier
{
    static constexpr DWORD kPatienceMs = 10 * 60 * 1000;
    explicit WriterBarrier(const std::wstring& name)
        : arrived(::CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, (name + L".arrived").c_str())),
          go(::CreateEventW(nullptr, TRUE, FALSE, (name + L".go").c_str()))
    {
    }
    bool ArriveAndWait()
    {
        return ::ReleaseSemaphore(arrived.get(), 1, nullptr) &&
               ::WaitForSingleObject(go.get(), kPatienceMs) == 0;
    }
    bool ReleaseWhenArrived(int writers)
    {
        while (writers > 0 && ::WaitForSingleObject(arrived.get(), kPatienceMs) == WAIT_OBJECT_0)
        {
            --writers;
        }
        return writers == 0 && ::SetEvent(go.get());
    }
    Norvan::unique_handle arrived;
    Norvan::unique_handle go;
};

// "<root>\<application>", removed before and after the test; the global
// "log.ini" is saved and restored (removed when there was none).
class AppLogFolder
{
public:
    explicit AppLogFolder(const std::wstring& application)
        : application_(application), root_(LogRoot()), globalIni_(root_ + L"log.ini")
    {
        hadGlobalIni_ = FileExists(globalIni_);
        savedGlobalIni_ = ReadBytes(globalIni_);
        Norvan::PathAPI().removeDirectory(root_ + application_);
    }
    ~AppLogFolder()
    {
        Norvan::PathAPI().removeDirectory(root_ + application_);
        ::SetFileAttributesW(globalIni_.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (hadGlobalIni_)
        {
            WriteBytes(globalIni_, std::string(savedGlobalIni_.begin(), savedGlobalIni_.end()));
        }
        else
        {
            ::DeleteFileW(globalIni_.c_str());
        }
    }
    AppLogFolder(const AppLogFolder&) = delete;
    AppLogFolder& operator=(const AppLogFolder&) = delete;

    const std::wstring& Application() const { return application_; }
    const std::wstring& Root() const { return root_; }
    const std::wstring& GlobalIni() const { return globalIni_; }
    // The set's folder for a writer in a module of that base name (this
    // executable's by default).
    std::wstring Folder(const std::wstring& base = ExecutableBaseName()) const
    {
        return root_ + application_ + L"\\" + base;
    }
    std::wstring Ini(const std::wstring& base = ExecutableBaseName()) const
    {
        return Folder(base) + L"\\log.ini";
    }
    std::wstring File(DWORD index) const
    {
        return ETWLogging::LogFilePath(Folder(), ExecutableBaseName(), L"", index);
    }

    // Creates the set's folder and writes its "log.ini" (ANSI text).
    bool WriteIni(const std::string& text, const std::wstring& base = ExecutableBaseName()) const
    {
        DWORD ignored = 0;
        return Norvan::PathAPI().createDirectory(Folder(base).c_str(), ignored) &&
               WriteBytes(Ini(base), text);
    }

private:
    std::wstring application_;
    std::wstring root_;
    std::wstring globalIni_;
    bool hadGlobalIni_ = false;
    std::vector<BYTE> savedGlobalIni_;
};

// Puts a writer in the process's log manager for a scope, so that the
// module's WriteLog reaches it; the previous implementation comes back after.
class InstalledWriter
{
public:
    explicit InstalledWriter(ETWLogging::CLogging* writer)
        : previous_(ETWLogging::CLogManager::ReplaceImplementationForTest(writer))
    {
    }
    ~InstalledWriter() { delete ETWLogging::CLogManager::ReplaceImplementationForTest(previous_); }
    InstalledWriter(const InstalledWriter&) = delete;
    InstalledWriter& operator=(const InstalledWriter&) = delete;

private:
    ETWLogging::CLoggingIf* previous_;
};

} // namespace LogFileTest
