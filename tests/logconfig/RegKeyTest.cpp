#include "Logging/config/RegKey.h"
#include "Logging/config/ScrambledValue.h"

#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <memory>

using LogConfigTest::Narrow;
using LogConfigTest::TestKey;
using Plinth::CObfuscatedRegKey;
using Plinth::CRegKey;
using Plinth::CScrambledValue;

namespace
{

// {E16CA450-55CC-11E0-B8AF-0800200C9A66}
const GUID kProvider = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

class RegKeyTest : public ::testing::Test
{
protected:
    RegKeyTest() : key_(L"WLCfgTest_RegKey") {}

    void SetUp() override { key_.Create(); }

    // Opens the test key with both readers, side by side.
    void OpenBoth(CRegKey& plain, CRegKey& scrambled)
    {
        ASSERT_EQ(0u, plain.Open(HKEY_LOCAL_MACHINE, key_.Path().c_str(), KEY_READ));
        ASSERT_EQ(0u, scrambled.Open(HKEY_LOCAL_MACHINE, key_.Path().c_str(), KEY_READ));
    }

    void SetBlob(const wchar_t* name, const std::vector<BYTE>& blob)
    {
        key_.SetRaw(L"", name, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    }

    TestKey key_;
};

} // namespace

TEST_F(RegKeyTest, OpenReportsTheRegistryError)
{
    CRegKey key;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              key.Open(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\Missing").c_str(), KEY_READ));
    EXPECT_EQ(nullptr, key.Handle());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), key.Open(nullptr, L"SOFTWARE", KEY_READ));

    // Reading from a key that is not open.
    DWORD value = 5;
    std::wstring text = L"keep";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), key.ReadDword(L"x", value));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), key.ReadString(L"x", text));
    EXPECT_EQ(5u, value);
    EXPECT_EQ(L"keep", text);

    // A failed reopen closes the key opened before.
    ASSERT_EQ(0u, key.Open(HKEY_LOCAL_MACHINE, key_.Path().c_str(), KEY_READ));
    EXPECT_NE(nullptr, key.Handle());
    EXPECT_NE(0u, key.Open(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\Missing").c_str(), KEY_READ));
    EXPECT_EQ(nullptr, key.Handle());

    // Closed, it reads nothing.
    ASSERT_EQ(0u, key.Open(HKEY_LOCAL_MACHINE, key_.Path().c_str(), KEY_READ));
    key.Close();
    EXPECT_EQ(nullptr, key.Handle());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), key.ReadDword(L"x", value));
}

TEST_F(RegKeyTest, PlainValuesReadThroughBothReaders)
{
    key_.SetDword(L"", L"Mechanism", 1);
    key_.SetString(L"", L"Name", L"C:\\Logs");
    key_.SetString(L"", L"Expand", L"%ProgramData%\\X", REG_EXPAND_SZ);
    key_.SetString(L"", L"", L"default value");
    // Without a terminating NUL, and with data after an inner NUL.
    key_.SetRaw(L"", L"Unterminated", REG_SZ, L"abc", 6);
    key_.SetRaw(L"", L"Inner", REG_SZ, L"ab\0cd", 12);
    key_.SetRaw(L"", L"Empty", REG_SZ, L"", 0);

    CRegKey plain;
    CObfuscatedRegKey scrambled;
    OpenBoth(plain, scrambled);
    for (CRegKey* key : {static_cast<CRegKey*>(&plain), static_cast<CRegKey*>(&scrambled)})
    {
        DWORD value = 0;
        EXPECT_EQ(0u, key->ReadDword(L"Mechanism", value));
        EXPECT_EQ(1u, value);
        std::wstring text;
        EXPECT_EQ(0u, key->ReadString(L"Name", text));
        EXPECT_EQ(L"C:\\Logs", text);
        EXPECT_EQ(0u, key->ReadString(L"Expand", text));
        EXPECT_EQ(L"%ProgramData%\\X", text) << "not expanded";
        EXPECT_EQ(0u, key->ReadString(L"", text));
        EXPECT_EQ(L"default value", text);
        EXPECT_EQ(0u, key->ReadString(nullptr, text));
        EXPECT_EQ(L"default value", text);
        EXPECT_EQ(0u, key->ReadString(L"Unterminated", text));
        EXPECT_EQ(L"abc", text);
        EXPECT_EQ(0u, key->ReadString(L"Inner", text));
        EXPECT_EQ(L"ab", text);
        EXPECT_EQ(0u, key->ReadString(L"Empty", text));
        EXPECT_EQ(L"", text);
    }
}

TEST_F(RegKeyTest, MissingValuesAndWrongTypesAreReported)
{
    key_.SetDword(L"", L"Number", 7);
    key_.SetString(L"", L"Text", L"12");
    key_.SetRaw(L"", L"Short", REG_DWORD, "\x01\x02", 2);
    const unsigned long long big = 5;
    key_.SetRaw(L"", L"Qword", REG_QWORD, &big, sizeof(big));
    key_.SetRaw(L"", L"Binary", REG_BINARY, "\x01\x02\x03", 3);

    CRegKey plain;
    CObfuscatedRegKey scrambled;
    OpenBoth(plain, scrambled);
    for (CRegKey* key : {static_cast<CRegKey*>(&plain), static_cast<CRegKey*>(&scrambled)})
    {
        DWORD value = 99;
        std::wstring text = L"keep";
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), key->ReadDword(L"Missing", value));
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), key->ReadString(L"Missing", text));
        // A decimal string is not a DWORD, and a DWORD is not a string.
        EXPECT_EQ(static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE), key->ReadDword(L"Text", value));
        EXPECT_EQ(static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE), key->ReadString(L"Number", text));
        EXPECT_EQ(static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE), key->ReadDword(L"Qword", value));
        EXPECT_EQ(static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE), key->ReadDword(L"Binary", value));
        EXPECT_EQ(static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE), key->ReadString(L"Binary", text));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), key->ReadDword(L"Short", value));
        EXPECT_EQ(99u, value);
        EXPECT_EQ(L"keep", text);
    }
}

TEST_F(RegKeyTest, ValueOverOneMegabyteIsRefusedNotRead)
{
    const std::wstring huge(512 * 1024 + 10, L'a');
    key_.SetString(L"", L"Huge", huge);
    CObfuscatedRegKey key;
    ASSERT_EQ(0u, key.Open(HKEY_LOCAL_MACHINE, key_.Path().c_str(), KEY_READ));
    std::wstring text = L"keep";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), key.ReadString(L"Huge", text));
    EXPECT_EQ(L"keep", text);
}

TEST_F(RegKeyTest, GuidTextAndBinaryFormsAreAccepted)
{
    key_.SetString(L"", L"Braced", L"{E16CA450-55CC-11E0-B8AF-0800200C9A66}");
    key_.SetString(L"", L"Bare", L"e16ca450-55cc-11e0-b8af-0800200c9a66");
    key_.SetRaw(L"", L"Binary", REG_BINARY, &kProvider, sizeof(kProvider));

    CRegKey plain;
    CObfuscatedRegKey scrambled;
    OpenBoth(plain, scrambled);
    for (CRegKey* key : {static_cast<CRegKey*>(&plain), static_cast<CRegKey*>(&scrambled)})
    {
        for (const wchar_t* name : {L"Braced", L"Bare", L"Binary"})
        {
            GUID value{};
            EXPECT_EQ(0u, key->ReadGuid(name, value)) << Narrow(name);
            EXPECT_TRUE(IsEqualGUID(kProvider, value)) << Narrow(name);
        }
    }
}

TEST_F(RegKeyTest, MalformedGuidsAreRefused)
{
    const wchar_t* bad[] = {
        L"",
        L"{E16CA450-55CC-11E0-B8AF-0800200C9A66",   // one brace
        L"E16CA450-55CC-11E0-B8AF-0800200C9A66}",   // the other
        L"{E16CA450-55CC-11E0-B8AF-0800200C9A6G}",  // not hex
        L"{E16CA450+55CC-11E0-B8AF-0800200C9A66}",  // separator
        L"{E16CA45-055CC-11E0-B8AF-0800200C9A66}",  // grouping
        L" {E16CA450-55CC-11E0-B8AF-0800200C9A66}", // white space around
        L"{E16CA450-55CC-11E0-B8AF-0800200C9A66}x",
        L"(E16CA450-55CC-11E0-B8AF-0800200C9A66)",
        L"E16CA45055CC11E0B8AF0800200C9A66",
    };
    int index = 0;
    for (const wchar_t* text : bad)
    {
        key_.SetString(L"", (L"Bad" + std::to_wstring(index++)).c_str(), text);
    }
    key_.SetRaw(L"", L"Binary15", REG_BINARY, &kProvider, 15);
    key_.SetDword(L"", L"Number", 1);

    CObfuscatedRegKey key;
    ASSERT_EQ(0u, key.Open(HKEY_LOCAL_MACHINE, key_.Path().c_str(), KEY_READ));
    const GUID before = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    for (int i = 0; i < index; ++i)
    {
        GUID value = before;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA),
                  key.ReadGuid((L"Bad" + std::to_wstring(i)).c_str(), value))
            << Narrow(bad[i]);
        EXPECT_TRUE(IsEqualGUID(before, value));
    }
    GUID value = before;
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE), key.ReadGuid(L"Binary15", value));
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE), key.ReadGuid(L"Number", value));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), key.ReadGuid(L"Missing", value));
    EXPECT_FALSE(Plinth::CRegKey::ParseGuid(nullptr, 38, value));
    EXPECT_TRUE(IsEqualGUID(before, value));
}

TEST_F(RegKeyTest, ScrambledValuesAreReadOnlyByTheScrambledReader)
{
    key_.SetString(L"", L"DwordText", CScrambledValue::ScrambleDword(42));
    std::vector<BYTE> blob;
    ASSERT_TRUE(CScrambledValue::EncodeDword(0xFFFFFFFF, blob));
    SetBlob(L"DwordBlob", blob);
    key_.SetString(L"", L"StringText", CScrambledValue::ScrambleString(L"Global\\Owner"));
    ASSERT_TRUE(CScrambledValue::EncodeString(L"2.1.0.0", blob));
    SetBlob(L"StringBlob", blob);
    key_.SetString(L"", L"GuidText",
                   CScrambledValue::ScrambleString(L"{E16CA450-55CC-11E0-B8AF-0800200C9A66}"));
    ASSERT_TRUE(CScrambledValue::EncodeString(L"e16ca450-55cc-11e0-b8af-0800200c9a66", blob));
    SetBlob(L"GuidBlob", blob);

    CRegKey plain;
    CObfuscatedRegKey scrambled;
    OpenBoth(plain, scrambled);

    DWORD value = 0;
    EXPECT_EQ(0u, scrambled.ReadDword(L"DwordText", value));
    EXPECT_EQ(42u, value);
    EXPECT_EQ(0u, scrambled.ReadDword(L"DwordBlob", value));
    EXPECT_EQ(0xFFFFFFFFu, value);
    std::wstring text;
    EXPECT_EQ(0u, scrambled.ReadString(L"StringText", text));
    EXPECT_EQ(L"Global\\Owner", text);
    EXPECT_EQ(0u, scrambled.ReadString(L"StringBlob", text));
    EXPECT_EQ(L"2.1.0.0", text);
    for (const wchar_t* name : {L"GuidText", L"GuidBlob"})
    {
        GUID guid{};
        EXPECT_EQ(0u, scrambled.ReadGuid(name, guid)) << Narrow(name);
        EXPECT_TRUE(IsEqualGUID(kProvider, guid)) << Narrow(name);
    }

    // The plain reader sees them as what they are stored as.
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE), plain.ReadDword(L"DwordText", value));
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE), plain.ReadString(L"StringBlob", text));
    EXPECT_EQ(0u, plain.ReadString(L"StringText", text));
    EXPECT_EQ(CScrambledValue::ScrambleString(L"Global\\Owner"), text);
}

TEST_F(RegKeyTest, RefusedScrambledValuesNeverComeOutAsPlainText)
{
    std::wstring tampered = CScrambledValue::ScrambleString(L"C:\\Tools\\ctl.exe");
    tampered[30] = tampered[30] == L'A' ? L'B' : L'A';
    key_.SetString(L"", L"Tampered", tampered);
    std::wstring truncated = CScrambledValue::ScrambleDword(3);
    truncated.resize(truncated.size() - 4);
    key_.SetString(L"", L"Truncated", truncated);
    key_.SetString(L"", L"StringAsDword", CScrambledValue::ScrambleString(L"3"));
    key_.SetString(L"", L"DwordAsString", CScrambledValue::ScrambleDword(3));
    std::vector<BYTE> blob;
    ASSERT_TRUE(CScrambledValue::EncodeDword(3, blob));
    blob[20] ^= 0x40;
    SetBlob(L"TamperedBlob", blob);
    key_.SetString(L"", L"NotAGuid", CScrambledValue::ScrambleString(L"not a guid"));

    CObfuscatedRegKey key;
    ASSERT_EQ(0u, key.Open(HKEY_LOCAL_MACHINE, key_.Path().c_str(), KEY_READ));
    DWORD value = 77;
    std::wstring text = L"keep";
    GUID guid{};
    const DWORD refused = ERROR_INVALID_DATA;
    EXPECT_EQ(refused, key.ReadString(L"Tampered", text));
    EXPECT_EQ(refused, key.ReadDword(L"Truncated", value));
    EXPECT_EQ(refused, key.ReadString(L"Truncated", text));
    EXPECT_EQ(refused, key.ReadDword(L"StringAsDword", value));
    EXPECT_EQ(refused, key.ReadString(L"DwordAsString", text));
    EXPECT_EQ(refused, key.ReadGuid(L"DwordAsString", guid));
    EXPECT_EQ(refused, key.ReadDword(L"TamperedBlob", value));
    EXPECT_EQ(refused, key.ReadGuid(L"NotAGuid", guid));
    EXPECT_EQ(77u, value);
    EXPECT_EQ(L"keep", text);
}
