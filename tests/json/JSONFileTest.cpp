#include "message/JSONParser.h"

#include "support/JsonText.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

using Norvan::JSONParser;

namespace
{

// A scratch file of this test alone, removed on destruction.
class ScratchFile
{
public:
    ScratchFile()
    {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        m_path = std::wstring(folder) + L"wardline-json-file-test-" + std::to_wstring(GetCurrentProcessId()) +
                 L".json";
    }
    ~ScratchFile() { DeleteFileW(m_path.c_str()); }

    std::FILE* open(const wchar_t* mode) const { return _wfopen(m_path.c_str(), mode); }

    void writeBytes(const std::vector<unsigned char>& bytes) const
    {
        std::FILE* file = open(L"wb");
        ASSERT_NE(nullptr, file);
        // An empty vector's data() may be null, which fwrite must not be given.
        if (!bytes.empty())
        {
            ASSERT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), file));
        }
        std::fclose(file);
    }

    std::vector<unsigned char> readBytes() const
    {
        std::vector<unsigned char> bytes;
        std::FILE* file = open(L"rb");
        if (file == nullptr)
        {
            return bytes;
        }
        int c;
        while ((c = std::fgetc(file)) != EOF)
        {
            bytes.push_back(static_cast<unsigned char>(c));
        }
        std::fclose(file);
        return bytes;
    }

    bool parseInto(JSONParser& parser) const
    {
        std::FILE* file = open(L"rb");
        if (file == nullptr)
        {
            ADD_FAILURE() << "cannot open scratch file";
            return false;
        }
        const bool parsed = parser.parseFile(file);
        std::fclose(file);
        return parsed;
    }

private:
    std::wstring m_path;
};

std::vector<unsigned char> utf16le(const std::wstring& text)
{
    std::vector<unsigned char> bytes;
    for (wchar_t c : text)
    {
        bytes.push_back(static_cast<unsigned char>(c & 0xFF));
        bytes.push_back(static_cast<unsigned char>((c >> 8) & 0xFF));
    }
    return bytes;
}

using WardlineTest::text;

} // namespace

TEST(JSONParserFile, WritesUTF16LEWithoutByteOrderMarkAndReadsItBack)
{
    ScratchFile scratch;
    JSONParser written;
    // Long enough to cross several 256-byte reads, with text outside ASCII and a surrogate pair.
    std::wstring longText(300, L'x');
    longText += L"\xE9\x4E2D\xD83D\xDE00";
    written.setString(L"long", longText);
    written.setIntArray(L"n", {1, -2});

    std::FILE* file = scratch.open(L"wb");
    ASSERT_NE(nullptr, file);
    EXPECT_TRUE(written.writeFile(file));
    std::fclose(file);
    EXPECT_EQ(utf16le(text(written)), scratch.readBytes());

    JSONParser read;
    ASSERT_TRUE(scratch.parseInto(read));
    EXPECT_EQ(text(written), text(read));
}

TEST(JSONParserFile, ByteOrderMarkIsSkipped)
{
    ScratchFile scratch;
    std::vector<unsigned char> bytes = {0xFF, 0xFE};
    const std::vector<unsigned char> body = utf16le(L"{\"a\":1}");
    bytes.insert(bytes.end(), body.begin(), body.end());
    scratch.writeBytes(bytes);
    JSONParser parser;
    ASSERT_TRUE(scratch.parseInto(parser));
    EXPECT_EQ(L"{\"a\":1}", text(parser));
}

TEST(JSONParserFile, BadFilesFailAndKeepTheDocument)
{
    ScratchFile scratch;
    JSONParser parser;
    parser.setBool(L"kept", true);

    std::vector<unsigned char> oddByte = utf16le(L"[1]");
    oddByte.push_back('x');
    std::vector<unsigned char> nulThenMore = utf16le(std::wstring(L"[1]\0[2]", 7));
    const std::vector<std::vector<unsigned char>> bad = {
        {},
        utf16le(L"[1"),
        oddByte,
        nulThenMore,
        {'{', '}'},
        utf16le(std::wstring(L"[\"") + wchar_t(0xDC00) + L"\"]"),
        utf16le(std::wstring(100000, L'[')),
    };
    for (const auto& bytes : bad)
    {
        scratch.writeBytes(bytes);
        EXPECT_FALSE(scratch.parseInto(parser)) << bytes.size();
        EXPECT_EQ(L"{\"kept\":true}", text(parser));
    }

    EXPECT_FALSE(parser.parseFile(nullptr));
    EXPECT_FALSE(parser.writeFile(nullptr));
}
