#include "paths/PathSearch.h"

#include "support/LogCapture.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

using Norvan::PathSearch;
using WardlineTest::LogCapture;
using WardlineTest::ScratchFolder;

namespace
{

std::vector<std::wstring> texts(const std::vector<WardlineTest::LogLine>& lines)
{
    std::vector<std::wstring> result;
    for (const auto& line : lines)
    {
        result.push_back(line.text);
    }
    return result;
}

} // namespace

TEST(PathSearch, FirstFolderInListOrderWinsWithoutTrailingBackslash)
{
    ScratchFolder root(L"search-order");
    ASSERT_TRUE(root.makeFolder(L"A") && root.makeFolder(L"B"));
    ASSERT_TRUE(root.write(L"A\\lib.dll") && root.write(L"B\\lib.dll") && root.write(L"B\\only.dll"));

    PathSearch search;
    search.addSearchPaths({root / L"A\\", root / L"B"});
    std::wstring folder;
    ASSERT_TRUE(search.findFilePath(L"lib.dll", folder));
    EXPECT_EQ(root / L"A", folder);
    ASSERT_TRUE(search.findFilePath(L"only.dll", folder));
    EXPECT_EQ(root / L"B", folder);

    search.addSearchPath(L"C:\\later");
    search.addSearchPath(std::wstring(L"C:\\last"));
    const std::vector<std::wstring> expected = {root / L"A\\", root / L"B", L"C:\\later", L"C:\\last"};
    EXPECT_EQ(expected, search.getSearchPaths());
}

TEST(PathSearch, MissingFileLogsEveryFolderAndLeavesTheOutFolder)
{
    ScratchFolder root(L"search-missing");
    // A directory of the searched name is no match.
    ASSERT_TRUE(root.makeFolder(L"lib.dll"));
    PathSearch search;
    search.addSearchPaths({root.path(), root / L"nowhere"});

    LogCapture log;
    std::wstring folder = L"untouched";
    EXPECT_FALSE(search.findFilePath(L"lib.dll", folder));
    EXPECT_EQ(L"untouched", folder);
    const std::vector<std::wstring> expected = {
        L"Entering findFilePath for file lib.dll",
        L"Entering checkIfExists for " + root / L"lib.dll",
        L"File does not exist.",
        L"Entering checkIfExists for " + root / L"nowhere\\lib.dll",
        L"File does not exist.",
        L"File not found.",
    };
    EXPECT_EQ(expected, texts(log.lines()));
    const auto lines = log.lines();
    EXPECT_EQ(2u, lines.back().level);
    EXPECT_EQ(L"PathSearch", lines.back().file);
    EXPECT_EQ(L"Norvan::PathSearch::findFilePath", lines.back().function);
    EXPECT_EQ(L"Norvan::PathSearch::checkIfExists", lines[2].function);
}

TEST(PathSearch, FoundFileLogsItsFolder)
{
    ScratchFolder root(L"search-found");
    ASSERT_TRUE(root.write(L"lib.dll"));
    PathSearch search;
    search.addSearchPath(root.path() + L"\\");

    LogCapture log;
    std::wstring folder;
    ASSERT_TRUE(search.findFilePath(L"lib.dll", folder));
    const std::vector<std::wstring> expected = {
        L"Entering findFilePath for file lib.dll",
        L"Entering checkIfExists for " + root.path() + L"\\\\lib.dll",
        L"File exists",
        L"File found at path " + root.path() + L". Returning success.",
    };
    EXPECT_EQ(expected, texts(log.lines()));
    for (const auto& line : log.lines())
    {
        EXPECT_EQ(1u, line.level) << line.text.c_str();
    }
}

TEST(PathSearch, FoldersThatAreNotFullPathsNeverMatch)
{
    // A file planted in the current directory, and under a folder named like
    // a variable that could not be expanded.
    ScratchFolder root(L"search-relative");
    ASSERT_TRUE(root.write(L"lib.dll"));
    ASSERT_TRUE(root.makeFolder(L"$(Hubframe.InstallDir)") && root.write(L"$(Hubframe.InstallDir)\\lib.dll"));
    WardlineTest::CurrentDirectory current(root.path());

    PathSearch search;
    search.addSearchPaths({L"", L".", L"$(Hubframe.InstallDir)", L"\\", L"C:lib"});
    std::wstring folder;
    EXPECT_FALSE(search.findFilePath(L"lib.dll", folder));
    EXPECT_FALSE(search.checkIfExists(L"lib.dll"));
    EXPECT_TRUE(search.checkIfExists(root / L"lib.dll"));
}
