// The configuration readers with each of their allocations failing in turn:
// a failing read reports failure (never a wrong value), a failing write
// leaves the old value or the new one, and the next call works.

#include "Logging/config/ETWAppProperties.h"
#include "Logging/config/IniReader.h"
#include "Logging/config/RegKey.h"
#include "Logging/config/ScrambledValue.h"

#include "TestRegistry.h"
#include "support/FailingAllocation.h"

#include <gtest/gtest.h>

using LogConfigTest::TempFolder;
using LogConfigTest::TestKey;
using WardlineTest::FailEachAllocationInTurn;

namespace
{

std::string Narrow(const std::wstring& text)
{
    return LogConfigTest::Narrow(text);
}

// What a reader makes of a key: its value, or nothing.
template <typename Reader> std::wstring DwordOf(const Reader& reader, const wchar_t* key)
{
    DWORD value = 0;
    return reader.ReadDword(L"Config", key, value) ? std::to_wstring(value) : L"-";
}

} // namespace

TEST(ConfigurationOutOfMemory, IniFileIsReadRightOrNotAtAll)
{
    TempFolder folder;
    const std::wstring scrambled = Plinth::CScrambledValue::ScrambleDword(7);
    folder.WriteAnsi(L"log.ini", "[Config]\r\nMaxSize=300000\r\nScrambled=" + Narrow(scrambled) +
                                     "\r\nText=" + std::string(300, 't') + "\r\n");
    const std::wstring path = folder.File(L"log.ini");

    Plinth::CObfuscatedIniReader reader;
    bool loaded = false;
    const long runs = FailEachAllocationInTurn(
        [&] { loaded = reader.Load(path.c_str()); },
        [&](long n)
        {
            for (const auto& [key, right] :
                 {std::make_pair(L"MaxSize", L"300000"), std::make_pair(L"Scrambled", L"7")})
            {
                const std::wstring got = DwordOf(reader, key);
                EXPECT_TRUE(got == L"-" || got == right) << "allocation " << n << ": " << Narrow(got);
            }
            EXPECT_TRUE(loaded || DwordOf(reader, L"MaxSize") == L"-");
        });
    EXPECT_GT(runs, 0);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(L"300000", DwordOf(reader, L"MaxSize"));
    EXPECT_EQ(L"7", DwordOf(reader, L"Scrambled"));

    std::wstring text = L"kept";
    bool read = false;
    EXPECT_GT(FailEachAllocationInTurn([&] { read = reader.ReadString(L"Config", L"Text", text); },
                                       [&](long) { EXPECT_FALSE(read); }),
              0);
    EXPECT_EQ(std::wstring(300, L't'), text);
}

TEST(ConfigurationOutOfMemory, IniWriteLeavesTheOldValueOrTheNew)
{
    TempFolder folder;
    folder.WriteAnsi(L"log.ini", "[Config]\r\nMaxEntries=3\r\n");
    const std::wstring path = folder.File(L"log.ini");
    for (const bool scrambled : {false, true})
    {
        Plinth::CBaseIniReader plain;
        Plinth::CObfuscatedIniReader obfuscated;
        Plinth::CBaseIniReader& writer = scrambled ? obfuscated : plain;
        DWORD next = 4;
        bool written = false;
        const long runs = FailEachAllocationInTurn(
            [&]
            {
                writer.Load(path.c_str());
                written = writer.WriteDword(L"Config", L"MaxEntries", next);
            },
            [&](long n)
            {
                Plinth::CObfuscatedIniReader check;
                ASSERT_TRUE(check.Load(path.c_str()));
                const std::wstring got = DwordOf(check, L"MaxEntries");
                EXPECT_TRUE(got == std::to_wstring(next - 1) || got == std::to_wstring(next))
                    << "allocation " << n << ": " << Narrow(got);
                if (got == std::to_wstring(next))
                {
                    ++next;
                }
            });
        EXPECT_GT(runs, 0) << scrambled;
        EXPECT_TRUE(written);
        Plinth::CObfuscatedIniReader check;
        ASSERT_TRUE(check.Load(path.c_str()));
        EXPECT_EQ(std::to_wstring(next), DwordOf(check, L"MaxEntries"));
        folder.WriteAnsi(L"log.ini", "[Config]\r\nMaxEntries=3\r\n");
    }
}

TEST(ConfigurationOutOfMemory, RegistryReadsReportFailureAndKeepTheOutArgument)
{
    TestKey key(L"WLCfgTest_OutOfMemory");
    key.SetString(L"", L"Text", std::wstring(200, L'r'));
    key.SetString(L"", L"Scrambled", Plinth::CScrambledValue::ScrambleString(L"secret"));
    key.SetString(L"", L"Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF00}");
    key.SetDword(L"", L"Number", 9);

    Plinth::CObfuscatedRegKey reader;
    ASSERT_EQ(0u, reader.Open(HKEY_LOCAL_MACHINE, key.Path().c_str(), KEY_READ));
    for (const wchar_t* name : {L"Text", L"Scrambled"})
    {
        std::wstring value = L"kept";
        DWORD result = 0;
        EXPECT_GT(FailEachAllocationInTurn([&] { result = reader.ReadString(name, value); },
                                           [&](long n)
                                           {
                                               EXPECT_NE(0u, result) << n;
                                               EXPECT_EQ(L"kept", value) << n;
                                           }),
                  0);
        EXPECT_EQ(0u, result);
    }
    DWORD number = 1;
    DWORD result = 0;
    EXPECT_GT(FailEachAllocationInTurn([&] { result = reader.ReadDword(L"Number", number); }, [&](long)
                                       { EXPECT_EQ(static_cast<DWORD>(ERROR_OUTOFMEMORY), result); }),
              0);
    EXPECT_EQ(9u, number);
    GUID guid = {};
    EXPECT_GT(FailEachAllocationInTurn([&] { result = reader.ReadGuid(L"Guid", guid); },
                                       [&](long) { EXPECT_NE(0u, result); }),
              0);
    EXPECT_EQ(0x11223344u, guid.Data1);
}

TEST(ConfigurationOutOfMemory, ProfileLoadsWholeOrEmpty)
{
    TestKey key(L"WLCfgTest_OomProfile");
    key.WriteRequiredProfileValues(L"Oom");

    ETWLogging::internal::ETWAppProperties properties;
    bool loaded = false;
    EXPECT_GT(FailEachAllocationInTurn([&] { loaded = properties.Load(L"WLCfgTest_OomProfile"); },
                                       [&](long n)
                                       {
                                           EXPECT_FALSE(loaded) << n;
                                           EXPECT_EQ(L"", properties.ProfileName()) << n;
                                       }),
              0);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(L"Oom.Owner", properties.OwnerMutexName());
}

TEST(ConfigurationOutOfMemory, ScramblingGivesTheWholeTextOrNone)
{
    const std::wstring secret(100, L's');
    std::wstring dword;
    std::wstring text;
    const auto readsBack = [](const std::wstring& scrambled, Plinth::CScrambledValue& value)
    { return Plinth::CScrambledValue::DecodeText(scrambled.c_str(), scrambled.size(), value) == 0; };
    EXPECT_GT(FailEachAllocationInTurn(
                  [&]
                  {
                      dword = Plinth::CScrambledValue::ScrambleDword(42);
                      text = Plinth::CScrambledValue::ScrambleString(secret);
                  },
                  [&](long n)
                  {
                      Plinth::CScrambledValue value;
                      EXPECT_TRUE(dword.empty() || (readsBack(dword, value) && value.dword == 42)) << n;
                      EXPECT_TRUE(text.empty() || (readsBack(text, value) && value.text == secret)) << n;
                  }),
              0);
    Plinth::CScrambledValue value;
    ASSERT_TRUE(readsBack(text, value));
    EXPECT_EQ(secret, value.text);
}
