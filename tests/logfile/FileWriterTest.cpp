#include <gtest/gtest.h>

#include "LogFileSupport.h"
#include "Logging/DefaultLogBuilder.h"
#include "Logging/Log.h"
#include "Logging/Severity.h"
#include "Logging/config/IniReader.h"
#include "support/FailingAllocation.h"
#include "support/ScratchFiles.h"
#include "wrappers/ShlObjAPI.h"

#include <aclapi.h>
#include <sddl.h>

#include <new>
#include <regex>
#include <utility>

using ETWLogging::CLogging;
using LogFileTest::AppLogFolder;
using LogFileTest::ReadLogText;

namespace
{

const HMODULE kThisExe = ::GetModuleHandleW(nullptr);

std::unique_ptr<CLogging> OpenWriter(const AppLogFolder& app, HMODULE module = kThisExe,
                                     const wchar_t* logName = nullptr)
{
    auto writer = std::make_unique<CLogging>();
    EXPECT_EQ(0u, writer->Initialize(app.Application().c_str(), module, logName, nullptr));
    return writer;
}

DWORD Write(CLogging& writer, const std::wstring& message, DWORD level = 1)
{
    return writer.WritePreformatted(L"tests\\logfile\\FileWriterTest", L"FileWriter::test", 7, level,
                                    message.c_str());
}

bool IniDword(const std::wstring& path, const wchar_t* key, DWORD& value)
{
    Plinth::CObfuscatedIniReader ini;
    return ini.Load(path.c_str()) && ini.ReadDword(L"Config", key, value);
}

DWORD StoredIndex(const AppLogFolder& app)
{
    DWORD index = 0;
    return IniDword(app.Ini(), L"LastLogIdx", index) ? index : 0xFFFFFFFF;
}

size_t Count(const std::wstring& text, const std::wstring& fragment)
{
    size_t count = 0;
    for (size_t at = text.find(fragment); at != std::wstring::npos; at = text.find(fragment, at + 1))
    {
        ++count;
    }
    return count;
}

const std::string kMark = "\xFF\xFE";

std::string Utf16(const char* ascii)
{
    std::string bytes;
    for (const char* c = ascii; *c != '\0'; ++c)
    {
        bytes += *c;
        bytes += '\0';
    }
    return bytes;
}

} // namespace

TEST(FileWriter, FolderFileNamesMarkAndLinesAsTheReaderExpects)
{
    AppLogFolder app(L"WLTest.Format");
    auto writer = OpenWriter(app);
    EXPECT_EQ(app.Folder(), writer->LogFolder());
    EXPECT_EQ(app.Root() + L"WLTest.Format\\" + LogFileTest::ExecutableBaseName() + L"\\log.ini",
              writer->ApplicationIniPath());
    EXPECT_EQ(app.Root() + L"log.ini", writer->GlobalIniPath());

    ASSERT_EQ(0u, Write(*writer, L"first"));
    ASSERT_EQ(0u, Write(*writer, L"second\n", 4));
    const std::wregex twoLines(
        LR"(\d\d/\d\d/\d{4} (0[1-9]|1[0-2]):[0-5]\d:[0-5]\d [AP]M\$ -- \(Normal\)\$ first\r\n)"
        LR"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d [AP]M\$ -- \(Error\)\$ second\n)");
    const std::wstring text = ReadLogText(app.File(0));
    EXPECT_TRUE(std::regex_match(text, twoLines)) << LogFileTest::ReadBytes(app.File(0)).size();

    // Without a module the process's file name is a field, cut to 15
    // characters; a log name joins the file name with "_".
    CLogging named;
    ASSERT_EQ(0u, named.Initialize(app.Application().c_str(), nullptr, L"Extra", nullptr));
    ASSERT_EQ(0u, Write(named, L"third"));
    const std::wstring namedFile =
        app.Folder() + L"\\" + LogFileTest::ExecutableBaseName() + L"_Extra000.log";
    const std::wstring exe = LogFileTest::ExecutableBaseName() + L".exe";
    const std::wstring field =
        L"[" + std::wstring(exe.size() < 15 ? 15 - exe.size() : 0, L' ') + exe.substr(0, 15) + L"]$";
    EXPECT_NE(std::wstring::npos, ReadLogText(namedFile).find(L")$ " + field + L" third\r\n"))
        << ReadLogText(namedFile);
}

TEST(FileWriter, RotatesWhenFullThroughEveryEntryAndTruncatesTheOldest)
{
    AppLogFolder app(L"WLTest.Rotation");
    auto writer = OpenWriter(app);
    ASSERT_EQ(262144u, writer->GetMaxSize());
    ASSERT_EQ(3u, writer->GetMaxEntries());

    // About 8 KB a line: 33 lines fill a file.
    std::vector<DWORD> indexAfter;
    for (int i = 0; i < 100; ++i)
    {
        wchar_t marker[16];
        swprintf_s(marker, L"L%03d ", i);
        ASSERT_EQ(0u, Write(*writer, marker + std::wstring(4000, L'x')));
        const DWORD stored = StoredIndex(app);
        indexAfter.push_back(stored == 0xFFFFFFFF ? 0 : stored);
    }
    std::vector<int> rotations;
    for (size_t i = 1; i < indexAfter.size(); ++i)
    {
        if (indexAfter[i] != indexAfter[i - 1])
        {
            rotations.push_back(static_cast<int>(i));
        }
    }
    EXPECT_EQ((std::vector<int>{33, 66, 99}), rotations);
    EXPECT_EQ((std::vector<DWORD>{0, 1, 2, 0}),
              (std::vector<DWORD>{indexAfter[0], indexAfter[33], indexAfter[66], indexAfter[99]}));

    const std::wstring first = ReadLogText(app.File(0));
    EXPECT_EQ(1u, Count(first, L"\r\n"));
    EXPECT_NE(std::wstring::npos, first.find(L"$ L099 "));
    const std::wstring second = ReadLogText(app.File(1));
    EXPECT_EQ(33u, Count(second, L"\r\n"));
    EXPECT_NE(std::wstring::npos, second.find(L"$ L033 "));
    EXPECT_NE(std::wstring::npos, second.find(L"$ L065 "));
    EXPECT_NE(std::wstring::npos, ReadLogText(app.File(2)).find(L"$ L098 "));
}

TEST(FileWriter, LastLogIdxBeyondTheEntriesRestartsAtZero)
{
    for (const char* stored : {"7", "4294967295"})
    {
        AppLogFolder app(L"WLTest.Restart");
        ASSERT_TRUE(app.WriteIni(std::string("[Config]\r\nLastLogIdx=") + stored + "\r\n"));
        ASSERT_TRUE(LogFileTest::WriteBytes(app.File(0), kMark + Utf16("old line\r\n")));
        auto writer = OpenWriter(app);

        ASSERT_EQ(0u, Write(*writer, L"new")) << stored;
        const std::wstring text = ReadLogText(app.File(0));
        EXPECT_EQ(std::wstring::npos, text.find(L"old line")) << stored;
        EXPECT_NE(std::wstring::npos, text.find(L"$ new\r\n")) << stored;
        EXPECT_EQ(0u, StoredIndex(app)) << stored;
    }
}

TEST(FileWriter, InvalidValueRewrittenInApplicationIniAndGlobalValueApplies)
{
    AppLogFolder app(L"WLTest.Settings");
    ASSERT_TRUE(app.WriteIni("[Config]\r\nMaxSize=100\r\n"));
    ASSERT_TRUE(LogFileTest::WriteBytes(app.GlobalIni(),
                                        "[Config]\r\nMaxSize=300000\r\nMaxEntries=5\r\nSeverity=2\r\n"));

    auto writer = OpenWriter(app);
    EXPECT_EQ(300000u, writer->GetMaxSize());
    EXPECT_EQ(5u, writer->GetMaxEntries());
    EXPECT_EQ(2u, writer->GetSeverity());
    // Written back by the first write, which holds the set.
    ASSERT_EQ(0u, Write(*writer, L"first"));
    DWORD rewritten = 0;
    ASSERT_TRUE(IniDword(app.Ini(), L"MaxSize", rewritten));
    EXPECT_EQ(262144u, rewritten);
    DWORD global = 0;
    ASSERT_TRUE(IniDword(app.GlobalIni(), L"MaxSize", global));
    EXPECT_EQ(300000u, global);
}

TEST(FileWriter, GarbageInIniFilesGivesDefaultsAndRepairsTheValues)
{
    AppLogFolder app(L"WLTest.Garbage");
    ASSERT_TRUE(
        app.WriteIni(std::string("\x01\x02\x7F no equals here\r\n\xC3\x28\xA0\xA1=\xFF\r\n[Config]\r\n"
                                 "Enable=yes\r\nMaxEntries=-1\r\nSeverity=99\r\nOptions=0x3D\r\n"
                                 "LastLogIdx=banana\r\n[]\r\n=\r\n")));
    ASSERT_TRUE(LogFileTest::WriteBytes(app.GlobalIni(), "[Config]\r\nMaxSize=huge\r\n[Config\r\n"));

    auto writer = OpenWriter(app);
    EXPECT_TRUE(writer->IsEnabled());
    EXPECT_EQ(262144u, writer->GetMaxSize());
    EXPECT_EQ(3u, writer->GetMaxEntries());
    EXPECT_EQ(3u, writer->GetSeverity());
    EXPECT_EQ(0x10u, writer->GetOptions());
    // An unreadable "LastLogIdx" counts as 0.
    ASSERT_EQ(0u, Write(*writer, L"still logging"));
    EXPECT_NE(std::wstring::npos, ReadLogText(app.File(0)).find(L"$ still logging\r\n"));
    const std::pair<const wchar_t*, DWORD> repaired[] = {
        {L"Enable", 1}, {L"MaxEntries", 3}, {L"Severity", 3}, {L"Options", 0x10}};
    for (const auto& [key, expected] : repaired)
    {
        DWORD value = 0xDEAD;
        EXPECT_TRUE(IniDword(app.Ini(), key, value)) << key;
        EXPECT_EQ(expected, value) << key;
    }
    DWORD global = 0;
    EXPECT_TRUE(IniDword(app.GlobalIni(), L"MaxSize", global));
    EXPECT_EQ(262144u, global);
}

TEST(FileWriter, FailedFolderCreationDisablesTheWriterForGood)
{
    AppLogFolder app(L"WLTest.Blocked");
    DWORD ignored = 0;
    ASSERT_TRUE(Norvan::PathAPI().createDirectory(app.Root().c_str(), ignored));
    const std::wstring blocker = app.Root() + app.Application();
    ASSERT_TRUE(LogFileTest::WriteBytes(blocker, "a file where the folder goes"));
    auto writer = OpenWriter(app);

    EXPECT_EQ(87u, Write(*writer, L"lost"));
    EXPECT_FALSE(writer->IsEnabled());
    EXPECT_EQ(10000u, writer->GetSeverity());
    EXPECT_FALSE(writer->IsLevelEnabled(6));

    ::DeleteFileW(blocker.c_str());
    EXPECT_EQ(87u, Write(*writer, L"still lost"));
    EXPECT_FALSE(LogFileTest::FileExists(app.File(0)));
}

TEST(FileWriter, RefusesBadLevelsMessagesAndFormatsWithoutTouchingTheSet)
{
    AppLogFolder app(L"WLTest.Refusals");
    auto writer = OpenWriter(app);

    EXPECT_EQ(87u, Write(*writer, L"level 0", 0));
    EXPECT_EQ(87u, Write(*writer, L"level 7", 7));
    EXPECT_EQ(87u, Write(*writer, L""));
    EXPECT_EQ(87u, writer->WritePreformatted(L"f", L"fn", 1, 1, nullptr));
    EXPECT_EQ(87u, writer->WriteFormatted(4, L"f", L"fn", 1, nullptr));
    EXPECT_EQ(0u, writer->WriteFormatted(2, L"f", L"fn", 1, L"below the severity"));
    writer->SetEnabled(false);
    EXPECT_EQ(0u, writer->WriteFormatted(4, L"f", L"fn", 1, L"disabled"));
    EXPECT_FALSE(LogFileTest::FileExists(app.File(0)));

    // The Log helpers ignore both; the wide convention holds: %s is wide.
    EXPECT_EQ(0u, writer->LogError(L"f", L"fn", 1, L"%s=%lu", L"code", 5ul));
    EXPECT_NE(std::wstring::npos, ReadLogText(app.File(0)).find(L"(Error)$ code=5\r\n"));
}

TEST(FileWriter, WriteLogKeeps4160CharactersAndCuts4161To2080)
{
    AppLogFolder app(L"WLTest.Cut");
    auto* writer = new CLogging();
    ASSERT_EQ(0u, writer->Initialize(app.Application().c_str(), kThisExe, nullptr, nullptr));
    LogFileTest::InstalledWriter installed(writer);

    EXPECT_EQ(0u, ETWLogging::WriteLog(1, L"f", L"fn", 1, L"%s", std::wstring(4161, L'a').c_str()));
    EXPECT_EQ(0u, ETWLogging::WriteLog(1, L"f", L"fn", 1, L"%s", std::wstring(4160, L'b').c_str()));
    const std::wstring text = ReadLogText(app.File(0));
    EXPECT_NE(std::wstring::npos, text.find(L"$ " + std::wstring(2080, L'a') + L"\r\n"));
    EXPECT_EQ(std::wstring::npos, text.find(std::wstring(2081, L'a')));
    EXPECT_NE(std::wstring::npos, text.find(L"$ " + std::wstring(4160, L'b') + L"\r\n"));
}

// A read-only file, or a folder, where the current log file should be would
// lose every line from then on; the set moves on to the next file instead.
TEST(FileWriter, UnwritableCurrentFileIsPassedBy)
{
    // Hidden and system files too: cutting one fails, and every later line with it.
    for (const DWORD kept : {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM, 0})
    {
        const bool folder = kept == 0;
        AppLogFolder app(folder ? L"WLTest.FolderInPlace" : L"WLTest.ReadOnly");
        ASSERT_TRUE(app.WriteIni("[Config]\r\nLastLogIdx=0\r\n"));
        if (folder)
        {
            ASSERT_TRUE(::CreateDirectoryW(app.File(0).c_str(), nullptr));
        }
        else
        {
            ASSERT_TRUE(LogFileTest::WriteBytes(app.File(0), kMark + Utf16("kept\r\n")));
            ASSERT_TRUE(::SetFileAttributesW(app.File(0).c_str(), kept));
        }
        auto writer = OpenWriter(app);

        ASSERT_EQ(0u, Write(*writer, L"moved on")) << kept;
        EXPECT_NE(std::wstring::npos, ReadLogText(app.File(1)).find(L"$ moved on\r\n")) << kept;
        EXPECT_EQ(1u, StoredIndex(app)) << kept;
        if (!folder)
        {
            EXPECT_EQ(L"kept\r\n", ReadLogText(app.File(0)));
        }
    }
}

// When "LastLogIdx" cannot be stored, a rotation must not be redone (and the
// new file truncated) at every line. A folder stands for the unwritable
// "log.ini": Wine run as root writes read-only files.
TEST(FileWriter, UnwritableIniDoesNotTruncateTheNewFileAtEveryLine)
{
    AppLogFolder app(L"WLTest.UnwritableIni");
    ASSERT_TRUE(app.WriteIni(""));
    ASSERT_TRUE(::DeleteFileW(app.Ini().c_str()));
    ASSERT_TRUE(::CreateDirectoryW(app.Ini().c_str(), nullptr));
    ASSERT_TRUE(LogFileTest::WriteBytes(app.File(0), kMark + std::string(262144, 'x')));
    auto writer = OpenWriter(app);

    ASSERT_EQ(0u, Write(*writer, L"one"));
    ASSERT_EQ(0u, Write(*writer, L"two"));
    const std::wstring text = ReadLogText(app.File(1));
    EXPECT_NE(std::wstring::npos, text.find(L"$ one\r\n")) << LogFileTest::Narrow(text);
    EXPECT_NE(std::wstring::npos, text.find(L"$ two\r\n")) << LogFileTest::Narrow(text);
    EXPECT_EQ(262146u, LogFileTest::ReadBytes(app.File(0)).size());
}

TEST(FileWriter, FolderRemovedWhileRunningIsCreatedAgain)
{
    AppLogFolder app(L"WLTest.Removed");
    auto writer = OpenWriter(app);
    ASSERT_EQ(0u, Write(*writer, L"before"));
    ASSERT_TRUE(Norvan::PathAPI().removeDirectory(app.Folder()));

    ASSERT_EQ(0u, Write(*writer, L"after"));
    EXPECT_NE(std::wstring::npos, ReadLogText(app.File(0)).find(L"$ after\r\n"));
}

TEST(FileWriter, InitializeNamesStatesAndSetterLimits)
{
    AppLogFolder app(L"WLTest.Lifecycle");
    CLogging writer;
    EXPECT_EQ(20002u, writer.Prepare());
    EXPECT_EQ(20002u, Write(writer, L"too early"));
    EXPECT_EQ(20002u, writer.Uninitialize());
    ASSERT_EQ(0u, writer.Initialize(app.Application().c_str(), kThisExe, nullptr, nullptr));
    EXPECT_EQ(0u, writer.Prepare());
    EXPECT_EQ(app.File(2), writer.LogFilePathFor(2));
    // The two name accessors belong to the event writer; this one has none.
    EXPECT_EQ(nullptr, writer.GetSourceName());
    EXPECT_EQ(nullptr, writer.GetApplicationName());
    EXPECT_EQ(20001u, writer.Initialize(app.Application().c_str(), kThisExe, nullptr, nullptr));
    EXPECT_EQ(0u, writer.Uninitialize());
    EXPECT_EQ(20002u, writer.Uninitialize());
    EXPECT_EQ(L"", writer.LogFolder());

    // Names become folder and file names: none may lead elsewhere.
    for (const auto& [application, logName] :
         std::vector<std::pair<const wchar_t*, const wchar_t*>>{{L"", nullptr},
                                                                {L"..", nullptr},
                                                                {L"a\\..\\..\\b", nullptr},
                                                                {L"c:x", nullptr},
                                                                {L"App", L""},
                                                                {L"App", L"x/y"}})
    {
        CLogging refused;
        EXPECT_EQ(87u, refused.Initialize(application, kThisExe, logName, nullptr)) << application;
        EXPECT_EQ(L"", refused.LogFolder());
    }

    writer.SetMaxSize(1);
    EXPECT_EQ(0x40000u, writer.GetMaxSize());
    writer.SetMaxSize(0xFFFFFFFF);
    EXPECT_EQ(0xA00000u, writer.GetMaxSize());
    writer.SetMaxEntries(1);
    EXPECT_EQ(2u, writer.GetMaxEntries());
    writer.SetMaxEntries(101);
    EXPECT_EQ(100u, writer.GetMaxEntries());
    writer.SetSeverity(0);
    EXPECT_EQ(1u, writer.GetSeverity());
    EXPECT_EQ(1u, writer.SetSeverity(9)) << "the process-wide value it replaced";
    EXPECT_EQ(6u, writer.GetSeverity());
}

namespace
{

// The writer's file system with chosen faults: the next file opening (or
// only the next that may cut a file, as a rotation's does) refused with an
// error, the next file handed out without write access, a settings lookup
// that runs out of memory.
class FaultyPaths : public Norvan::PathAPI
{
public:
    HANDLE createFile(const wchar_t* path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD flags, HANDLE templateFile) override
    {
        if (refuseNextWith != ERROR_SUCCESS && (!onlyCutting || (access & GENERIC_WRITE) != 0))
        {
            ::SetLastError(std::exchange(refuseNextWith, ERROR_SUCCESS));
            return INVALID_HANDLE_VALUE;
        }
        if (std::exchange(nextReadOnly, false))
        {
            access = GENERIC_READ;
        }
        return PathAPI::createFile(path, access, share, security, disposition, flags, templateFile);
    }
    bool fileExists(const std::wstring& path) override
    {
        if (lookupsRunOutOfMemory)
        {
            throw std::bad_alloc();
        }
        return PathAPI::fileExists(path);
    }

    DWORD refuseNextWith = ERROR_SUCCESS;
    bool onlyCutting = false;
    bool nextReadOnly = false;
    bool lookupsRunOutOfMemory = false;
};

class NoProgramData : public Norvan::ShlObjAPI
{
public:
    HRESULT getKnownFolderPath(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) override
    {
        *path = nullptr;
        return E_FAIL;
    }
};

} // namespace

TEST(FileWriter, AFileThatCannotBeOpenedOrWrittenLosesOneLineAndTheNextWriteTriesAgain)
{
    AppLogFolder app(L"WLTest.Faults");
    auto paths = std::make_shared<FaultyPaths>();
    CLogging writer(paths);
    ASSERT_EQ(0u, writer.Initialize(app.Application().c_str(), kThisExe, nullptr, nullptr));

    paths->refuseNextWith = ERROR_SHARING_VIOLATION;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), Write(writer, L"not opened"));
    paths->nextReadOnly = true;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Write(writer, L"not written"));
    ASSERT_EQ(0u, Write(writer, L"written"));

    const std::wstring text = ReadLogText(app.File(0));
    EXPECT_EQ(std::wstring::npos, text.find(L"not "));
    EXPECT_EQ(1u, Count(text, L"$ written\r\n")) << LogFileTest::Narrow(text);
    EXPECT_TRUE(writer.IsEnabled()) << "a lost line does not turn the writer off";

    // The same for the new file of a rotation.
    ASSERT_TRUE(::SetFileAttributesW(app.File(0).c_str(), FILE_ATTRIBUTE_READONLY));
    paths->refuseNextWith = ERROR_DISK_FULL;
    paths->onlyCutting = true;
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), Write(writer, L"not rotated"));
    ASSERT_EQ(0u, Write(writer, L"rotated"));
    EXPECT_EQ(L"$ rotated\r\n", ReadLogText(app.File(1)).substr(ReadLogText(app.File(1)).rfind(L"$ ")));
    EXPECT_EQ(1u, StoredIndex(app));
    ::SetFileAttributesW(app.File(0).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(FileWriter, WhileNoFileOfTheSetIsUsableLinesAreLost)
{
    AppLogFolder app(L"WLTest.AllBlocked");
    ASSERT_TRUE(app.WriteIni("[Config]\r\nMaxEntries=2\r\nLastLogIdx=0\r\n"));
    ASSERT_TRUE(::CreateDirectoryW(app.File(0).c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(app.File(1).c_str(), nullptr));
    auto writer = OpenWriter(app);

    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Write(*writer, L"nowhere to go"));
    EXPECT_EQ(0u, StoredIndex(app));
    ASSERT_TRUE(::RemoveDirectoryW(app.File(1).c_str()));
    ASSERT_EQ(0u, Write(*writer, L"somewhere"));
    EXPECT_EQ(L"$ somewhere\r\n", ReadLogText(app.File(1)).substr(ReadLogText(app.File(1)).rfind(L"$ ")));
    EXPECT_EQ(1u, StoredIndex(app));
}

TEST(FileWriter, LogHelpersWriteAtTheirOwnLevelWhateverTheSeverity)
{
    AppLogFolder app(L"WLTest.Helpers");
    auto writer = OpenWriter(app);
    writer->SetSeverity(6);
    EXPECT_EQ(6u, ETWLogging::CurrentSeverity()) << "the process-wide severity follows the writer's";
    EXPECT_EQ(0u, writer->LogNormal(L"f", L"fn", 1, L"%s", L"n"));
    EXPECT_EQ(0u, writer->LogWarning(L"f", L"fn", 1, L"%s", L"w"));
    EXPECT_EQ(0u, writer->LogInformation(L"f", L"fn", 1, L"%s", L"i"));
    EXPECT_EQ(0u, writer->LogCritical(L"f", L"fn", 1, L"%s", L"c"));
    const std::wstring text = ReadLogText(app.File(0));
    size_t at = 0;
    for (const wchar_t* line :
         {L"(Normal)$ n\r\n", L"(Warning)$ w\r\n", L"(Information)$ i\r\n", L"(Critical)$ c\r\n"})
    {
        at = text.find(line, at);
        EXPECT_NE(std::wstring::npos, at) << LogFileTest::Narrow(line);
    }
}

TEST(FileWriter, InitializeWithoutProgramDataOrMemoryFailsAndKeepsNothing)
{
    AppLogFolder app(L"WLTest.InitFaults");
    CLogging noRoot(nullptr, std::make_shared<NoProgramData>());
    EXPECT_EQ(87u, noRoot.Initialize(app.Application().c_str(), kThisExe, nullptr, nullptr));
    EXPECT_EQ(L"", noRoot.LogFolder());
    EXPECT_EQ(20002u, noRoot.Prepare());

    ASSERT_TRUE(app.WriteIni("[Config]\r\nMaxEntries=5\r\n"));
    auto paths = std::make_shared<FaultyPaths>();
    paths->lookupsRunOutOfMemory = true;
    CLogging starved(paths);
    EXPECT_EQ(14u, starved.Initialize(app.Application().c_str(), kThisExe, nullptr, nullptr));
    EXPECT_EQ(L"", starved.LogFolder());
    EXPECT_EQ(20002u, starved.Prepare());

    // Nothing half made stays behind: the next Initialize starts afresh.
    paths->lookupsRunOutOfMemory = false;
    ASSERT_EQ(0u, starved.Initialize(app.Application().c_str(), kThisExe, nullptr, nullptr));
    EXPECT_EQ(5u, starved.GetMaxEntries());
}

// With each allocation of a write failing in turn (the first line of a new
// file, then a line of a rotation), a line reported written is in the set
// once and whole, one reported lost is not there at all, and no exception
// leaves the writer.
TEST(FileWriter, OutOfMemoryNeverLeavesHalfALine)
{
    AppLogFolder app(L"WLTest.OutOfMemory");
    auto writer = OpenWriter(app);
    for (const bool rotate : {false, true})
    {
        const std::wstring line = rotate ? L"rotated line" : L"first line";
        if (rotate)
        {
            ASSERT_TRUE(LogFileTest::WriteBytes(app.File(0), kMark + std::string(262144, 'x')));
        }
        DWORD result = 0;
        size_t written = 0;
        const auto check = [&](long n)
        {
            written += result == 0 ? 1 : 0;
            size_t found = 0;
            for (DWORD index = 0; index < 3; ++index)
            {
                found += Count(ReadLogText(app.File(index)), L"$ " + line + L"\r\n");
            }
            EXPECT_EQ(written, found) << "allocation " << n << ", result " << result;
        };
        EXPECT_GT(WardlineTest::FailEachAllocationInTurn([&] { result = Write(*writer, line); }, check), 0);
        EXPECT_EQ(0u, result);
        check(-1);
    }
}

TEST(FileWriter, BuilderMakesTheFileWriterForMechanismOne)
{
    AppLogFolder app(L"WLTest.Builder");
    ETWLogging::CDefaultLogBuilder builder;
    ETWLogging::CLoggingIf* built = nullptr;
    ASSERT_TRUE(builder.BuildEx(nullptr, app.Application().c_str(), kThisExe, nullptr, 1, &built, nullptr));
    auto* writer = dynamic_cast<CLogging*>(built);
    ASSERT_NE(nullptr, writer);
    EXPECT_EQ(app.Folder(), writer->LogFolder());
    EXPECT_EQ(0u, built->Release()) << "the builder's reference was the only one";
}

// Another process holding the set (a hung host, one in a debugger) costs one
// bounded wait, not one per line: until the set is seen free each line only
// looks, and goes to the current file if it is there, never making one.
TEST(FileWriter, ASetHeldByAnotherProcessCostsOneBoundedWait)
{
    AppLogFolder app(L"WLTest.Held");
    auto writer = OpenWriter(app);
    ASSERT_EQ(0u, Write(*writer, L"before"));
    const std::wstring ready = L"Local\\wardline-logfile-held-" + std::to_wstring(::GetCurrentProcessId());
    Norvan::unique_handle readyEvent(::CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
    auto holder = LogFileTest::StartChild(L"hold \"" + app.Folder() + L"\" " + ready + L" 30000", L"held");
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(readyEvent.get(), 60 * 1000)) << holder->Output();

    const ULONGLONG start = ::GetTickCount64();
    int written = 0;
    while (written < 1000 && ::GetTickCount64() - start < 25000)
    {
        ASSERT_EQ(0u, Write(*writer, L"held " + std::to_wstring(written++)));
    }
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    std::printf("%d lines with the set held by another process: %llu ms\n", written, elapsed);
    EXPECT_LT(elapsed, 20000u);
    EXPECT_EQ(1000u, Count(ReadLogText(app.File(0)), L"$ held "));
    ASSERT_TRUE(::DeleteFileW(app.File(0).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), Write(*writer, L"nowhere to go"));
    EXPECT_FALSE(LogFileTest::FileExists(app.File(0)));
}

// A name someone took first, as another kind of object, as a mutex nobody
// may wait for, or as another account's mutex: said once, in the set, whose
// writers take turns through the lock file.
TEST(FileWriter, SquattedMutexNameIsReportedOnceAndTheLockFileServes)
{
    for (const wchar_t* squatter : {L"", L"D:P", L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)"})
    {
        AppLogFolder app(L"WLTest.Squatted");
        const std::wstring name = ETWLogging::CLogSetMutex::NameFor(app.Folder());
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(squatter, SDDL_REVISION_1, &descriptor,
                                                               nullptr);
        Norvan::unique_hlocal descriptorOwner(descriptor);
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
        Norvan::unique_handle squat(*squatter == L'\0' ? ::CreateEventW(nullptr, TRUE, FALSE, name.c_str())
                                                       : ::CreateMutexW(&attributes, FALSE, name.c_str()));
        auto writer = OpenWriter(app);
        for (const wchar_t* line : {L"one", L"two"})
        {
            ASSERT_EQ(0u, Write(*writer, line)) << LogFileTest::Narrow(squatter);
        }
        const std::wstring text = ReadLogText(app.File(0));
        EXPECT_EQ(1u, Count(text, L"(Warning)$ The log set's mutex " + name + L" cannot be used: "))
            << LogFileTest::Narrow(text);
        EXPECT_NE(std::wstring::npos, text.find(L"$ two\r\n", text.find(L"$ one\r\n")))
            << LogFileTest::Narrow(text);
        EXPECT_TRUE(LogFileTest::FileExists(app.Folder() + L"\\log.lock")) << LogFileTest::Narrow(squatter);
    }
}

// Two writers of one set that disagree: one with a larger maximum size (an
// edited "log.ini", or an invalid value that sent only the first host to the
// global one), or neither able to store "LastLogIdx". No line goes to a file
// the other rotated away from, and no rotation cuts the file the other
// rotated to.
TEST(FileWriter, WritersThatDisagreeKeepToTheCurrentFile)
{
    for (const bool unstorable : {false, true})
    {
        AppLogFolder app(L"WLTest.Disagree");
        ASSERT_TRUE(app.WriteIni("[Config]\r\nLastLogIdx=0\r\n"));
        ASSERT_TRUE(!unstorable ||
                    (::DeleteFileW(app.Ini().c_str()) && ::CreateDirectoryW(app.Ini().c_str(), nullptr)));
        ASSERT_TRUE(LogFileTest::WriteBytes(app.File(0), kMark + std::string(262144, 'x')));
        auto first = OpenWriter(app);
        auto second = OpenWriter(app);
        first->SetMaxSize(unstorable ? 0x40000 : 0xA00000);
        for (auto [writer, line] :
             {std::make_pair(first.get(), L"zero"), {second.get(), L"one"}, {first.get(), L"two"}})
        {
            ASSERT_EQ(0u, Write(*writer, line)) << unstorable;
        }
        const std::wstring text = ReadLogText(app.File(1));
        const size_t zero = text.find(L"$ zero\r\n");
        EXPECT_TRUE(unstorable ? zero < text.find(L"$ one\r\n") : zero == std::wstring::npos)
            << LogFileTest::Narrow(text);
        EXPECT_NE(std::wstring::npos, text.find(L"$ two\r\n", text.find(L"$ one\r\n")))
            << LogFileTest::Narrow(text);
    }
}

// A link planted where a log file will be must not steer a rotation's cut,
// or any line, to a file elsewhere: the set is refused.
TEST(FileWriter, HardLinkInTheSetIsNotWrittenThrough)
{
    AppLogFolder app(L"WLTest.HardLink");
    WardlineTest::ScratchFolder elsewhere(L"logfile-victim");
    ASSERT_TRUE(elsewhere.write(L"victim.txt", "precious"));
    ASSERT_TRUE(app.WriteIni("[Config]\r\nLastLogIdx=0\r\n"));
    ASSERT_TRUE(LogFileTest::WriteBytes(app.File(0), kMark + std::string(262144, 'x')));
    ASSERT_TRUE(::CreateHardLinkW(app.File(1).c_str(), (elsewhere / L"victim.txt").c_str(), nullptr));
    auto writer = OpenWriter(app);

    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Write(*writer, L"steered"));
    const std::vector<BYTE> victim = LogFileTest::ReadBytes(elsewhere / L"victim.txt");
    EXPECT_EQ("precious", std::string(victim.begin(), victim.end()));
    EXPECT_FALSE(writer->IsEnabled());
}

// Wine 8 plants no junction or symbolic link (CreateSymbolicLinkW answers
// TRUE and makes nothing; FSCTL_SET_REPARSE_POINT answers 50), and every
// file there belongs to the one user: the writer's file system here says
// that the application folder is a junction, or another account's.
class PlantedPaths : public Norvan::PathAPI
{
public:
    explicit PlantedPaths(bool link) : link_(link) {}
    bool handleShape(HANDLE handle, FileShape& shape) override
    {
        const bool known = PathAPI::handleShape(handle, shape);
        shape.attributes |= link_ && IsPlanted(handle) ? FILE_ATTRIBUTE_REPARSE_POINT : 0;
        return known;
    }
    DWORD handleOwner(HANDLE handle, std::vector<BYTE>& owner) override
    {
        // S-1-5-21-1-2-3-1001
        const BYTE other[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 1, 0,
                              0, 0, 2, 0, 0, 0, 3, 0, 0,  0, 0xE9, 3, 0, 0};
        const DWORD error = PathAPI::handleOwner(handle, owner);
        owner = !link_ && IsPlanted(handle) ? std::vector<BYTE>(std::begin(other), std::end(other)) : owner;
        return error;
    }

private:
    static bool IsPlanted(HANDLE handle)
    {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = ::GetFinalPathNameByHandleW(handle, path, MAX_PATH, 0);
        const std::wstring planted = L"\\WLTest.Planted";
        return length > planted.size() && _wcsicmp(path + length - planted.size(), planted.c_str()) == 0;
    }
    bool link_;
};

TEST(FileWriter, FolderThatIsALinkOrAnotherAccountsRefusesTheSet)
{
    for (const bool link : {true, false})
    {
        AppLogFolder app(L"WLTest.Planted");
        CLogging writer(std::make_shared<PlantedPaths>(link));
        ASSERT_EQ(0u, writer.Initialize(app.Application().c_str(), kThisExe, nullptr, nullptr));
        EXPECT_EQ(87u, Write(writer, L"steered")) << link;
        EXPECT_FALSE(writer.IsEnabled()) << link;
        EXPECT_FALSE(LogFileTest::FileExists(app.File(0))) << link;
    }
}

// The set's folder is closed to every other account: ProgramData would let
// users add files, and links, to it. (Wine keeps a DACL as mode bits, and
// shows whether everyone has some access.)
TEST(FileWriter, SetFolderIsClosedToOtherAccounts)
{
    AppLogFolder app(L"WLTest.Dacl");
    ASSERT_EQ(0u, Write(*OpenWriter(app), L"first"));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(0u, ::GetNamedSecurityInfoW(app.Folder().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, nullptr, nullptr, &descriptor));
    Norvan::unique_hlocal descriptorOwner(descriptor);
    wchar_t* sddl = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr));
    Norvan::unique_hlocal sddlOwner(sddl);
    for (const wchar_t* others : {L";WD)", L";AU)", L";BU)"})
    {
        EXPECT_EQ(nullptr, wcsstr(sddl, others)) << LogFileTest::Narrow(sddl);
    }
}
