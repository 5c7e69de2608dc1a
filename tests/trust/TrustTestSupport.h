#pragma once

#include <windows.h>

#include <string>

#include "support/BuildPath.h"
#include "trust/TrustedList.h"

namespace TrustTest
{

using WardlineTest::fromBuildPath;

inline std::wstring fixture(const wchar_t* name)
{
    return fromBuildPath(TRUST_FIXTURES_DIR) + L"\\" + name;
}

inline bool fileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes every reference of the list-update atom, so that tests start
// without an announcement.
inline void clearListAtom()
{
    for (int i = 0; i < 64; ++i)
    {
        const ATOM atom = ::GlobalFindAtomW(Norvan::internal::kTrustedListAtom);
        if (atom == 0)
        {
            return;
        }
        ::GlobalDeleteAtom(atom);
    }
}

// A folder of its own under the temporary folder, removed with its files.
class TempFolder
{
public:
    explicit TempFolder(const wchar_t* name)
    {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        path_ = std::wstring(temp) + L"wardline-trust-" + name;
        removeAll();
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempFolder() { removeAll(); }
    const std::wstring& path() const { return path_; }
    std::wstring file(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    void removeAll() { removeTree(path_); }
    static void removeTree(const std::wstring& folder)
    {
        WIN32_FIND_DATAW data;
        HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE)
        {
            do
            {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..")
                {
                    continue;
                }
                const std::wstring full = folder + L"\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                {
                    removeTree(full);
                    continue;
                }
                ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(full.c_str());
            } while (::FindNextFileW(find, &data));
            ::FindClose(find);
        }
        ::RemoveDirectoryW(folder.c_str());
    }
    std::wstring path_;
};

// Files in the temporary folder whose names start with the prefix.
inline int countTempFiles(const wchar_t* prefix)
{
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    WIN32_FIND_DATAW data;
    int count = 0;
    HANDLE find = ::FindFirstFileW((std::wstring(temp) + prefix + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            ++count;
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    return count;
}

} // namespace TrustTest
