#pragma once

#include "Logging/config/RegKey.h"
#include "dll/DllLoader.h"
#include "module/ModuleStatus.h"
#include "paths/PathHelpers.h"
#include "paths/PathSearch.h"
#include "wrappers/FileVersionInfo.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Norvan
{

// Which library to load, and the folders (with path variables) to look for it
// in, in order.
struct LibraryDescription
{
    std::wstring fileName;
    std::vector<std::wstring> folders;
};

// The four exports of every library of the host framework.
struct HostLibraryFunctions
{
    const void* (*CreateObject)(std::uint32_t version);
    void (*ReleaseObject)();
    const char* (*GetVersionStr)();
    std::uint32_t (*GetVersionNum)();
};

// One library of the host framework, loaded: found in the first of its folders
// that holds it, refused when the host has blocked its version, loaded only
// with a trusted signature, and its four exports imported. Unloaded when the
// last owner lets go.
class SharedLibrary
{
public:
    // Each collaborator may be empty: the real loader, path expander and path
    // search are created then, and the block check reads the registry and the
    // file's version resource itself. Throws ModuleException when the
    // library cannot be loaded or lacks an export.
    SharedLibrary(const LibraryDescription& description, std::shared_ptr<DllLoader> loader,
                  std::shared_ptr<PathHelpers> pathHelpers, std::shared_ptr<PathSearch> pathSearch,
                  std::shared_ptr<Plinth::FileVersionInfo> versionInfo,
                  std::shared_ptr<Plinth::CRegKey> registryKey);
    virtual ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    virtual const HostLibraryFunctions* getFunctions() const;

    // Host libraries that are never looked up in the block list.
    static bool isExempt(const std::wstring& lowerCaseFileName);

private:
    ModuleStatus loadLibrary();
    ModuleStatus importFunctions();
    ModuleStatus unloadLibrary();
    bool isBlocked(const std::wstring& folder, const std::wstring& fileName);

    std::wstring fileName_;
    std::vector<std::wstring> folders_;
    std::shared_ptr<DllLoader> loader_;
    std::shared_ptr<PathHelpers> pathHelpers_;
    std::shared_ptr<PathSearch> pathSearch_;
    std::shared_ptr<Plinth::CRegKey> registryKey_;
    std::shared_ptr<Plinth::FileVersionInfo> versionInfo_;
    HMODULE module_ = nullptr;
    HostLibraryFunctions functions_ = {};
};

} // namespace Norvan
