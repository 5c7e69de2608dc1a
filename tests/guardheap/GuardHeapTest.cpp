#include <gtest/gtest.h>

#include "GuardHeap.h"
#include "support/ChildProcess.h"

#include <string>

namespace
{

std::wstring besideThisExe(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.rfind(L'\\') + 1) + name;
}

// The child that makes `kind`, and the file its output goes to.
std::wstring childCommand(const wchar_t* kind)
{
    return L"\"" + besideThisExe(L"guardheap_child.exe") + L"\" " + kind;
}
std::wstring outputOf(const wchar_t* kind)
{
    return besideThisExe((std::wstring(L"guardheap-") + kind + L".txt").c_str());
}

struct Case
{
    const wchar_t* error;
    const char* report;
};

// Each error is made in a process of its own, which the heap must stop with
// the address and what happened, before the program goes on.
TEST(GuardHeap, StopsTheProgramAtEachMemoryError)
{
    const Case cases[] = {
        {L"overrun", "byte 0 past the end of the block"},
        {L"overrun-unaligned", "write past the end of the block"},
        {L"read-after-free", "after its block"},
        {L"double-free", "double free of"},
        {L"foreign-free", "which no heap of this process gave out"},
    };
    for (const Case& c : cases)
    {
        const std::wstring output = outputOf(c.error);
        WardlineTest::ChildProcess child(childCommand(c.error), output);
        ASSERT_TRUE(child.Started());
        EXPECT_EQ(GuardHeap::kStopExitCode, child.Wait(60000)) << c.error;
        const std::string printed = child.Output();
        EXPECT_NE(std::string::npos, printed.find("guardheap: ")) << c.error << ": " << printed;
        EXPECT_NE(std::string::npos, printed.find(c.report)) << c.error << ": " << printed;
        EXPECT_EQ(std::string::npos, printed.find("survived")) << c.error << ": " << printed;
        ::DeleteFileW(output.c_str());
    }
}

// A correct program runs to its end, also when it exits while another of
// its threads is inside the heap and the heap is used after that thread is
// gone (as a library's teardown does).
TEST(GuardHeap, LeavesACorrectProgramAlone)
{
    for (const wchar_t* run : {L"none", L"exit-while-allocating"})
    {
        const std::wstring output = outputOf(run);
        WardlineTest::ChildProcess child(childCommand(run), output);
        ASSERT_TRUE(child.Started());
        EXPECT_EQ(0u, child.Wait(60000)) << run;
        EXPECT_NE(std::string::npos, child.Output().find("survived")) << run;
        ::DeleteFileW(output.c_str());
    }
}

} // namespace
