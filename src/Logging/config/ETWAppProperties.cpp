#include "Logging/config/ETWAppProperties.h"

#include "Logging/config/RegKey.h"
#include "wrappers/UniqueResource.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <new>

namespace ETWLogging
{
namespace internal
{
namespace
{

const wchar_t kDefaultProfile[] = L"ZEP";
const wchar_t kProfileRoot[] = L"SOFTWARE\\Korvex.logging";
const wchar_t kEtlFileName[] = L"kvlogs.etl";
const wchar_t kDefaultLogPath[] = L"\\Korvex\\KVLOGS";
const wchar_t kDefaultEtlPath[] = L"\\Korvex\\KVLOGS\\ETW";
const wchar_t kDefaultSessionName[] = L"Korvex.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}";
const wchar_t kDefaultOwnerMutex[] = L"Global\\Korvex.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
const wchar_t kDefaultConfigurationKey[] = L"SOFTWARE\\Korvex\\Logging";

// {491FB070-54CC-11E0-B8AF-0800200C9A66}
const GUID kDefaultSessionId = {0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// {E16CA450-55CC-11E0-B8AF-0800200C9A66}
const GUID kDefaultProviderGuid = {
    0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

constexpr REGSAM kRead = KEY_READ; // 0x20019

} // namespace

ETWAppProperties::ETWAppProperties()
{
    Clear();
}

ETWAppProperties::~ETWAppProperties() = default;

void ETWAppProperties::Clear()
{
    profileName_.clear();
    programDataFolder_.clear();
    sessionId_ = GUID{};
    sessionName_.clear();
    providerGuid_ = GUID{};
    ownerMutexName_.clear();
    logPath_.clear();
    etlFolder_.clear();
    etlFile_.clear();
    controllerPath_.clear();
    registryRoot_ = nullptr;
    configurationKeyPath_.clear();
    controllerKeyPath_.clear();
    providerKeyPath_.clear();
    settingsKeyPath_.clear();
}

bool ETWAppProperties::Load(const wchar_t* profileName)
{
    if (!profileName_.empty())
    {
        return false;
    }
    bool loaded = false;
    try
    {
        profileName_ = (profileName != nullptr && *profileName != L'\0') ? profileName : kDefaultProfile;
        if (GetProgramDataFolder(programDataFolder_))
        {
            std::wstring path;
            Plinth::CObfuscatedRegKey profileKey;
            if (GetProfileKeyPath(path, nullptr) &&
                profileKey.Open(HKEY_LOCAL_MACHINE, path.c_str(), kRead) == 0)
            {
                loaded = ReadProfile(profileKey);
            }
            else
            {
                loaded = SetDefaults();
            }
        }
    }
    catch (const std::bad_alloc&)
    {
        loaded = false;
    }
    if (!loaded)
    {
        Clear();
    }
    return loaded;
}

bool ETWAppProperties::GetProgramDataFolder(std::wstring& folder)
{
    Norvan::unique_cotaskmem_string path;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, path.put())) || !path ||
        *path.get() == L'\0')
    {
        return false;
    }
    folder = path.get();
    return true;
}

std::wstring ETWAppProperties::UnderProgramData(const std::wstring& relative) const
{
    // Values are written with a leading backslash; one written without must
    // not glue onto the folder's last name.
    std::wstring path = programDataFolder_;
    const bool folderEnds = !path.empty() && (path.back() == L'\\' || path.back() == L'/');
    const bool relativeStarts = !relative.empty() && (relative.front() == L'\\' || relative.front() == L'/');
    if (!relative.empty() && !folderEnds && !relativeStarts)
    {
        path += L'\\';
    }
    path += relative;
    return path;
}

void ETWAppProperties::SetFolders(const std::wstring& logPath, const std::wstring& etlPath)
{
    logPath_ = UnderProgramData(logPath);
    etlFolder_ = UnderProgramData(etlPath);
    etlFile_ = etlFolder_ + L"\\" + GetEtlFileName();
}

bool ETWAppProperties::ReadProfile(Plinth::CRegKey& profileKey)
{
    Plinth::CObfuscatedRegKey session;
    Plinth::CObfuscatedRegKey provider;
    Plinth::CObfuscatedRegKey controller;
    if (session.Open(profileKey.Handle(), L"Session", kRead) != 0 ||
        provider.Open(profileKey.Handle(), L"Provider", kRead) != 0 ||
        controller.Open(profileKey.Handle(), L"Controller", kRead) != 0)
    {
        return false;
    }

    registryRoot_ = HKEY_LOCAL_MACHINE;
    if (!GetProfileKeyPath(configurationKeyPath_, nullptr))
    {
        return false;
    }
    SetKeyPathsUnderConfiguration();

    std::wstring logPath;
    std::wstring etlPath;
    if (profileKey.ReadString(L"Log Path", logPath) != 0)
    {
        logPath = kDefaultLogPath;
    }
    if (profileKey.ReadString(L"ETL Path", etlPath) != 0)
    {
        etlPath = kDefaultEtlPath;
    }
    SetFolders(logPath, etlPath);

    return controller.ReadString(L"Controller Path", controllerPath_) == 0 &&
           controller.ReadString(L"Owner Mutex Name", ownerMutexName_) == 0 &&
           session.ReadGuid(L"Session ID Guid", sessionId_) == 0 &&
           session.ReadString(L"Session Name", sessionName_) == 0 &&
           provider.ReadGuid(L"Provider Guid", providerGuid_) == 0;
}

bool ETWAppProperties::SetDefaults()
{
    if (::CompareStringOrdinal(profileName_.c_str(), -1, kDefaultProfile, -1, TRUE) != CSTR_EQUAL)
    {
        return false;
    }
    sessionId_ = kDefaultSessionId;
    sessionName_ = kDefaultSessionName;
    providerGuid_ = kDefaultProviderGuid;
    ownerMutexName_ = kDefaultOwnerMutex;
    SetFolders(kDefaultLogPath, kDefaultEtlPath);
    controllerPath_.clear();
    registryRoot_ = HKEY_LOCAL_MACHINE;
    configurationKeyPath_ = kDefaultConfigurationKey;
    SetKeyPathsUnderConfiguration();
    return true;
}

void ETWAppProperties::SetKeyPathsUnderConfiguration()
{
    controllerKeyPath_ = configurationKeyPath_ + L"\\Controller";
    providerKeyPath_ = configurationKeyPath_ + L"\\Provider";
    settingsKeyPath_ = configurationKeyPath_;
}

const wchar_t* ETWAppProperties::GetEtlFileName() const
{
    return kEtlFileName;
}

const wchar_t* ETWAppProperties::GetProfileRoot() const
{
    return kProfileRoot;
}

bool ETWAppProperties::GetProfileKeyPath(std::wstring& path, const wchar_t* subkey) const
{
    path.clear();
    if (profileName_.empty())
    {
        return false;
    }
    path = GetProfileRoot();
    path += L'\\';
    path += profileName_;
    if (subkey != nullptr)
    {
        path += L'\\';
        path += subkey;
    }
    return true;
}

} // namespace internal
} // namespace ETWLogging
