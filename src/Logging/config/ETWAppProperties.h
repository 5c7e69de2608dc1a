#pragma once

#include <windows.h>

#include <string>

namespace Plinth
{
class CRegKey;
}

namespace ETWLogging
{
namespace internal
{

// Where the ETW writer, its trace session and the session's controller are
// configured: a registry profile under HKLM "SOFTWARE\Korvex.logging\<profile>"
// with the subkeys "Session", "Provider" and "Controller", or, for the
// profile "ZEP" only, built-in defaults when that key does not exist.
// Values are read through the scrambled-value reader, so both plain and
// scrambled values are accepted.
//
// Loaded once: a second Load is refused. A failed Load leaves the object
// empty, as it was constructed.
class ETWAppProperties
{
public:
    ETWAppProperties();
    virtual ~ETWAppProperties();
    ETWAppProperties(const ETWAppProperties&) = default;
    ETWAppProperties& operator=(const ETWAppProperties&) = default;

    // Null or empty selects "ZEP". False when already loaded, when the
    // program-data folder cannot be had, when the profile key exists but is
    // incomplete, or when it does not exist and the profile is not "ZEP".
    virtual bool Load(const wchar_t* profileName);
    // The program-data known folder, created if missing.
    virtual bool GetProgramDataFolder(std::wstring& folder);
    // Reads the profile from its open key. False when a subkey is missing or
    // a required value cannot be read.
    virtual bool ReadProfile(Plinth::CRegKey& profileKey);
    // The built-in defaults; refused (false) for any profile but "ZEP".
    virtual bool SetDefaults();
    virtual const wchar_t* GetEtlFileName() const;
    virtual const wchar_t* GetProfileRoot() const;
    // Profile root + "\" + profile name, then "\" + subkey when one is given.
    // False (path empty) when no profile name is set.
    virtual bool GetProfileKeyPath(std::wstring& path, const wchar_t* subkey) const;

    const std::wstring& ProfileName() const noexcept { return profileName_; }
    const std::wstring& ProgramDataFolder() const noexcept { return programDataFolder_; }
    const GUID& SessionId() const noexcept { return sessionId_; }
    const std::wstring& SessionName() const noexcept { return sessionName_; }
    const GUID& ProviderGuid() const noexcept { return providerGuid_; }
    const std::wstring& OwnerMutexName() const noexcept { return ownerMutexName_; }
    const std::wstring& LogPath() const noexcept { return logPath_; }
    const std::wstring& EtlFolder() const noexcept { return etlFolder_; }
    const std::wstring& EtlFile() const noexcept { return etlFile_; }
    const std::wstring& ControllerPath() const noexcept { return controllerPath_; }
    HKEY RegistryRoot() const noexcept { return registryRoot_; }
    const std::wstring& ConfigurationKeyPath() const noexcept { return configurationKeyPath_; }
    const std::wstring& ControllerKeyPath() const noexcept { return controllerKeyPath_; }
    const std::wstring& ProviderKeyPath() const noexcept { return providerKeyPath_; }
    const std::wstring& SettingsKeyPath() const noexcept { return settingsKeyPath_; }

private:
    void Clear();
    // Program-data folder + a relative folder, with one backslash between.
    std::wstring UnderProgramData(const std::wstring& relative) const;
    void SetFolders(const std::wstring& logPath, const std::wstring& etlPath);
    // The controller, provider and settings keys from configurationKeyPath_.
    void SetKeyPathsUnderConfiguration();

    std::wstring profileName_;
    std::wstring programDataFolder_;
    GUID sessionId_;
    std::wstring sessionName_;
    GUID providerGuid_;
    std::wstring ownerMutexName_;
    std::wstring logPath_;
    std::wstring etlFolder_;
    std::wstring etlFile_;
    std::wstring controllerPath_;
    HKEY registryRoot_;
    std::wstring configurationKeyPath_;
    std::wstring controllerKeyPath_;
    std::wstring providerKeyPath_;
    std::wstring settingsKeyPath_;
};

} // namespace internal
} // namespace ETWLogging
