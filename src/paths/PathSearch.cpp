#include "paths/PathSearch.h"

#include "Logging/Log.h"
#include "paths/FullPath.h"

namespace Norvan
{

namespace
{
constexpr wchar_t kFile[] = L"PathSearch";
} // namespace

PathSearch::PathSearch(std::shared_ptr<PathAPI> pathApi, std::shared_ptr<DllAPI> dllApi)
    : pathApi_(pathApi ? std::move(pathApi) : std::make_shared<PathAPI>()),
      dllApi_(dllApi ? std::move(dllApi) : std::make_shared<DllAPI>())
{
}

PathSearch::~PathSearch() = default;

std::vector<std::wstring> PathSearch::getSearchPaths() const
{
    return folders_;
}

void PathSearch::addSearchPaths(const std::vector<std::wstring>& folders)
{
    folders_.insert(folders_.end(), folders.begin(), folders.end());
}

void PathSearch::addSearchPath(const wchar_t* folder)
{
    folders_.emplace_back(folder != nullptr ? folder : L"");
}

void PathSearch::addSearchPath(const std::wstring& folder)
{
    folders_.push_back(folder);
}

bool PathSearch::findFilePath(const std::wstring& fileName, std::wstring& folder)
{
    WL_LOG(ETWLogging::LevelNormal, kFile, L"Norvan::PathSearch::findFilePath",
           L"Entering findFilePath for file %ls", fileName.c_str());
    for (const std::wstring& candidate : folders_)
    {
        std::wstring path = candidate;
        path += L'\\';
        path += fileName;
        if (checkIfExists(path))
        {
            std::wstring found = candidate;
            if (!found.empty() && found.back() == L'\\')
            {
                found.pop_back();
            }
            WL_LOG(ETWLogging::LevelNormal, kFile, L"Norvan::PathSearch::findFilePath",
                   L"File found at path %ls. Returning success.", found.c_str());
            folder.swap(found);
            return true;
        }
    }
    WL_LOG(ETWLogging::LevelWarning, kFile, L"Norvan::PathSearch::findFilePath", L"File not found.");
    return false;
}

bool PathSearch::checkIfExists(const std::wstring& path)
{
    WL_LOG(ETWLogging::LevelNormal, kFile, L"Norvan::PathSearch::checkIfExists",
           L"Entering checkIfExists for %ls", path.c_str());
    // Only a full path counts: a folder left relative (empty, or holding a
    // variable that could not be expanded) would otherwise be looked up in
    // whatever the current directory is, where anyone may have put a file.
    if (internal::isFullPath(path) && pathApi_->fileExists(path))
    {
        WL_LOG(ETWLogging::LevelNormal, kFile, L"Norvan::PathSearch::checkIfExists", L"File exists");
        return true;
    }
    WL_LOG(ETWLogging::LevelWarning, kFile, L"Norvan::PathSearch::checkIfExists", L"File does not exist.");
    return false;
}

} // namespace Norvan
