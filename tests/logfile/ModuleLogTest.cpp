#include <gtest/gtest.h>

#include "LogFileSupport.h"

#include <cstdint>

using LogFileTest::ReadLogText;

namespace
{

// HKLM "SOFTWARE\Korvex\Logging" "Logging Mechanism", put back as it was.
class LoggingMechanism
{
public:
    LoggingMechanism()
    {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvex\\Logging", 0, nullptr, 0,
                          KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key_.put(), nullptr);
        DWORD size = sizeof(saved_);
        had_ = ::RegQueryValueExW(key_.get(), kValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&saved_),
                                  &size) == ERROR_SUCCESS;
    }
    ~LoggingMechanism()
    {
        if (had_)
        {
            Set(saved_);
        }
        else
        {
            Remove();
        }
    }
    LoggingMechanism(const LoggingMechanism&) = delete;
    LoggingMechanism& operator=(const LoggingMechanism&) = delete;

    bool Set(DWORD value)
    {
        return ::RegSetValueExW(key_.get(), kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                sizeof(value)) == ERROR_SUCCESS;
    }
    void Remove() { ::RegDeleteValueW(key_.get(), kValue); }

private:
    static constexpr const wchar_t* kValue = L"Logging Mechanism";
    Norvan::unique_hkey key_;
    bool had_ = false;
    DWORD saved_ = 0;
};

// The module's own log folder, "Wardline\Wardline" (its application name and
// its file name); whatever was there is moved aside and comes back after.
class ModuleLogFolder
{
public:
    ModuleLogFolder()
        : folder_(LogFileTest::LogRoot() + L"Wardline\\Wardline"), aside_(folder_ + L".test-aside")
    {
        Norvan::PathAPI().removeDirectory(aside_);
        moved_ = ::MoveFileW(folder_.c_str(), aside_.c_str()) != FALSE;
    }
    ~ModuleLogFolder()
    {
        Norvan::PathAPI().removeDirectory(folder_);
        if (moved_)
        {
            ::MoveFileW(aside_.c_str(), folder_.c_str());
        }
    }
    ModuleLogFolder(const ModuleLogFolder&) = delete;
    ModuleLogFolder& operator=(const ModuleLogFolder&) = delete;

    const std::wstring& Path() const { return folder_; }
    std::wstring File() const { return folder_ + L"\\Wardline000.log"; }

private:
    std::wstring folder_;
    std::wstring aside_;
    bool moved_ = false;
};

std::wstring BesideThisExe(const wchar_t* name)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.rfind(L'\\') + 1) + name;
}

using NewModuleFn = std::uint32_t (*)(void** handleAddress, const wchar_t* applicationName);

// Loads the module as a host does, makes one refused call (an entry-point
// error it logs), and unloads it. The status of the refused call.
std::uint32_t LoadCallAndUnload()
{
    HMODULE module = ::LoadLibraryW(BesideThisExe(L"Wardline.dll").c_str());
    EXPECT_NE(nullptr, module) << ::GetLastError();
    if (module == nullptr)
    {
        return 0;
    }
    auto create = reinterpret_cast<const void* (*)()>(
        reinterpret_cast<void*>(::GetProcAddress(module, "CreateObject")));
    std::uint32_t status = 0;
    if (create != nullptr)
    {
        // The table's first function is NewModule.
        const NewModuleFn newModule = *static_cast<const NewModuleFn*>(create());
        status = newModule(nullptr, L"host");
    }
    ::FreeLibrary(module);
    return status;
}

// File logging on, with the severity that level 1 lines ("DLL loaded") need.
bool LogToFilesFromLevelOne(LoggingMechanism& mechanism, const ModuleLogFolder& folder)
{
    DWORD ignored = 0;
    return mechanism.Set(1) && Norvan::PathAPI().createDirectory(folder.Path().c_str(), ignored) &&
           LogFileTest::WriteBytes(folder.Path() + L"\\log.ini", "[Config]\r\nSeverity=1\r\n");
}

} // namespace

TEST(ModuleLog, FileMechanismWritesTheModulesOwnLines)
{
    LoggingMechanism mechanism;
    ModuleLogFolder folder;
    ASSERT_TRUE(LogToFilesFromLevelOne(mechanism, folder));

    EXPECT_EQ(0x80000008u, LoadCallAndUnload());

    const std::wstring text = ReadLogText(folder.File());
    const size_t loaded = text.find(L"$ -- (Normal)$ DLL loaded\r\n");
    const size_t refused = text.find(L"$ -- (Error)$ Invalid handle address.\r\n");
    const size_t unloaded = text.find(L"$ -- (Normal)$ DLL unloaded\r\n");
    EXPECT_NE(std::wstring::npos, loaded) << LogFileTest::Narrow(text);
    EXPECT_NE(std::wstring::npos, refused) << LogFileTest::Narrow(text);
    EXPECT_NE(std::wstring::npos, unloaded) << LogFileTest::Narrow(text);
    EXPECT_TRUE(loaded < refused && refused < unloaded) << LogFileTest::Narrow(text);
}

TEST(ModuleLog, WithoutMechanismOneNoFileAppears)
{
    LoggingMechanism mechanism;
    ModuleLogFolder folder;
    for (const bool present : {false, true})
    {
        if (present)
        {
            ASSERT_TRUE(mechanism.Set(2));
        }
        else
        {
            mechanism.Remove();
        }
        EXPECT_EQ(0x80000008u, LoadCallAndUnload());
        EXPECT_FALSE(LogFileTest::FileExists(folder.Path())) << present;
    }
}

// The entry point waits for nothing: not for a set another process holds (at
// load, under the loader lock), nor at exit for the writer's lock that a
// thread ended by ExitProcess inside a write still holds.
TEST(ModuleLog, EntryPointWaitsNeitherForTheSetNorForAnEndedWriter)
{
    LoggingMechanism mechanism;
    ModuleLogFolder folder;
    ASSERT_TRUE(LogToFilesFromLevelOne(mechanism, folder));
    ETWLogging::CLogSetMutex set;
    set.Open(folder.Path());
    ASSERT_TRUE(set.Acquire(ETWLogging::CLogSetMutex::Wait::Bounded));

    auto child =
        LogFileTest::StartChild(L"exit-in-write \"" + BesideThisExe(L"Wardline.dll") + L"\"", L"exit");
    EXPECT_EQ(0u, child->Wait(60 * 1000)) << "the child did not end: " << child->Output();
    const std::string output = child->Output();
    ASSERT_NE(std::string::npos, output.find("LOADED-MS ")) << output;
    EXPECT_LT(std::stoul(output.substr(output.find("LOADED-MS ") + 10)), ETWLogging::CLogSetMutex::kWaitMs)
        << output;
}
