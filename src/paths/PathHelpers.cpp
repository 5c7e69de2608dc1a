#include "paths/PathHelpers.h"

#include "wrappers/UniqueResource.h"

#include <knownfolders.h>
#include <stdlib.h>

#include <functional>
#include <unordered_map>

namespace Norvan
{

class PathHelpers::Impl
{
public:
    Impl(std::shared_ptr<ShlObjAPI> shell, std::shared_ptr<Plinth::OSInfo> osInfo,
         std::shared_ptr<RegistryAPI> registry)
        : shell_(shell ? std::move(shell) : std::make_shared<ShlObjAPI>()),
          osInfo_(osInfo ? std::move(osInfo) : std::make_shared<Plinth::OSInfo>()),
          registry_(registry ? std::move(registry) : std::make_shared<RegistryAPI>())
    {
    }

    std::wstring platform() const
    {
        switch (osInfo_->GetPlatform())
        {
        case Plinth::internal::PlatformWin32:
            return L"win32";
        case Plinth::internal::PlatformX64:
            return L"x64";
        case Plinth::internal::PlatformUnknown:
            return L"PlatformUnknown";
        default:
            return std::wstring();
        }
    }

    std::wstring installFolder() const
    {
        const wchar_t* name = osInfo_->IsWow64() ? L"Install Dir32" : L"Install Dir";
        std::wstring folder;
        registry_->getString(L"SOFTWARE\\KORVEX\\HUBFRM", name, folder);
        return folder;
    }

    std::wstring knownFolder(REFKNOWNFOLDERID id) const
    {
        unique_cotaskmem_string path;
        if (FAILED(shell_->getKnownFolderPath(id, 0, nullptr, path.put())) || !path)
        {
            return std::wstring();
        }
        return path.get();
    }

private:
    std::shared_ptr<ShlObjAPI> shell_;
    std::shared_ptr<Plinth::OSInfo> osInfo_;
    std::shared_ptr<RegistryAPI> registry_;
};

namespace
{

// The running executable's path, split once per process.
enum AppPart : unsigned
{
    Drive = 1,
    Directory = 2,
    FileName = 4,
    Extension = 8,
};

struct AppParts
{
    std::wstring drive;
    std::wstring directory;
    std::wstring fileName;
    std::wstring extension;
};

AppParts g_appParts;
INIT_ONCE g_appPartsOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK splitAppPath(PINIT_ONCE, PVOID, PVOID*)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
    {
        return TRUE;
    }
    wchar_t drive[4] = {};
    wchar_t directory[257] = {};
    wchar_t fileName[257] = {};
    wchar_t extension[257] = {};
    if (_wsplitpath_s(path, drive, _countof(drive), directory, _countof(directory), fileName,
                      _countof(fileName), extension, _countof(extension)) == 0)
    {
        try
        {
            g_appParts.drive = drive;
            g_appParts.directory = directory;
            g_appParts.fileName = fileName;
            g_appParts.extension = extension;
        }
        catch (...)
        {
            g_appParts = AppParts();
        }
    }
    return TRUE;
}

std::wstring appPath(unsigned parts)
{
    ::InitOnceExecuteOnce(&g_appPartsOnce, &splitAppPath, nullptr, nullptr);
    std::wstring value;
    if (parts & Drive)
    {
        value += g_appParts.drive;
    }
    if (parts & Directory)
    {
        value += g_appParts.directory;
    }
    if (parts & FileName)
    {
        value += g_appParts.fileName;
    }
    if (parts & Extension)
    {
        value += g_appParts.extension;
    }
    return value;
}

using VariableValue = std::function<std::wstring(const PathHelpers::Impl&)>;

std::function<std::wstring(const PathHelpers::Impl&)> app(unsigned parts)
{
    return [parts](const PathHelpers::Impl&) { return appPath(parts); };
}

VariableValue known(const KNOWNFOLDERID& id)
{
    return [&id](const PathHelpers::Impl& impl) { return impl.knownFolder(id); };
}

const std::unordered_map<std::wstring, VariableValue> g_variables = {
    {L"$(OS.Platform)", [](const PathHelpers::Impl& impl) { return impl.platform(); }},
    {L"$(App.Binary)", app(FileName | Extension)},
    {L"$(App.Name)", app(FileName)},
    {L"$(App.Folder)", app(Drive | Directory)},
    {L"$(App.Path)", app(Drive | Directory | FileName | Extension)},
    {L"$(Hubframe.InstallDir)", [](const PathHelpers::Impl& impl) { return impl.installFolder(); }},
    {L"$(FOLDERID_Profile)", known(FOLDERID_Profile)},
    {L"$(FOLDERID_Desktop)", known(FOLDERID_Desktop)},
    {L"$(FOLDERID_Documents)", known(FOLDERID_Documents)},
    {L"$(FOLDERID_LocalAppDataLow)", known(FOLDERID_LocalAppDataLow)},
    {L"$(FOLDERID_LocalAppData)", known(FOLDERID_LocalAppData)},
    {L"$(FOLDERID_RoamingAppData)", known(FOLDERID_RoamingAppData)},
    {L"$(FOLDERID_ProgramData)", known(FOLDERID_ProgramData)},
    {L"$(FOLDERID_ProgramFiles)", known(FOLDERID_ProgramFiles)},
    {L"$(FOLDERID_ProgramFilesX64)", known(FOLDERID_ProgramFilesX64)},
    {L"$(FOLDERID_ProgramFilesX86)", known(FOLDERID_ProgramFilesX86)},
    {L"$(FOLDERID_ProgramFilesCommon)", known(FOLDERID_ProgramFilesCommon)},
    {L"$(FOLDERID_ProgramFilesCommonX64)", known(FOLDERID_ProgramFilesCommonX64)},
    {L"$(FOLDERID_ProgramFilesCommonX86)", known(FOLDERID_ProgramFilesCommonX86)},
};

} // namespace

namespace internal
{

// A scan rather than a regular expression: the library's matcher recurses
// once per character, and a long path must not exhaust a bus thread's stack.
bool findPathToken(const std::wstring& text, std::size_t from, std::size_t& start, std::size_t& length)
{
    for (std::size_t dollar = text.find(L'$', from); dollar != std::wstring::npos;
         dollar = text.find(L'$', dollar + 1))
    {
        if (dollar + 1 >= text.size() || text[dollar + 1] != L'(')
        {
            continue;
        }
        const std::size_t end = text.find_first_of(L"$()", dollar + 2);
        if (end != std::wstring::npos && text[end] == L')' && end > dollar + 2)
        {
            start = dollar;
            length = end + 1 - dollar;
            return true;
        }
    }
    return false;
}

} // namespace internal

PathHelpers::PathHelpers(std::shared_ptr<ShlObjAPI> shell, std::shared_ptr<Plinth::OSInfo> osInfo,
                         std::shared_ptr<RegistryAPI> registry)
    : impl_(std::make_shared<Impl>(std::move(shell), std::move(osInfo), std::move(registry)))
{
}

PathHelpers::~PathHelpers() = default;

bool PathHelpers::expandVariables(std::wstring& path)
{
    std::wstring output;
    std::size_t done = 0;
    std::size_t start = 0;
    std::size_t length = 0;
    while (internal::findPathToken(path, done, start, length))
    {
        const std::wstring token = path.substr(start, length);
        std::wstring value;
        const auto variable = g_variables.find(token);
        if (variable != g_variables.end())
        {
            value = variable->second(*impl_);
        }
        output.append(path, done, start - done);
        output += value.empty() ? token : value;
        done = start + length;
    }
    output.append(path, done, std::wstring::npos);
    path.swap(output);
    return true;
}

} // namespace Norvan
