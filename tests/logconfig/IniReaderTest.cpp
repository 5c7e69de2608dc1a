#include "Logging/config/IniReader.h"
#include "Logging/config/ScrambledValue.h"

#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <string>

using LogConfigTest::TempFolder;
using Plinth::CBaseIniReader;
using Plinth::CObfuscatedIniReader;
using Plinth::CScrambledValue;

namespace
{

// One file exercising every line rule, with LF, CRLF and lone CR line ends,
// trailing tabs and no final line end.
const wchar_t kRules[] = L"; comment=1\r\n"
                         L"Top=0\r\n"
                         L"[Config]\r\n"
                         L"Enable=1\n"
                         L"MaxSize = 300000   \r\n"
                         L"  Severity=4\r\n"
                         L"Key=a=b=c\r"
                         L"Tabbed=7\t \t\r\n"
                         L"NoEquals\r\n"
                         L"\r\n"
                         L"[]\r\n"
                         L"Options=16\r\n"
                         L";Hidden=5\r\n"
                         L" ;NotComment=6\r\n"
                         L"[Other]   \r\n"
                         L"Enable=0\r\n"
                         L"[Config]\r\n"
                         L"Enable=9\r\n"
                         L"LastLogIdx=2";

std::string Ascii(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

void ExpectRules(const CBaseIniReader& ini)
{
    DWORD value = 0;
    std::wstring text;
    EXPECT_EQ(11u, ini.EntryCount());

    EXPECT_TRUE(ini.ReadDword(L"", L"Top", value));
    EXPECT_EQ(0u, value);
    EXPECT_FALSE(ini.ReadString(L"", L"; comment", text));

    // The first of two entries wins, sections and keys ignore case.
    EXPECT_TRUE(ini.ReadDword(L"Config", L"Enable", value));
    EXPECT_EQ(1u, value);
    EXPECT_TRUE(ini.ReadDword(L"CONFIG", L"enable", value));
    EXPECT_EQ(1u, value);

    // The key is the text before '=', spaces included; the value keeps its
    // leading spaces and loses the trailing ones.
    EXPECT_FALSE(ini.ReadDword(L"Config", L"MaxSize", value));
    EXPECT_TRUE(ini.ReadString(L"Config", L"MaxSize ", text));
    EXPECT_EQ(L" 300000", text);
    EXPECT_TRUE(ini.ReadDword(L"Config", L"MaxSize ", value));
    EXPECT_EQ(300000u, value);
    EXPECT_FALSE(ini.ReadDword(L"Config", L"Severity", value));
    EXPECT_TRUE(ini.ReadDword(L"Config", L"  Severity", value));
    EXPECT_EQ(4u, value);

    EXPECT_TRUE(ini.ReadString(L"Config", L"Key", text));
    EXPECT_EQ(L"a=b=c", text);
    EXPECT_TRUE(ini.ReadString(L"Config", L"Tabbed", text));
    EXPECT_EQ(L"7", text);
    EXPECT_FALSE(ini.ReadString(L"Config", L"NoEquals", text));

    // "[]" keeps the section; ';' comments only in the first column.
    EXPECT_TRUE(ini.ReadDword(L"Config", L"Options", value));
    EXPECT_EQ(16u, value);
    EXPECT_FALSE(ini.ReadString(L"Config", L";Hidden", text));
    EXPECT_TRUE(ini.ReadDword(L"Config", L" ;NotComment", value));
    EXPECT_EQ(6u, value);

    EXPECT_TRUE(ini.ReadDword(L"Other", L"Enable", value));
    EXPECT_EQ(0u, value);
    EXPECT_TRUE(ini.ReadDword(L"Config", L"LastLogIdx", value));
    EXPECT_EQ(2u, value);
    EXPECT_FALSE(ini.ReadDword(L"Other", L"LastLogIdx", value));
}

} // namespace

TEST(IniReader, LineRulesHoldInEveryAcceptedEncoding)
{
    TempFolder folder;
    const std::wstring rules = kRules;

    folder.WriteAnsi(L"ansi.ini", Ascii(rules));
    folder.WriteUtf16(L"utf16.ini", rules);
    folder.WriteAnsi(L"utf8bom.ini", "\xEF\xBB\xBF" + Ascii(rules));
    std::vector<BYTE> be = {0xFE, 0xFF};
    for (wchar_t c : rules)
    {
        be.push_back(static_cast<BYTE>(c >> 8));
        be.push_back(static_cast<BYTE>(c & 0xff));
    }
    folder.Write(L"utf16be.ini", be);

    for (const wchar_t* name : {L"ansi.ini", L"utf16.ini", L"utf8bom.ini", L"utf16be.ini"})
    {
        SCOPED_TRACE(LogConfigTest::Narrow(name));
        CObfuscatedIniReader ini;
        ASSERT_TRUE(ini.Load(folder.File(name).c_str()));
        ExpectRules(ini);
    }
}

TEST(IniReader, NonAsciiTextIsDecodedByItsEncoding)
{
    TempFolder folder;
    folder.WriteUtf16(L"utf16.ini", L"[Caf\x00e9]\r\nN\x00e4me=\x65e5\r\n");
    folder.WriteAnsi(L"utf8.ini", "[Caf\xC3\xA9]\r\nN\xC3\xA4me=\xE6\x97\xA5\r\n");
    // 0xE9 alone is not UTF-8: the ANSI code page applies.
    folder.WriteAnsi(L"ansi.ini", "[Caf\xE9]\r\nN=1\r\n");

    std::wstring text;
    CBaseIniReader ini;
    ASSERT_TRUE(ini.Load(folder.File(L"utf16.ini").c_str()));
    EXPECT_TRUE(ini.ReadString(L"Caf\x00e9", L"N\x00e4me", text));
    EXPECT_EQ(L"\x65e5", text);
    ASSERT_TRUE(ini.Load(folder.File(L"utf8.ini").c_str()));
    EXPECT_TRUE(ini.ReadString(L"Caf\x00e9", L"N\x00e4me", text));
    EXPECT_EQ(L"\x65e5", text);

    wchar_t acp[2] = {};
    ASSERT_EQ(1, ::MultiByteToWideChar(CP_ACP, 0, "\xE9", 1, acp, 1));
    ASSERT_TRUE(ini.Load(folder.File(L"ansi.ini").c_str()));
    EXPECT_TRUE(ini.ReadString((std::wstring(L"Caf") + acp[0]).c_str(), L"N", text));
}

TEST(IniReader, DecimalValuesAreStrict)
{
    TempFolder folder;
    folder.WriteAnsi(L"n.ini", "[C]\nMax=4294967295\nOver=4294967296\nNeg=-1\nPlus=+1\nHex=0x10\nMixed=12a\n"
                               "Empty=\nSpaces=   \nInner=1 2\nZeros=007\n");
    CBaseIniReader ini;
    ASSERT_TRUE(ini.Load(folder.File(L"n.ini").c_str()));
    DWORD value = 0;
    EXPECT_TRUE(ini.ReadDword(L"C", L"Max", value));
    EXPECT_EQ(4294967295u, value);
    EXPECT_TRUE(ini.ReadDword(L"C", L"Zeros", value));
    EXPECT_EQ(7u, value);
    for (const wchar_t* key :
         {L"Over", L"Neg", L"Plus", L"Hex", L"Mixed", L"Empty", L"Spaces", L"Inner", L"None"})
    {
        value = 55;
        EXPECT_FALSE(ini.ReadDword(L"C", key, value)) << LogConfigTest::Narrow(key);
        EXPECT_EQ(55u, value);
    }
}

TEST(IniReader, ScrambledValuesAreUnscrambledOnLoadAndBadOnesRefused)
{
    TempFolder folder;
    std::wstring tampered = CScrambledValue::ScrambleDword(3);
    tampered[40] = tampered[40] == L'0' ? L'1' : L'0';
    const std::wstring content = L"[Config]\r\nEnable=" + CScrambledValue::ScrambleDword(0) + L"\r\nName=" +
                                 CScrambledValue::ScrambleString(L"a=b ") + L"\r\nBad=" + tampered +
                                 L"\r\nPlain=5\r\nLower=" + CScrambledValue::ScrambleDword(12) + L"\r\n";
    folder.WriteUtf16(L"s.ini", content);

    CObfuscatedIniReader scrambled;
    ASSERT_TRUE(scrambled.Load(folder.File(L"s.ini").c_str()));
    DWORD value = 99;
    std::wstring text;
    EXPECT_TRUE(scrambled.ReadDword(L"Config", L"Enable", value));
    EXPECT_EQ(0u, value);
    EXPECT_TRUE(scrambled.ReadString(L"Config", L"Name", text));
    EXPECT_EQ(L"a=b ", text);
    EXPECT_TRUE(scrambled.ReadDword(L"Config", L"Plain", value));
    EXPECT_EQ(5u, value);
    value = 99;
    EXPECT_FALSE(scrambled.ReadDword(L"Config", L"Bad", value));
    EXPECT_FALSE(scrambled.ReadString(L"Config", L"Bad", text));
    EXPECT_EQ(99u, value);

    // The plain reader keeps the text as it stands.
    CBaseIniReader plain;
    ASSERT_TRUE(plain.Load(folder.File(L"s.ini").c_str()));
    EXPECT_FALSE(plain.ReadDword(L"Config", L"Enable", value));
    EXPECT_TRUE(plain.ReadString(L"Config", L"Bad", text));
    EXPECT_EQ(tampered, text);
}

TEST(IniReader, ScrambledValuesReadOnlyAsTheTypeTheyDeclare)
{
    TempFolder folder;
    folder.WriteUtf16(L"t.ini", L"[Config]\r\nText=" + CScrambledValue::ScrambleString(L"5") +
                                    L"\r\nNumber=" + CScrambledValue::ScrambleDword(5) + L"\r\n");
    CObfuscatedIniReader ini;
    ASSERT_TRUE(ini.Load(folder.File(L"t.ini").c_str()));
    DWORD value = 99;
    std::wstring text = L"unchanged";
    EXPECT_FALSE(ini.ReadDword(L"Config", L"Text", value));
    EXPECT_FALSE(ini.ReadString(L"Config", L"Number", text));
    EXPECT_EQ(99u, value);
    EXPECT_EQ(L"unchanged", text);
    EXPECT_TRUE(ini.ReadString(L"Config", L"Text", text));
    EXPECT_EQ(L"5", text);
    EXPECT_TRUE(ini.ReadDword(L"Config", L"Number", value));
    EXPECT_EQ(5u, value);

    // A written value is what the file now holds: a scrambled DWORD.
    ASSERT_TRUE(ini.WriteDword(L"Config", L"Text", 7));
    EXPECT_TRUE(ini.ReadDword(L"Config", L"Text", value));
    EXPECT_EQ(7u, value);
    EXPECT_FALSE(ini.ReadString(L"Config", L"Text", text));
}

TEST(IniReader, WriteDwordWritesThroughPlainAndScrambled)
{
    TempFolder folder;
    const std::wstring path = folder.File(L"log.ini");

    // The file does not exist yet: Load fails, the write creates it.
    CBaseIniReader plain;
    EXPECT_FALSE(plain.Load(path.c_str()));
    ASSERT_TRUE(plain.WriteDword(L"Config", L"LastLogIdx", 7));
    DWORD value = 0;
    EXPECT_TRUE(plain.ReadDword(L"Config", L"LastLogIdx", value));
    EXPECT_EQ(7u, value);

    CObfuscatedIniReader scrambled;
    ASSERT_TRUE(scrambled.Load(path.c_str()));
    EXPECT_TRUE(scrambled.ReadDword(L"Config", L"LastLogIdx", value));
    EXPECT_EQ(7u, value);
    ASSERT_TRUE(scrambled.WriteDword(L"Config", L"MaxSize", 262144));
    ASSERT_TRUE(scrambled.WriteDword(L"Config", L"LastLogIdx", 1));
    EXPECT_TRUE(scrambled.ReadDword(L"Config", L"LastLogIdx", value));
    EXPECT_EQ(1u, value);

    // On disk: the struct form of the blob is exactly the text form.
    const std::vector<BYTE> bytes = folder.Read(L"log.ini");
    const std::string disk(bytes.begin(), bytes.end());
    EXPECT_NE(std::string::npos, disk.find("MaxSize=" + Ascii(CScrambledValue::ScrambleDword(262144))))
        << disk;
    EXPECT_NE(std::string::npos, disk.find("LastLogIdx=" + Ascii(CScrambledValue::ScrambleDword(1)))) << disk;

    CObfuscatedIniReader again;
    ASSERT_TRUE(again.Load(path.c_str()));
    EXPECT_TRUE(again.ReadDword(L"Config", L"MaxSize", value));
    EXPECT_EQ(262144u, value);
    EXPECT_TRUE(again.ReadDword(L"Config", L"LastLogIdx", value));
    EXPECT_EQ(1u, value);
    CBaseIniReader plainAgain;
    ASSERT_TRUE(plainAgain.Load(path.c_str()));
    EXPECT_FALSE(plainAgain.ReadDword(L"Config", L"MaxSize", value))
        << "the plain reader does not unscramble";
}

TEST(IniReader, WriteDwordKeepsAUtf16FileReadable)
{
    TempFolder folder;
    folder.WriteUtf16(L"u.ini", L"[Config]\r\nEnable=1\r\nSeverity=3\r\n");
    const std::wstring path = folder.File(L"u.ini");
    CObfuscatedIniReader ini;
    ASSERT_TRUE(ini.Load(path.c_str()));
    ASSERT_TRUE(ini.WriteDword(L"Config", L"Enable", 0));
    CBaseIniReader plain;
    ASSERT_TRUE(plain.Load(path.c_str()));
    ASSERT_TRUE(plain.WriteDword(L"Config", L"Severity", 5));

    CObfuscatedIniReader again;
    ASSERT_TRUE(again.Load(path.c_str()));
    DWORD value = 9;
    EXPECT_TRUE(again.ReadDword(L"Config", L"Enable", value));
    EXPECT_EQ(0u, value);
    EXPECT_TRUE(again.ReadDword(L"Config", L"Severity", value));
    EXPECT_EQ(5u, value);
}

TEST(IniReader, WriteDwordRefusesNamesThatWouldDamageTheFile)
{
    TempFolder folder;
    folder.WriteAnsi(L"w.ini", "[Config]\r\nEnable=1\r\n");
    const std::vector<BYTE> before = folder.Read(L"w.ini");

    CObfuscatedIniReader unloaded;
    EXPECT_FALSE(unloaded.WriteDword(L"Config", L"Enable", 0)) << "no path known";

    CBaseIniReader ini;
    ASSERT_TRUE(ini.Load(folder.File(L"w.ini").c_str()));
    EXPECT_FALSE(ini.WriteDword(nullptr, L"Enable", 0));
    EXPECT_FALSE(ini.WriteDword(L"Config", nullptr, 0));
    EXPECT_FALSE(ini.WriteDword(L"", L"Enable", 0));
    EXPECT_FALSE(ini.WriteDword(L"Config", L"", 0));
    EXPECT_FALSE(ini.WriteDword(L"Config", L"A=B", 0));
    EXPECT_FALSE(ini.WriteDword(L"Con]fig", L"Enable", 0));
    EXPECT_EQ(before, folder.Read(L"w.ini"));
    DWORD value = 0;
    EXPECT_FALSE(ini.ReadDword(nullptr, L"Enable", value));
    EXPECT_FALSE(ini.ReadDword(L"Config", nullptr, value));
    EXPECT_TRUE(ini.ReadDword(L"Config", L"Enable", value));
    EXPECT_EQ(1u, value);
}

TEST(IniReader, BadFilesGiveTheDocumentedResult)
{
    TempFolder folder;
    CObfuscatedIniReader ini;

    EXPECT_FALSE(ini.Load(nullptr));
    EXPECT_FALSE(ini.Load(L""));
    EXPECT_FALSE(ini.Load(folder.File(L"missing.ini").c_str()));
    EXPECT_EQ(0u, ini.EntryCount());

    folder.Write(L"empty.ini", {});
    EXPECT_TRUE(ini.Load(folder.File(L"empty.ini").c_str()));
    EXPECT_EQ(0u, ini.EntryCount());

    // A loaded file's entries are forgotten when a later load fails.
    folder.WriteAnsi(L"one.ini", "[C]\nA=1\n");
    ASSERT_TRUE(ini.Load(folder.File(L"one.ini").c_str()));
    EXPECT_FALSE(ini.Load(folder.File(L"missing.ini").c_str()));
    DWORD value = 0;
    EXPECT_FALSE(ini.ReadDword(L"C", L"A", value));

    // One line of three megabytes is an ordinary line.
    std::string longLine = "[C]\nLong=" + std::string(3 * 1024 * 1024, 'x') + "\nAfter=4\n";
    folder.WriteAnsi(L"long.ini", longLine);
    ASSERT_TRUE(ini.Load(folder.File(L"long.ini").c_str()));
    std::wstring text;
    EXPECT_TRUE(ini.ReadString(L"C", L"Long", text));
    EXPECT_EQ(3u * 1024 * 1024, text.size());
    EXPECT_TRUE(ini.ReadDword(L"C", L"After", value));
    EXPECT_EQ(4u, value);

    // Millions of lines without '=' before the one entry.
    std::string many;
    for (int i = 0; i < 1900000; ++i)
    {
        many += "x\n";
    }
    folder.WriteAnsi(L"many.ini", many + "[C]\nLast=8");
    ASSERT_TRUE(ini.Load(folder.File(L"many.ini").c_str()));
    EXPECT_EQ(1u, ini.EntryCount());
    EXPECT_TRUE(ini.ReadDword(L"C", L"Last", value));
    EXPECT_EQ(8u, value);

    // Over the size limit: refused whole.
    std::string huge =
        "[C]\nA=1\n" + std::string(static_cast<std::size_t>(CBaseIniReader::kMaxFileBytes), ';');
    folder.WriteAnsi(L"huge.ini", huge);
    EXPECT_FALSE(ini.Load(folder.File(L"huge.ini").c_str()));
    EXPECT_EQ(0u, ini.EntryCount());

    // A folder is not a file.
    EXPECT_FALSE(ini.Load(folder.File(L"").c_str()));
}

TEST(IniReader, BinaryGarbageLoadsWithoutHarm)
{
    TempFolder folder;
    unsigned state = 12345;
    auto next = [&state]()
    {
        state = state * 1103515245u + 12345u;
        return static_cast<BYTE>(state >> 16);
    };
    for (int round = 0; round < 6; ++round)
    {
        std::vector<BYTE> bytes(64 * 1024 + round);
        for (BYTE& b : bytes)
        {
            b = next();
        }
        // Also under each byte-order mark, odd lengths included.
        if (round == 1 || round == 4)
        {
            bytes[0] = 0xFF;
            bytes[1] = 0xFE;
        }
        if (round == 2)
        {
            bytes[0] = 0xEF;
            bytes[1] = 0xBB;
            bytes[2] = 0xBF;
        }
        if (round == 3)
        {
            bytes[0] = 0xFE;
            bytes[1] = 0xFF;
        }
        folder.Write(L"garbage.ini", bytes);
        CObfuscatedIniReader ini;
        EXPECT_TRUE(ini.Load(folder.File(L"garbage.ini").c_str())) << round;
        DWORD value = 0;
        std::wstring text;
        ini.ReadDword(L"Config", L"Enable", value);
        ini.ReadString(L"", L"", text);
    }
    // Scrambled-looking garbage: right header, wrong everything else.
    folder.WriteAnsi(L"fake.ini", "[C]\nA=4B565301" + std::string(80, 'F') + "\n");
    CObfuscatedIniReader fake;
    ASSERT_TRUE(fake.Load(folder.File(L"fake.ini").c_str()));
    DWORD value = 3;
    EXPECT_FALSE(fake.ReadDword(L"C", L"A", value));
    EXPECT_EQ(3u, value);
}
