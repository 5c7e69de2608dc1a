// The OS information as the path variables use it, on this machine, through
// the real system calls (no stand-in for the version source).

#include "paths/PathHelpers.h"

#include <gtest/gtest.h>

TEST(OSInfo, ThisMachineIsA64BitNTSystemOutsideWoW64)
{
    Plinth::WinOSVersionAPI api;
    std::wstring version;
    ASSERT_TRUE(api.GetSystemLibraryVersion(version));
    EXPECT_NE(std::wstring::npos, version.find(L'.')) << "ProductVersion of kernel32.dll";
    EXPECT_TRUE(api.IsPlatform(VER_PLATFORM_WIN32_NT));
    EXPECT_FALSE(api.IsPlatform(VER_PLATFORM_WIN32_WINDOWS));
    bool wow64 = true;
    ASSERT_TRUE(api.IsWow64Process(wow64));
    EXPECT_FALSE(wow64);

    Norvan::PathHelpers helpers;
    std::wstring text = L"$(OS.Platform)";
    ASSERT_TRUE(helpers.expandVariables(text));
    EXPECT_EQ(L"x64", text);
}
