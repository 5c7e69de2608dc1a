#include "dll/SharedLibrary.h"

#include "Logging/Log.h"
#include "module/CallGuarded.h"
#include "module/ModuleException.h"

#include <cwctype>

namespace Norvan
{

namespace
{

constexpr wchar_t kFile[] = L"dll\\SharedLibrary";
constexpr wchar_t kBlockListKey[] = L"SOFTWARE\\Korvex\\Hubfrm\\List\\";
constexpr REGSAM kReadAccess = 0x20019;

const wchar_t* const kExemptLibraries[] = {L"watchpost.dll", L"prefvault.dll", L"unitwarden.dll",
                                           L"courier.dll"};

std::wstring lowerCase(std::wstring text)
{
    for (wchar_t& c : text)
    {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

template <typename Function> Function exportAs(FARPROC address)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

} // namespace

SharedLibrary::SharedLibrary(const LibraryDescription& description, std::shared_ptr<DllLoader> loader,
                             std::shared_ptr<PathHelpers> pathHelpers, std::shared_ptr<PathSearch> pathSearch,
                             std::shared_ptr<Plinth::FileVersionInfo> versionInfo,
                             std::shared_ptr<Plinth::CRegKey> registryKey)
    : fileName_(description.fileName), folders_(description.folders),
      loader_(loader ? std::move(loader) : std::make_shared<DllLoader>()),
      pathHelpers_(pathHelpers ? std::move(pathHelpers) : std::make_shared<PathHelpers>()),
      pathSearch_(pathSearch ? std::move(pathSearch) : std::make_shared<PathSearch>()),
      registryKey_(std::move(registryKey)), versionInfo_(std::move(versionInfo))
{
    if (loadLibrary() != 0)
    {
        WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::SharedLibrary::SharedLibrary",
               L"Failed to load library: %ls. Throwing ModuleException.", fileName_.c_str());
        throw ModuleException("Failed to load library");
    }
    if (importFunctions() != 0)
    {
        WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::SharedLibrary::SharedLibrary",
               L"Failed to import functions from library: %ls. Throwing ModuleException.", fileName_.c_str());
        unloadLibrary();
        throw ModuleException("Failed to import functions from library");
    }
}

SharedLibrary::~SharedLibrary()
{
    unloadLibrary();
}

const HostLibraryFunctions* SharedLibrary::getFunctions() const
{
    return &functions_;
}

bool SharedLibrary::isExempt(const std::wstring& lowerCaseFileName)
{
    for (const wchar_t* exempt : kExemptLibraries)
    {
        if (lowerCaseFileName == exempt)
        {
            return true;
        }
    }
    return false;
}

ModuleStatus SharedLibrary::loadLibrary()
{
    for (std::wstring& folder : folders_)
    {
        const std::wstring entry = folder;
        if (!pathHelpers_->expandVariables(folder))
        {
            WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::SharedLibrary::loadLibrary",
                   L"Failed to resolve file path, %ls, for library: %ls.", entry.c_str(), fileName_.c_str());
            return MODULE_STATUS_NOT_FOUND;
        }
    }
    pathSearch_->addSearchPaths(folders_);
    std::wstring folder;
    if (!pathSearch_->findFilePath(fileName_, folder))
    {
        WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::SharedLibrary::loadLibrary",
               L"Failed to find valid path for library: %ls.", fileName_.c_str());
        return MODULE_STATUS_NOT_FOUND;
    }
    WL_LOG(ETWLogging::LevelNormal, kFile, L"Norvan::SharedLibrary::loadLibrary", L"Loading %ls from %ls.",
           fileName_.c_str(), folder.c_str());
    const std::wstring fullPath = folder + L"\\" + fileName_;
    if (isBlocked(folder, fileName_))
    {
        WL_LOG(ETWLogging::LevelInformation, kFile, L"Norvan::SharedLibrary::loadLibrary",
               L"Blocked library: %ls.", fullPath.c_str());
        return MODULE_STATUS_NOT_SUPPORTED;
    }
    HMODULE module = nullptr;
    if (!loader_->loadDLL(fullPath, &module) || module == nullptr)
    {
        WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::SharedLibrary::loadLibrary",
               L"Failed to load library: %ls.", fileName_.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    module_ = module;
    return 0;
}

bool SharedLibrary::isBlocked(const std::wstring& folder, const std::wstring& fileName)
{
    if (fileName.empty() || folder.empty())
    {
        return false;
    }
    const std::wstring lowerName = lowerCase(fileName);
    if (isExempt(lowerName))
    {
        return false;
    }
    std::shared_ptr<Plinth::FileVersionInfo> versionInfo =
        versionInfo_ ? versionInfo_ : std::make_shared<Plinth::FileVersionInfo>();
    if (!versionInfo->Load(lowerCase(folder) + L"\\" + lowerName))
    {
        return false;
    }
    std::wstring fileVersion;
    versionInfo->GetString(fileVersion, L"FileVersion");

    std::shared_ptr<Plinth::CRegKey> key =
        registryKey_ ? registryKey_ : std::make_shared<Plinth::CObfuscatedRegKey>();
    if (key->Open(HKEY_LOCAL_MACHINE, (kBlockListKey + lowerName).c_str(), kReadAccess) != 0)
    {
        return false;
    }
    std::wstring listed;
    return key->ReadString(fileVersion.c_str(), listed) == 0 && listed == fileVersion;
}

ModuleStatus SharedLibrary::importFunctions()
{
    const char* const names[] = {"CreateObject", "ReleaseObject", "GetVersionStr", "GetVersionNum"};
    FARPROC addresses[4] = {};
    for (std::size_t i = 0; i < 4; ++i)
    {
        addresses[i] = loader_->getProcAddress(module_, names[i]);
        if (addresses[i] == nullptr)
        {
            WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::SharedLibrary::importFunctions",
                   L"Failed to load %hs function from library: %ls.", names[i], fileName_.c_str());
            return MODULE_STATUS_NOT_FOUND;
        }
    }
    functions_.CreateObject = exportAs<decltype(functions_.CreateObject)>(addresses[0]);
    functions_.ReleaseObject = exportAs<decltype(functions_.ReleaseObject)>(addresses[1]);
    functions_.GetVersionStr = exportAs<decltype(functions_.GetVersionStr)>(addresses[2]);
    functions_.GetVersionNum = exportAs<decltype(functions_.GetVersionNum)>(addresses[3]);
    return 0;
}

ModuleStatus SharedLibrary::unloadLibrary()
{
    return callGuarded(
        [this]() -> ModuleStatus
        {
            if (module_ == nullptr)
            {
                return 0;
            }
            if (loader_->freeDLL(module_))
            {
                module_ = nullptr;
                functions_ = {};
                return 0;
            }
            WL_LOG(ETWLogging::LevelError, kFile,
                   L"Norvan::SharedLibrary::unloadLibrary::<lambda_1>::operator ()",
                   L"Failed to free library: %ls.", fileName_.c_str());
            return MODULE_STATUS_UNSUCCESSFUL;
        });
}

} // namespace Norvan
