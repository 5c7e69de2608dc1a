#include "wrappers/PathAPI.h"

#include "common/Path.h"
#include "paths/FullPath.h"
#include "wrappers/UniqueResource.h"

#include <aclapi.h>
#include <shlwapi.h>
#include <algorithm>
#include <sys/stat.h>
#include <sys/types.h>

namespace Norvan
{

namespace
{

constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";
constexpr std::size_t kLongPathPrefixLength = 4;

bool hasLongPathPrefix(const std::wstring& path)
{
    return path.compare(0, kLongPathPrefixLength, kLongPathPrefix) == 0;
}

DWORD attributesOf(const std::wstring& path)
{
    return path.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(path.c_str());
}

std::wstring currentDirectory()
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), &buffer[0]);
        if (length == 0)
        {
            return std::wstring();
        }
        if (length < buffer.size())
        {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(length);
    }
}

// The root that a path starting with one backslash is relative to: the
// drive of the current directory, or its "\\server\share" when it has none.
std::wstring rootOf(const std::wstring& directory)
{
    if (directory.size() >= 2 && directory[1] == L':')
    {
        return directory.substr(0, 2);
    }
    if (directory.compare(0, 2, L"\\\\") == 0)
    {
        const std::size_t server = directory.find(L'\\', 2);
        if (server != std::wstring::npos)
        {
            const std::size_t share = directory.find(L'\\', server + 1);
            return directory.substr(0, share);
        }
    }
    return directory.substr(0, 2);
}

std::wstring absolutePath(const std::wstring& path)
{
    if (hasLongPathPrefix(path) || internal::isFullPath(path))
    {
        return path;
    }
    const std::wstring current = currentDirectory();
    if (!path.empty() && path[0] == L'\\')
    {
        return rootOf(current) + path;
    }
    if (path.size() >= 2 && path[1] == L':')
    {
        // "C:logs": relative to that drive's own current directory, which
        // only the system knows.
        std::wstring full(MAX_PATH, L'\0');
        for (;;)
        {
            const DWORD length =
                ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
            if (length == 0)
            {
                return path;
            }
            if (length < full.size())
            {
                full.resize(length);
                return full;
            }
            full.resize(length);
        }
    }
    return current + L"\\" + path;
}

} // namespace

bool PathAPI::fileExists(const std::wstring& path)
{
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool PathAPI::directoryExists(const std::wstring& path)
{
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

unsigned PathAPI::fileType(const std::wstring& path)
{
    struct _stat64 status = {};
    if (path.empty() || ::_wstat64(path.c_str(), &status) != 0)
    {
        return 0;
    }
    return static_cast<unsigned>(status.st_mode) & _S_IFMT;
}

bool PathAPI::deleteFiles(const std::wstring& pattern, bool directories)
{
    WIN32_FIND_DATAW entry = {};
    HANDLE first = ::FindFirstFileW(pattern.c_str(), &entry);
    if (first == INVALID_HANDLE_VALUE)
    {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    unique_find find(first);
    const std::wstring folder = internal::folderOf(pattern);
    bool allGone = true;
    do
    {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
        {
            continue;
        }
        const std::wstring full = folder.empty() ? name : folder + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            if (directories && !removeDirectory(full))
            {
                allGone = false;
            }
            continue;
        }
        ::SetFileAttributesW(full.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        if (!::DeleteFileW(full.c_str()))
        {
            allGone = false;
        }
    } while (::FindNextFileW(find.get(), &entry));
    return allGone;
}

bool PathAPI::removeDirectory(const std::wstring& path)
{
    const DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    {
        return false;
    }
    // A junction or link is removed itself; what it points to is not ours.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    {
        deleteFiles(path + L"\\*", true);
    }
    ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return ::RemoveDirectoryW(path.c_str()) != FALSE;
}

namespace
{

DWORD createWithParents(PathAPI& api, const std::wstring& path, SECURITY_ATTRIBUTES* security)
{
    if (api.directoryExists(path))
    {
        return 0;
    }
    const bool prefixed = hasLongPathPrefix(path);
    const std::wstring rest = prefixed ? path.substr(kLongPathPrefixLength) : path;
    const std::size_t firstSlash = rest.find(L'\\');
    if (firstSlash == std::wstring::npos)
    {
        return 0;
    }
    const std::size_t lastSlash = rest.rfind(L'\\');
    if (firstSlash != lastSlash)
    {
        const std::wstring parent = (prefixed ? kLongPathPrefix : L"") + rest.substr(0, lastSlash);
        const DWORD status = createWithParents(api, parent, security);
        if (status != 0)
        {
            return status;
        }
    }
    if (::CreateDirectoryW(path.c_str(), security))
    {
        return 0;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS)
    {
        return error;
    }
    // Another thread may have created it meanwhile; a file of that name is
    // no directory, and succeeding would hand the caller a folder that is
    // not there.
    return api.directoryExists(path) ? 0 : ERROR_FILE_EXISTS;
}

} // namespace

bool PathAPI::createDirectory(const wchar_t* path, DWORD& error, SECURITY_ATTRIBUTES* security)
{
    if (path == nullptr || *path == L'\0')
    {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (directoryExists(path))
    {
        error = ERROR_ALREADY_EXISTS;
        return true;
    }
    // The system takes "C:/x/y" for "C:\x\y", but parents are found by
    // backslashes alone. Behind "\\?\" a slash is no separator.
    std::wstring separated = path;
    if (!hasLongPathPrefix(separated))
    {
        std::replace(separated.begin(), separated.end(), L'/', L'\\');
    }
    error = createWithParents(*this, absolutePath(separated), security);
    return error == 0;
}

HANDLE PathAPI::createFile(const wchar_t* path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE templateFile)
{
    return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
}

BOOL PathAPI::moveFile(const wchar_t* from, const wchar_t* to)
{
    return ::MoveFileW(from, to);
}

BOOL PathAPI::deleteFile(const wchar_t* path)
{
    return ::DeleteFileW(path);
}

BOOL PathAPI::readDirectoryChanges(HANDLE directory, void* buffer, DWORD length, BOOL watchSubtree,
                                   DWORD filter, DWORD* returned, OVERLAPPED* overlapped,
                                   LPOVERLAPPED_COMPLETION_ROUTINE completion)
{
    return ::ReadDirectoryChangesW(directory, buffer, length, watchSubtree, filter, returned, overlapped,
                                   completion);
}

const wchar_t* PathAPI::pathFindFileName(const wchar_t* path)
{
    return ::PathFindFileNameW(path);
}

// The two small information classes, not GetFileInformationByHandle: that
// one also asks for the volume, which costs hundreds of microseconds under
// Wine, and the log writer asks at every line.
bool PathAPI::handleShape(HANDLE handle, FileShape& shape)
{
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard)))
    {
        return false;
    }
    shape.attributes = tag.FileAttributes;
    shape.links = standard.NumberOfLinks;
    shape.size = static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);
    return true;
}

DWORD PathAPI::handleOwner(HANDLE handle, std::vector<BYTE>& owner)
{
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr,
                                          nullptr, nullptr, &descriptor);
    unique_hlocal descriptorOwner(descriptor);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    if (sid == nullptr || !::IsValidSid(sid))
    {
        return ERROR_INVALID_SID;
    }
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    owner.assign(bytes, bytes + ::GetLengthSid(sid));
    return ERROR_SUCCESS;
}

} // namespace Norvan
