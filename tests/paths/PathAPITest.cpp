#include "wrappers/PathAPI.h"

#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using Norvan::PathAPI;
using WardlineTest::ScratchFolder;

TEST(PathAPICreateDirectory, CreatesMissingParents)
{
    ScratchFolder root(L"mkdir-parents");
    PathAPI api;
    DWORD error = 99;
    EXPECT_TRUE(api.createDirectory((root / L"a\\b\\c").c_str(), error));
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(api.directoryExists(root / L"a\\b\\c"));

    // Again: already there, which also succeeds.
    EXPECT_TRUE(api.createDirectory((root / L"a\\b\\c").c_str(), error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), error);

    EXPECT_TRUE(api.createDirectory((root / L"d\\e\\").c_str(), error));
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(api.directoryExists(root / L"d\\e"));
}

TEST(PathAPICreateDirectory, RelativePathsStartAtTheCurrentDirectory)
{
    ScratchFolder root(L"mkdir-relative");
    WardlineTest::CurrentDirectory current(root.path());
    PathAPI api;
    DWORD error = 99;
    EXPECT_TRUE(api.createDirectory(L"logs", error));
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(api.directoryExists(root / L"logs"));
    EXPECT_TRUE(api.createDirectory(L"logs\\x\\y", error));
    EXPECT_TRUE(api.directoryExists(root / L"logs\\x\\y"));

    // Rooted at the current drive.
    const std::wstring rooted = root.path().substr(2) + L"\\rooted";
    EXPECT_TRUE(api.createDirectory(rooted.c_str(), error));
    EXPECT_TRUE(api.directoryExists(root / L"rooted"));

    // Relative to the named drive's current directory, here the same one.
    const std::wstring driveRelative = root.path().substr(0, 2) + L"drive-relative";
    EXPECT_TRUE(api.createDirectory(driveRelative.c_str(), error));
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(api.directoryExists(root / L"drive-relative"));
}

// Forward slashes separate folders as backslashes do.
TEST(PathAPICreateDirectory, ForwardSlashesAreSeparators)
{
    ScratchFolder root(L"mkdir-slashes");
    WardlineTest::CurrentDirectory current(root.path());
    for (const std::wstring& path : {root.path() + L"/abs/x", std::wstring(L"rel/x")})
    {
        DWORD error = 99;
        EXPECT_TRUE(PathAPI().createDirectory(path.c_str(), error) && error == 0) << error;
        EXPECT_TRUE(PathAPI().directoryExists(path));
    }
}

TEST(PathAPICreateDirectory, LongPathsWithAndWithoutThePrefix)
{
    ScratchFolder root(L"mkdir-long");
    PathAPI api;
    const std::wstring deep = root.path() + L"\\" + std::wstring(120, L'a') + L"\\" +
                              std::wstring(120, L'b') + L"\\" + std::wstring(40, L'c');
    ASSERT_GE(deep.size(), 260u);
    DWORD error = 0;
    EXPECT_TRUE(api.createDirectory((L"\\\\?\\" + deep).c_str(), error)) << error;
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(api.directoryExists(L"\\\\?\\" + deep));

    // Without the prefix such a path is beyond what the system takes: a
    // plain failure, nothing else.
    const std::wstring other = deep + L"\\" + std::wstring(200, L'd');
    error = 0;
    const bool created = api.createDirectory(other.c_str(), error);
    EXPECT_EQ(created, error == 0);
}

TEST(PathAPICreateDirectory, RelativePathsUnderACurrentDirectoryBeyondMaxPath)
{
    ScratchFolder root(L"mkdir-long-cwd");
    const std::wstring deep = root.path() + L"\\" + std::wstring(120, L'a') + L"\\" + std::wstring(120, L'b');
    ASSERT_GT(deep.size(), static_cast<size_t>(MAX_PATH));
    PathAPI api;
    DWORD error = 0;
    ASSERT_TRUE(api.createDirectory((L"\\\\?\\" + deep).c_str(), error));
    WardlineTest::CurrentDirectory current(deep);
    ASSERT_GT(::GetCurrentDirectoryW(0, nullptr), static_cast<DWORD>(MAX_PATH));

    EXPECT_TRUE(api.createDirectory(L"logs", error)) << error;
    EXPECT_TRUE(api.directoryExists(L"\\\\?\\" + deep + L"\\logs"));
    const std::wstring driveRelative = deep.substr(0, 2) + L"drive-relative";
    EXPECT_TRUE(api.createDirectory(driveRelative.c_str(), error)) << error;
    EXPECT_TRUE(api.directoryExists(L"\\\\?\\" + deep + L"\\drive-relative"));
}

TEST(PathAPICreateDirectory, RefusesWhatCannotBeADirectory)
{
    ScratchFolder root(L"mkdir-files");
    ASSERT_TRUE(root.write(L"file"));
    PathAPI api;
    DWORD error = 0;
    EXPECT_FALSE(api.createDirectory(nullptr, error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), error);
    EXPECT_FALSE(api.createDirectory(L"", error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), error);

    // A file of that name is in the way, itself or as a parent.
    EXPECT_FALSE(api.createDirectory((root / L"file").c_str(), error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), error);
    EXPECT_FALSE(api.createDirectory((root / L"file\\sub").c_str(), error));
    EXPECT_NE(0u, error);
    EXPECT_TRUE(api.fileExists(root / L"file"));

    EXPECT_FALSE(api.createDirectory(L"Q:\\no-such-drive\\x", error));
    EXPECT_NE(0u, error);
}

TEST(PathAPI, TellsFilesFromDirectories)
{
    ScratchFolder root(L"pathapi-kinds");
    ASSERT_TRUE(root.write(L"file") && root.makeFolder(L"dir"));
    PathAPI api;
    EXPECT_TRUE(api.fileExists(root / L"file"));
    EXPECT_FALSE(api.fileExists(root / L"dir"));
    EXPECT_FALSE(api.fileExists(L""));
    EXPECT_TRUE(api.directoryExists(root / L"dir"));
    EXPECT_FALSE(api.directoryExists(root / L"file"));
    EXPECT_FALSE(api.directoryExists(L""));
    EXPECT_EQ(static_cast<unsigned>(_S_IFREG), api.fileType(root / L"file"));
    EXPECT_EQ(static_cast<unsigned>(_S_IFDIR), api.fileType(root / L"dir"));
    EXPECT_EQ(0u, api.fileType(root / L"missing"));
    EXPECT_STREQ(L"name.log", api.pathFindFileName(L"C:\\x\\name.log"));
}

TEST(PathAPI, FileOperationsReachTheSystem)
{
    ScratchFolder root(L"pathapi-files");
    PathAPI api;
    HANDLE folder = api.createFile(root.path().c_str(), FILE_LIST_DIRECTORY,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, folder);
    alignas(DWORD) BYTE changes[4096] = {};
    OVERLAPPED overlapped{};
    overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(api.readDirectoryChanges(folder, changes, sizeof(changes), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME,
                                         nullptr, &overlapped, nullptr));

    HANDLE file = api.createFile((root / L"a.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ::CloseHandle(file);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(overlapped.hEvent, 10000));
    const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(changes);
    EXPECT_EQ(L"a.txt", std::wstring(change->FileName, change->FileNameLength / sizeof(wchar_t)));
    ::CancelIo(folder);
    ::CloseHandle(overlapped.hEvent);
    ::CloseHandle(folder);

    EXPECT_TRUE(api.moveFile((root / L"a.txt").c_str(), (root / L"b.txt").c_str()));
    EXPECT_FALSE(api.fileExists(root / L"a.txt"));
    EXPECT_TRUE(api.deleteFile((root / L"b.txt").c_str()));
    EXPECT_FALSE(api.fileExists(root / L"b.txt"));
    EXPECT_FALSE(api.deleteFile((root / L"b.txt").c_str()));
}

TEST(PathAPI, DeletesMatchingFilesAndWholeTrees)
{
    ScratchFolder root(L"pathapi-delete");
    ASSERT_TRUE(root.write(L"a.log") && root.write(L"b.log") && root.write(L"keep.txt"));
    ASSERT_TRUE(::SetFileAttributesW((root / L"b.log").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(root.makeFolder(L"c.log") && root.write(L"c.log\\inner.txt"));
    PathAPI api;

    EXPECT_TRUE(api.deleteFiles(root / L"*.log", false));
    EXPECT_FALSE(api.fileExists(root / L"a.log"));
    EXPECT_FALSE(api.fileExists(root / L"b.log"));
    EXPECT_TRUE(api.fileExists(root / L"keep.txt"));
    EXPECT_TRUE(api.directoryExists(root / L"c.log"));
    EXPECT_TRUE(api.deleteFiles(root / L"*.log", true));
    EXPECT_FALSE(api.directoryExists(root / L"c.log"));
    EXPECT_TRUE(api.deleteFiles(root / L"*.none", true));

    ASSERT_TRUE(root.makeFolder(L"tree") && root.makeFolder(L"tree\\sub") && root.write(L"tree\\sub\\f"));
    EXPECT_TRUE(api.removeDirectory(root / L"tree"));
    EXPECT_FALSE(api.directoryExists(root / L"tree"));
    EXPECT_FALSE(api.removeDirectory(root / L"keep.txt"));
    EXPECT_TRUE(api.fileExists(root / L"keep.txt"));

    // A file held open without delete sharing stays, and so does its folder:
    // both report it.
    ASSERT_TRUE(root.makeFolder(L"held.log") && root.write(L"held.log\\f"));
    HANDLE held = ::CreateFileW((root / L"held.log\\f").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_FALSE(api.deleteFiles(root / L"*.log", true));
    EXPECT_TRUE(api.fileExists(root / L"held.log\\f"));
    ::CloseHandle(held);
    EXPECT_TRUE(api.deleteFiles(root / L"*.log", true));
    EXPECT_FALSE(api.directoryExists(root / L"held.log"));
}
