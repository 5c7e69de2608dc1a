// The trusted list: its text format, its signature rule, when it replaces the
// built-in lists, and its reload through the global atom (also from a second
// process).

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "TrustTestSupport.h"
#include "support/WaitUntil.h"
#include "trust/TrustValidator.h"

using Norvan::internal::SignatureStep;
using Norvan::internal::TrustedList;

namespace
{

TrustedList::Contents parsed(const std::wstring& text, bool* ok)
{
    TrustedList::Contents contents;
    *ok = TrustedList::parse(text, &contents);
    return contents;
}

TEST(TrustedListFormat, SectionsValuesAndSkippedLines)
{
    bool ok = false;
    const auto c = parsed(L"/* header\r\n*/\r\n  [VER]\t\r\n 12 \r\n// SIG // AAAA\r\n[ORG]\r\nName One\r\n"
                          L"\tName Two  \r\n\r\n[SER]\r\n0a1B\r\n[SHA]\r\n"
                          L"00112233445566778899aabbccddeeff00112233\r\n[OTHER]\r\nignored\r\n",
                          &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(12u, c.lists.version);
    EXPECT_TRUE(c.lists.hasNames);
    ASSERT_EQ(2u, c.lists.names.size());
    EXPECT_EQ(L"Name One", c.lists.names[0]);
    EXPECT_EQ(L"Name Two", c.lists.names[1]);
    ASSERT_EQ(1u, c.lists.refusedSerials.size());
    EXPECT_EQ(L"0a1B", c.lists.refusedSerials[0]);
    ASSERT_EQ(1u, c.lists.thumbprints.size());
    EXPECT_EQ(0xFF, c.lists.thumbprints[0][15]);
}

TEST(TrustedListFormat, WhichTextsLoad)
{
    const struct
    {
        const wchar_t* text;
        bool loads;
        const char* why;
    } cases[] = {
        {L"[ORG]\nA\n", false, "no VER"},
        {L"[VER]\n", false, "VER without value"},
        {L"[VER]\n9\n10\n", false, "two values"},
        {L"[VER]\n0x9\n", false, "not decimal"},
        {L"[VER]\n99999999999\n", false, "beyond 32 bits"},
        {L"[VER]\n4294967296\n", false, "ten digits beyond 32 bits"},
        {L"[VER]\n9", true, "no line end after the last line"},
        {L"[VER]\n9\n[SHA]\nABC\nzz112233445566778899aabbccddeeff00112233\n", false,
         "all SHA values malformed: the list would pin no root at all"},
        {L"[VER]\n9\n[SHA]\n[ORG]\nA\n", false, "SHA section without values"},
        {L"[VER]\n9\n[ORG]\nA\n", true, "no SHA section: no pinning asked for"},
    };
    for (const auto& c : cases)
    {
        bool ok = !c.loads;
        parsed(c.text, &ok);
        EXPECT_EQ(c.loads, ok) << c.why;
    }
    bool ok = false;
    EXPECT_EQ(9u, parsed(L"[VER]\n9", &ok).lists.version);
}

TEST(TrustedListFormat, MalformedShaValuesAreSkipped)
{
    bool ok = false;
    const auto c =
        parsed(L"[VER]\n8\n[SHA]\nABC\n00112233445566778899aabbccddeeff001122330\n"
               L"zz112233445566778899aabbccddeeff00112233\n00112233445566778899aabbccddeeff00112233\n",
               &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(1u, c.lists.thumbprints.size());
}

TEST(TrustedListFormat, AbsentAndEmptyNameSections)
{
    bool ok = false;
    EXPECT_FALSE(parsed(L"[VER]\n8\n", &ok).lists.hasNames);
    const auto empty = parsed(L"[VER]\n8\n[ORG]\n[SER]\n", &ok);
    EXPECT_TRUE(empty.lists.hasNames);
    EXPECT_TRUE(empty.lists.names.empty());
}

TEST(TrustedListFormat, Utf16Decoding)
{
    const std::string bytes("\xFF\xFE[\0V\0E\0R\0]\0\n\0"
                            "7\0x",
                            17);
    EXPECT_EQ(L"[VER]\n7", TrustedList::decode(bytes)) << "BOM skipped, odd last byte dropped";
    bool ok = false;
    parsed(TrustedList::decode("[VER]\r\n9\r\n"), &ok);
    EXPECT_FALSE(ok) << "UTF-8 text read as UTF-16 has no sections";
}

class TrustedListFiles : public ::testing::Test
{
protected:
    TrustedListFiles() : folder_(L"lists") {}
    void SetUp() override { TrustTest::clearListAtom(); }
    void TearDown() override { TrustTest::clearListAtom(); }

    std::wstring install(const wchar_t* fixture)
    {
        const std::wstring path = folder_.file(L"trusted.js");
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_TRUE(::CopyFileW(TrustTest::fixture(fixture).c_str(), path.c_str(), FALSE)) << fixture;
        return path;
    }
    Norvan::TrustValidator::Configuration config()
    {
        Norvan::TrustValidator::Configuration c;
        c.trustedListPath = folder_.file(L"trusted.js");
        c.readPlatform = false;
        return c;
    }
    SignatureStep listStep(const wchar_t* fixture)
    {
        SignatureStep step = SignatureStep::Accepted;
        Norvan::internal::checkTrustedListSignature(TrustTest::fixture(fixture).c_str(),
                                                    Norvan::internal::builtInListSignerThumbprint(), &step);
        return step;
    }
    DWORD trusted(Norvan::TrustValidator& v, const wchar_t* fixture)
    {
        return v.isFileTrusted(TrustTest::fixture(fixture).c_str());
    }

    TrustTest::TempFolder folder_;
};

TEST_F(TrustedListFiles, SignatureRule)
{
    EXPECT_EQ(SignatureStep::Accepted, listStep(L"list-v9.js"));
    EXPECT_EQ(SignatureStep::ListSignerThumbprint, listStep(L"list-wrong-signer.js"));
    EXPECT_EQ(SignatureStep::NoSignature, listStep(L"list-unsigned.js"));
    EXPECT_EQ(SignatureStep::NoSignature, listStep(L"list-utf8.js"));
    EXPECT_EQ(SignatureStep::NoSignature, listStep(L"list-truncated.js"))
        << "signature block without its end";
    for (const wchar_t* junk : {L"list-garbage-base64.js", L"list-junk-der.js", L"list-empty-block.js"})
    {
        EXPECT_EQ(SignatureStep::NoSignature, listStep(junk)) << junk;
    }
    // Windows' WinVerifyTrust refuses a changed script itself; Wine's checks
    // the digest of PE files only, so the validator's own digest check is the
    // one that refuses here.
    EXPECT_EQ(SignatureStep::ContentDigest, listStep(L"list-tampered.js"));
    EXPECT_EQ(SignatureStep::ListSignerThumbprint, listStep(L"signer.dll"))
        << "signed, but not by the list signer";
}

TEST_F(TrustedListFiles, LoadsOnlyValidLists)
{
    const Norvan::internal::Thumbprint signer = Norvan::internal::builtInListSignerThumbprint();
    for (const wchar_t* bad : {L"list-nover.js", L"list-twover.js", L"list-wrong-signer.js",
                               L"list-tampered.js", L"list-utf8.js", L"list-unsigned.js"})
    {
        TrustedList list(install(bad), signer);
        EXPECT_FALSE(list.load()) << bad;
        EXPECT_FALSE(list.isLoaded()) << bad;
    }
    TrustedList missing(folder_.file(L"missing.js"), signer);
    EXPECT_FALSE(missing.load());

    TrustedList v8(install(L"list-v8.js"), signer);
    ASSERT_TRUE(v8.load());
    EXPECT_EQ(8u, v8.version());
    install(L"list-v9.js");
    EXPECT_TRUE(v8.load()) << "loaded already: not read again";
    EXPECT_EQ(8u, v8.version());
    EXPECT_EQ(1u, v8.lists().thumbprints.size()) << "three malformed SHA values skipped";
    EXPECT_EQ(1u, v8.lists().refusedSerials.size());

    TrustedList longList(install(L"list-long.js"), signer);
    ASSERT_TRUE(longList.load()) << "a 200000-character line and no final line end";
    ASSERT_EQ(2u, longList.lists().names.size());
    EXPECT_EQ(L"Unlisted Test Signer", longList.lists().names[1]);
}

TEST_F(TrustedListFiles, TextAfterTheSignatureBlockIsRefused)
{
    const std::wstring path = install(L"list-v9.js");
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    const wchar_t appended[] = L"[SHA]\r\n0000000000000000000000000000000000000000\r\n";
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file, appended, sizeof(appended) - sizeof(wchar_t), &written, nullptr));
    ::CloseHandle(file);

    TrustedList list(path, Norvan::internal::builtInListSignerThumbprint());
    SignatureStep step = SignatureStep::Accepted;
    TrustedList::Contents contents;
    EXPECT_FALSE(list.readFile(path, &contents, &step));
    EXPECT_EQ(SignatureStep::ContentDigest, step);
    EXPECT_FALSE(list.load());
}

TEST_F(TrustedListFiles, WhiteSpaceAfterTheBlockIsAllowedUpToTheSizeLimit)
{
    const Norvan::internal::Thumbprint signer = Norvan::internal::builtInListSignerThumbprint();
    auto appendSpaces = [](const std::wstring& path, DWORD characters)
    {
        HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        const std::wstring spaces(characters, L' ');
        DWORD written = 0;
        const bool ok = file != INVALID_HANDLE_VALUE &&
                        ::WriteFile(file, spaces.data(), characters * sizeof(wchar_t), &written, nullptr) &&
                        written == characters * sizeof(wchar_t);
        ::CloseHandle(file);
        return ok;
    };
    const std::wstring path = install(L"list-v9.js");
    ASSERT_TRUE(appendSpaces(path, 512));
    TrustedList padded(path, signer);
    EXPECT_TRUE(padded.load());

    ASSERT_TRUE(appendSpaces(path, TrustedList::kMaxFileSize / sizeof(wchar_t)));
    TrustedList oversized(path, signer);
    EXPECT_FALSE(oversized.load()) << "a file over the size limit is not read";
}

TEST_F(TrustedListFiles, HigherVersionReplacesTheBuiltInLists)
{
    install(L"list-v9.js");
    Norvan::TrustValidator validator(config());
    // Accepted by the built-in lists: the list is not even loaded.
    EXPECT_EQ(0u, trusted(validator, L"refused.dll"));
    EXPECT_FALSE(validator.trustedList().isLoaded());
    // The built-in lists refuse the name; list 9 accepts it.
    EXPECT_EQ(0u, trusted(validator, L"unlisted.dll"));
    EXPECT_EQ(9u, validator.trustedList().version());
    // From now on list 9 is in force: its refused serial refuses.
    EXPECT_EQ(5u, trusted(validator, L"refused.dll"));
    EXPECT_EQ(0u, trusted(validator, L"signer.dll"));
    EXPECT_EQ(5u, trusted(validator, L"otherchain.dll"));
}

TEST_F(TrustedListFiles, ListNotNewerThanTheBuiltInOnesIsNeverInForce)
{
    install(L"list-v5.js");
    Norvan::TrustValidator validator(config());
    EXPECT_EQ(5u, trusted(validator, L"unlisted.dll"));
    EXPECT_EQ(5u, trusted(validator, L"unlisted.dll")) << "not on the second check either, once loaded";
    EXPECT_EQ(0u, trusted(validator, L"signer.dll"));
}

TEST_F(TrustedListFiles, ListNotInForceStillHearsTheAtom)
{
    install(L"list-v5.js");
    Norvan::TrustValidator validator(config());
    EXPECT_EQ(5u, trusted(validator, L"unlisted.dll"));
    ASSERT_EQ(5u, validator.trustedList().version());
    install(L"list-v10.js");
    ASSERT_NE(0, ::GlobalAddAtomW(Norvan::internal::kTrustedListAtom));
    EXPECT_EQ(0u, trusted(validator, L"unlisted.dll"));
    EXPECT_EQ(10u, validator.trustedList().version());
}

TEST_F(TrustedListFiles, ListThatDoesNotLoadLeavesTheBuiltInLists)
{
    install(L"list-nover.js");
    Norvan::TrustValidator validator(config());
    EXPECT_EQ(5u, trusted(validator, L"unlisted.dll"));
    EXPECT_EQ(0u, trusted(validator, L"signer.dll"));
    install(L"list-wrong-signer.js");
    EXPECT_EQ(5u, trusted(validator, L"unlisted.dll"));
}

TEST_F(TrustedListFiles, AtomTriggersReload)
{
    install(L"list-v9b.js");
    Norvan::TrustValidator validator(config());
    EXPECT_EQ(5u, trusted(validator, L"unlisted.dll"));
    EXPECT_EQ(9u, validator.trustedList().version());
    install(L"list-v10.js");
    EXPECT_EQ(5u, trusted(validator, L"unlisted.dll")) << "no announcement, no reload";
    ASSERT_NE(0, ::GlobalAddAtomW(Norvan::internal::kTrustedListAtom));
    EXPECT_EQ(0u, trusted(validator, L"unlisted.dll"));
    EXPECT_EQ(10u, validator.trustedList().version());
}

TEST_F(TrustedListFiles, ChecksOnManyThreadsWhileTheListIsReplacedAndReloaded)
{
    install(L"list-v9.js");
    Norvan::TrustValidator validator(config());
    ASSERT_EQ(0u, trusted(validator, L"unlisted.dll"));

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::atomic<int> checks{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i)
    {
        readers.emplace_back(
            [&]()
            {
                while (!stop)
                {
                    // Accepted by the built-in lists and by lists 9 and 10 alike,
                    // whatever state a reload leaves behind.
                    if (trusted(validator, L"signer.dll") != 0)
                    {
                        ++wrong;
                    }
                    trusted(validator, L"unlisted.dll");
                    ++checks;
                }
            });
    }
    const std::wstring path = folder_.file(L"trusted.js");
    for (int round = 0; round < 20; ++round)
    {
        const wchar_t* next = (round % 2) ? L"list-v9.js" : L"list-v10.js";
        // Readers hold the file without write sharing while they read it.
        for (int attempt = 0;
             attempt < 200 && !::CopyFileW(TrustTest::fixture(next).c_str(), path.c_str(), FALSE); ++attempt)
        {
            ::Sleep(1);
        }
        ::GlobalAddAtomW(Norvan::internal::kTrustedListAtom);
        // Every reader gets to check while the announcement stands.
        const int before = checks;
        EXPECT_TRUE(WardlineTest::waitUntil([&] { return checks >= before + 4; }));
        TrustTest::clearListAtom();
    }
    stop = true;
    for (std::thread& t : readers)
    {
        t.join();
    }
    EXPECT_EQ(0, wrong.load());
    EXPECT_GT(checks.load(), 0);
    ASSERT_TRUE(::CopyFileW(TrustTest::fixture(L"list-v10.js").c_str(), path.c_str(), FALSE));
    ::GlobalAddAtomW(Norvan::internal::kTrustedListAtom);
    EXPECT_EQ(5u, trusted(validator, L"unsigned.dll")) << "a refusal reloads the announced list";
    EXPECT_EQ(10u, validator.trustedList().version());
}

TEST_F(TrustedListFiles, AtomFromASecondProcessTriggersReload)
{
    install(L"list-v9b.js");
    Norvan::TrustValidator validator(config());
    EXPECT_EQ(5u, trusted(validator, L"unlisted.dll"));
    ASSERT_EQ(9u, validator.trustedList().version());

    // The helper installs list 10 from a cabinet and announces it.
    std::wstring command = L"\"" + TrustTest::fromBuildPath(TRUST_HELPER_EXE) + L"\" update \"" +
                           folder_.file(L"trusted.js") + L"\" \"" + TrustTest::fixture(L"update-v10.cab") +
                           L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(
        ::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(pi.hProcess, 60000));
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    ASSERT_NE(0, ::GlobalFindAtomW(Norvan::internal::kTrustedListAtom)) << "the helper announced an update";

    EXPECT_EQ(0u, trusted(validator, L"unlisted.dll"));
    EXPECT_EQ(10u, validator.trustedList().version());
}

} // namespace
