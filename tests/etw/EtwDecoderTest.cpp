#include "EtwEventDecoder.h"

#include "RecordBytes.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

using EtwTest::RecordBytes;

namespace
{

// The event class {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66} as it lies in memory.
const std::string kEventClassBytes("\xD0\xAA\x1D\xCD\xCC\x54\xE0\x11\xB8\xAF\x08\x00\x20\x0C\x9A\x66", 16);
const std::string kMessage("say \"hi\"\n\0", 10);

std::vector<std::uint8_t> Header()
{
    return RecordBytes()
        .U16(124) // size
        .Raw(std::string("\0\0", 2))
        .Raw("\x01\x04") // type 1, level 4
        .U16(2)          // version
        .U32(0x10)
        .U32(0x20)
        .U64(0x0102030405060708ull)
        .Raw(kEventClassBytes)
        .U32(0)
        .U32(0x120000)
        .Bytes();
}

std::vector<std::uint8_t> Data()
{
    return RecordBytes()
        .U32(1234)
        .U32(5678)
        .Counted(L"host.exe")
        .Counted(L"dllmain")
        .Counted(L"DllMain")
        .U32(17)
        .Counted(L"Wardline.dll")
        .Counted(L"2.1.0.0")
        .Counted(L"Wardline")
        .U64(kMessage.size())
        .Raw(kMessage)
        .Bytes();
}

std::vector<std::uint8_t> Event()
{
    std::vector<std::uint8_t> bytes = Header();
    const std::vector<std::uint8_t> data = Data();
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

const char kExpectedText[] = "header.size: 124\n"
                             "header.headerType: 0\n"
                             "header.markerFlags: 0\n"
                             "header.type: 1\n"
                             "header.level: 4\n"
                             "header.version: 2\n"
                             "header.threadId: 16\n"
                             "header.processId: 32\n"
                             "header.timeStamp: 72623859790382856\n"
                             "header.guid: {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66}\n"
                             "header.clientContext: 0\n"
                             "header.flags: 0x00120000\n"
                             "processId: 1234\n"
                             "threadId: 5678\n"
                             "processFileName: \"host.exe\"\n"
                             "sourceFile: \"dllmain\"\n"
                             "function: \"DllMain\"\n"
                             "line: 17\n"
                             "moduleFileName: \"Wardline.dll\"\n"
                             "moduleVersion: \"2.1.0.0\"\n"
                             "applicationName: \"Wardline\"\n"
                             "messageLength: 10\n"
                             "message: \"say \\\"hi\\\"\\n\\0\"\n";

std::string Hex(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    char pair[4];
    for (std::size_t i = 0; i < bytes.size(); ++i)
    {
        snprintf(pair, sizeof(pair), "%02x", bytes[i]);
        text += pair;
        text += (i % 16 == 15) ? "\n" : " ";
    }
    return text;
}

std::string ReadFileText(const std::wstring& path)
{
    std::string text;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        ADD_FAILURE() << "cannot open the tool's output: " << GetLastError();
        return text;
    }
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
    {
        text.append(chunk, got);
    }
    CloseHandle(file);
    return text;
}

struct ToolRun
{
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

// Runs the decoder tool beside this program with its output in a file of
// the scratch folder.
ToolRun RunTool(const WardlineTest::ScratchFolder& scratch, const std::wstring& arguments)
{
    const std::wstring outputPath = scratch / L"tool.out";

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ToolRun run;
    if (output == INVALID_HANDLE_VALUE)
    {
        ADD_FAILURE() << "cannot create the output file: " << GetLastError();
        return run;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring commandLine = L"\"" + WardlineTest::executableFolder() + L"etwdecode.exe\" " + arguments;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
    {
        ADD_FAILURE() << "cannot start etwdecode.exe: " << GetLastError();
        CloseHandle(output);
        return run;
    }
    WaitForSingleObject(process.hProcess, 60000);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(output);

    run.output = ReadFileText(outputPath);
    // The tool writes text-mode lines.
    std::string plain;
    for (char c : run.output)
    {
        if (c != '\r')
        {
            plain += c;
        }
    }
    run.output = plain;
    return run;
}

} // namespace

TEST(EtwDecoder, PrintsEveryFieldByName)
{
    const std::vector<std::uint8_t> bytes = Event();
    EtwDecode::DecodedEvent event;
    std::string error;
    ASSERT_TRUE(EtwDecode::DecodeEvent(bytes.data(), bytes.size(), true, event, error)) << error;
    EXPECT_EQ(kExpectedText, EtwDecode::FormatEvent(event));

    // The data alone prints the same without the header lines.
    const std::vector<std::uint8_t> data = Data();
    ASSERT_TRUE(EtwDecode::DecodeEvent(data.data(), data.size(), false, event, error)) << error;
    const std::string text = kExpectedText;
    EXPECT_EQ(text.substr(text.find("\nprocessId:") + 1), EtwDecode::FormatEvent(event));
}

TEST(EtwDecoder, RefusesBytesThatAreNotAnEventNamingTheField)
{
    struct Case
    {
        const char* what;
        std::vector<std::uint8_t> bytes;
        bool withHeader;
        const char* errorStart;
    };
    std::vector<std::uint8_t> cutInFunction = Data();
    cutInFunction.resize(4 + 4 + 2 + 16 + 2 + 14 + 2 + 4);
    std::vector<std::uint8_t> extraByte = Data();
    extraByte.push_back(0);
    std::vector<std::uint8_t> shortMessage = Data();
    shortMessage.pop_back();
    const Case cases[] = {
        {"empty", {}, false, "processId:"},
        {"cut inside a counted string", cutInFunction, false, "function:"},
        {"a byte after the message", extraByte, false, "message:"},
        {"a message shorter than its length", shortMessage, false, "message:"},
        {"a short header", std::vector<std::uint8_t>(20, 0), true, "header.timeStamp:"},
    };
    for (const Case& c : cases)
    {
        EtwDecode::DecodedEvent event;
        std::string error;
        EXPECT_FALSE(EtwDecode::DecodeEvent(c.bytes.data(), c.bytes.size(), c.withHeader, event, error))
            << c.what;
        EXPECT_EQ(0u, error.find(c.errorStart)) << c.what << ": " << error;
    }

    std::vector<std::uint8_t> parsed;
    std::string error;
    EXPECT_TRUE(EtwDecode::ParseHex("0a 1B\n ff", parsed, error));
    EXPECT_EQ((std::vector<std::uint8_t>{0x0A, 0x1B, 0xFF}), parsed);
    EXPECT_FALSE(EtwDecode::ParseHex("0a 1", parsed, error));
    EXPECT_FALSE(EtwDecode::ParseHex("0x1b", parsed, error));
}

TEST(EtwDecoder, ToolDecodesAFileAndRefusesGarbage)
{
    const WardlineTest::ScratchFolder scratch(L"etwdecode");
    const std::vector<std::uint8_t> event = Event();
    ASSERT_TRUE(scratch.write(L"raw.bin", std::string(event.begin(), event.end())));
    ASSERT_TRUE(scratch.write(L"data.hex", Hex(Data())));
    ASSERT_TRUE(scratch.write(L"garbage.bin", "not an event at all"));
    const std::wstring raw = scratch / L"raw.bin";
    const std::wstring hex = scratch / L"data.hex";
    const std::wstring garbage = scratch / L"garbage.bin";

    ToolRun run = RunTool(scratch, L"\"" + raw + L"\"");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(kExpectedText, run.output);

    run = RunTool(scratch, L"--data --hex \"" + hex + L"\"");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_NE(std::string::npos, run.output.find("moduleVersion: \"2.1.0.0\"\n")) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("header.")) << run.output;

    run = RunTool(scratch, L"\"" + garbage + L"\"");
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(0u, run.output.find("etwdecode: not an event of this provider: header.")) << run.output;

    run = RunTool(scratch, L"--bogus");
    EXPECT_EQ(2u, run.exitCode);
}
