#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Norvan
{

// The file system behind an object, so that tests can replace it. The path
// search and the log-file writer use it.
class PathAPI
{
public:
    virtual ~PathAPI() = default;

    // A regular file (not a directory) of that name exists.
    virtual bool fileExists(const std::wstring& path);
    // A directory of that name exists.
    virtual bool directoryExists(const std::wstring& path);
    // The type bits of the C library's stat (_S_IFDIR, _S_IFREG, ...), or 0
    // when the path cannot be examined.
    virtual unsigned fileType(const std::wstring& path);
    // Deletes every file of the folder that matches the wildcard pattern
    // ("C:\x\*.log"), clearing the read-only attribute first; with
    // `directories`, matching subdirectories are removed with their contents.
    // True when everything that matched is gone.
    virtual bool deleteFiles(const std::wstring& pattern, bool directories);
    // Creates the directory and every missing parent; a relative path is
    // taken from the current directory. `error` receives 0, 183 when the
    // directory was already there (both succeed), or the Windows error.
    // Every directory created gets `security` (default security without).
    virtual bool createDirectory(const wchar_t* path, DWORD& error, SECURITY_ATTRIBUTES* security = nullptr);
    // Removes the directory with everything in it.
    virtual bool removeDirectory(const std::wstring& path);

    // Thin forwards to the functions of the same name.
    virtual HANDLE createFile(const wchar_t* path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile);
    virtual BOOL moveFile(const wchar_t* from, const wchar_t* to);
    virtual BOOL deleteFile(const wchar_t* path);
    virtual BOOL readDirectoryChanges(HANDLE directory, void* buffer, DWORD length, BOOL watchSubtree,
                                      DWORD filter, DWORD* returned, OVERLAPPED* overlapped,
                                      LPOVERLAPPED_COMPLETION_ROUTINE completion);
    virtual const wchar_t* pathFindFileName(const wchar_t* path);

    // What an open handle is, asked of the handle itself so that nothing can
    // be swapped in under a name between the check and the use.
    struct FileShape
    {
        // FILE_ATTRIBUTE_REPARSE_POINT when the handle is a link itself
        // (opened with FILE_FLAG_OPEN_REPARSE_POINT).
        DWORD attributes = 0;
        // How many names the file has.
        DWORD links = 0;
        ULONGLONG size = 0;
    };
    virtual bool handleShape(HANDLE handle, FileShape& shape);
    // The owner of an open file or folder (the handle needs READ_CONTROL):
    // 0 and the owner's SID, or the Windows error.
    virtual DWORD handleOwner(HANDLE handle, std::vector<BYTE>& owner);
};

} // namespace Norvan
