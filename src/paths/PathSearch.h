#pragma once

#include "wrappers/DllAPI.h"
#include "wrappers/PathAPI.h"

#include <memory>
#include <string>
#include <vector>

namespace Norvan
{

// An ordered list of folders, and the first of them that holds a file.
class PathSearch
{
public:
    // Each wrapper may be empty; the real one is used then.
    explicit PathSearch(std::shared_ptr<PathAPI> pathApi = nullptr, std::shared_ptr<DllAPI> dllApi = nullptr);
    virtual ~PathSearch();

    virtual std::vector<std::wstring> getSearchPaths() const;
    // Appends, in order; the list only grows.
    virtual void addSearchPaths(const std::vector<std::wstring>& folders);
    virtual void addSearchPath(const wchar_t* folder);
    virtual void addSearchPath(const std::wstring& folder);
    // The first folder, in list order, that holds a file (not a directory)
    // of that name; it goes to `folder` without a trailing backslash.
    // `folder` is untouched when none does.
    virtual bool findFilePath(const std::wstring& fileName, std::wstring& folder);
    // A file of that name exists, named by a full path.
    virtual bool checkIfExists(const std::wstring& path);

private:
    std::shared_ptr<PathAPI> pathApi_;
    std::shared_ptr<DllAPI> dllApi_;
    std::vector<std::wstring> folders_;
};

} // namespace Norvan
