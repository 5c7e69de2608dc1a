// The signature check against lists, step by step, on libraries signed by
// the development PKI. Wine's WinVerifyTrust returns 0 for an untrusted root,
// a wrong usage and an expired leaf (Windows refuses them): every refusal
// here must come from the validator's own steps, and each test names the
// step that refused.

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "TrustTestSupport.h"
#include "trust/SignatureCheck.h"

using Norvan::internal::SignatureStep;
using Norvan::internal::TrustLists;

namespace
{

SignatureStep stepFor(const wchar_t* name, const TrustLists& lists)
{
    SignatureStep step = SignatureStep::Accepted;
    const bool accepted =
        Norvan::internal::checkFileSignature(TrustTest::fixture(name).c_str(), lists, &step);
    EXPECT_EQ(accepted, step == SignatureStep::Accepted) << Norvan::internal::signatureStepName(step);
    return step;
}

TrustLists builtIn()
{
    return Norvan::internal::builtInTrustLists();
}

// Each file of the development PKI against the built-in lists or lists
// changed for it, and the step that decides.
TEST(SignatureCheck, EachFileIsDecidedByItsStep)
{
    using Change = void (*)(TrustLists&);
    const Change none = [](TrustLists&) {};
    const Change refuseSerial = [](TrustLists& lists) { lists.refusedSerials = {L"7e57deadbeef0042"}; };
    const struct
    {
        const wchar_t* file;
        Change change;
        SignatureStep step;
    } cases[] = {
        {L"signer.dll", none, SignatureStep::Accepted},
        {L"unsigned.dll", none, SignatureStep::NoSignature},
        // The signature itself is intact, so the list steps pass; the image
        // hash no longer matches (Windows and Wine both report 0x80096010).
        {L"tampered.dll", none, SignatureStep::WinVerifyTrust},
        {L"unlisted.dll", none, SignatureStep::SignerName},
        {L"signer.dll", [](TrustLists& lists) { lists.names = {L"WARDLINE development SIGNER"}; },
         SignatureStep::Accepted},
        // An absent name list accepts any name; an empty one none.
        {L"unlisted.dll",
         [](TrustLists& lists)
         {
             lists.hasNames = false;
             lists.names.clear();
         },
         SignatureStep::Accepted},
        {L"signer.dll", [](TrustLists& lists) { lists.names.clear(); }, SignatureStep::SignerName},
        // The built-in refused list is empty; a refused serial is compared in
        // any case, and refuses only the certificate that carries it.
        {L"refused.dll", none, SignatureStep::Accepted},
        {L"refused.dll", refuseSerial, SignatureStep::RefusedSerial},
        {L"signer.dll", refuseSerial, SignatureStep::Accepted},
        {L"hugeserial.dll", none, SignatureStep::Accepted},
        {L"hugeserial.dll",
         [](TrustLists& lists)
         {
             lists.refusedSerials = {
                 L"00C0FFEE00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF00"
                 L"11223344556677"};
         },
         SignatureStep::RefusedSerial},
        // The other root is in the machine Root store of the test prefix, so
        // the chain is clean and only the pinning refuses; no pinned roots
        // accept any chain.
        {L"otherchain.dll", none, SignatureStep::RootThumbprint},
        {L"otherchain.dll", [](TrustLists& lists) { lists.thumbprints.clear(); }, SignatureStep::Accepted},
        // Wine's WinVerifyTrust accepts the next two (Windows' refuses them):
        // the chain built at the current time (no countersignature) finds the
        // certificate expired, and the chain asked for code signing finds no
        // such usage (0x800B0110 on Windows).
        {L"expired.dll", none, SignatureStep::Chain},
        {L"wrongusage.dll", none, SignatureStep::Chain},
    };
    for (const auto& c : cases)
    {
        TrustLists lists = builtIn();
        c.change(lists);
        EXPECT_EQ(c.step, stepFor(c.file, lists)) << c.file;
    }
}

// Root thumbprints of the chains the check builds for a file's first signer:
// the best chain's first, then those of the lower-quality contexts.
std::vector<Norvan::internal::Thumbprint> chainRoots(const wchar_t* name)
{
    std::vector<Norvan::internal::Thumbprint> roots;
    DWORD encoding = 0, contentType = 0, formatType = 0;
    HCERTSTORE store = nullptr;
    HCRYPTMSG msg = nullptr;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, TrustTest::fixture(name).c_str(),
                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                            &encoding, &contentType, &formatType, &store, &msg, nullptr))
    {
        return roots;
    }
    DWORD size = 0;
    ::CryptMsgGetParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size);
    std::vector<ULONGLONG> info(size / sizeof(ULONGLONG) + 1);
    PCCERT_CONTEXT cert = nullptr;
    if (::CryptMsgGetParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size))
    {
        cert =
            ::CertGetSubjectCertificateFromStore(store, encoding, reinterpret_cast<CERT_INFO*>(info.data()));
    }
    LPSTR usage[] = {const_cast<LPSTR>("1.3.6.1.5.5.7.3.3")};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    auto rootOf = [&](PCCERT_CHAIN_CONTEXT c)
    {
        const CERT_SIMPLE_CHAIN* simple = c->rgpChain[c->cChain - 1];
        Norvan::internal::Thumbprint t{};
        DWORD n = sizeof(t);
        ::CertGetCertificateContextProperty(simple->rgpElement[simple->cElement - 1]->pCertContext,
                                            CERT_SHA1_HASH_PROP_ID, t.data(), &n);
        roots.push_back(t);
    };
    if (cert && ::CertGetCertificateChain(nullptr, cert, nullptr, store, &para,
                                          CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL |
                                              CERT_CHAIN_RETURN_LOWER_QUALITY_CONTEXTS,
                                          nullptr, &chain))
    {
        rootOf(chain);
        for (DWORD i = 0; i < chain->cLowerQualityChainContext; ++i)
        {
            rootOf(chain->rgpLowerQualityChainContext[i]);
        }
        ::CertFreeCertificateChain(chain);
    }
    if (cert)
    {
        ::CertFreeCertificateContext(cert);
    }
    ::CertCloseStore(store, 0);
    ::CryptMsgClose(msg);
    return roots;
}

TEST(SignatureCheck, PinnedRootOfALowerQualityChainIsAccepted)
{
    // The signer's intermediate is certified by both development roots, so
    // there are two chains; the engine returns one as the best and the other
    // as a lower-quality context.
    const auto roots = chainRoots(L"crossleaf.dll");
    ASSERT_FALSE(roots.empty());
    TrustLists lists = builtIn();
    lists.thumbprints = {roots[0]};
    EXPECT_EQ(SignatureStep::Accepted, stepFor(L"crossleaf.dll", lists)) << "root of the best chain";
    if (roots.size() < 2 || roots[1] == roots[0])
    {
        GTEST_SKIP() << "the chain engine returned no lower-quality context with another root";
    }
    lists.thumbprints = {roots[1]};
    EXPECT_EQ(SignatureStep::Accepted, stepFor(L"crossleaf.dll", lists))
        << "root of a lower-quality chain only";
    lists.thumbprints = {Norvan::internal::Thumbprint{}};
    EXPECT_EQ(SignatureStep::RootThumbprint, stepFor(L"crossleaf.dll", lists));
}

TEST(SignatureCheck, TimestampedSignaturesUseTheTokensSigningTime)
{
    EXPECT_EQ(SignatureStep::Accepted, stepFor(L"signer-timestamped.dll", builtIn()));
    FILETIME stamped{};
    ASSERT_TRUE(Norvan::internal::countersignedSigningTime(
        TrustTest::fixture(L"signer-timestamped.dll").c_str(), 0, &stamped));
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const ULONGLONG age = (ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart -
                           ULARGE_INTEGER{{stamped.dwLowDateTime, stamped.dwHighDateTime}}.QuadPart) /
                          10000000ull;
    EXPECT_LT(age, 400ull * 24 * 3600) << "signed when the fixtures were built";
    FILETIME none{};
    EXPECT_FALSE(
        Norvan::internal::countersignedSigningTime(TrustTest::fixture(L"signer.dll").c_str(), 0, &none));
    // The token's signing-time attribute is the moment of signing (the
    // build), after the certificate expired: the chain at that time fails.
    EXPECT_EQ(SignatureStep::Chain, stepFor(L"expired-timestamped.dll", builtIn()));
}

TEST(SignatureCheck, DamagedSignaturesAreRefusedWithoutCrashing)
{
    for (const wchar_t* name :
         {L"truncated-signature.dll", L"garbage-signature.dll", L"list-utf8.js", L"does-not-exist.dll"})
    {
        SignatureStep step = SignatureStep::Accepted;
        EXPECT_FALSE(Norvan::internal::checkFileSignature(TrustTest::fixture(name).c_str(), builtIn(), &step))
            << name;
        EXPECT_NE(SignatureStep::Accepted, step) << name;
    }
    EXPECT_FALSE(Norvan::internal::checkFileSignature(nullptr, builtIn()));
    EXPECT_FALSE(Norvan::internal::checkFileSignature(L"", builtIn()));
}

TEST(SignatureCheck, UtcTimeParsing)
{
    auto parse = [](const char* text, SYSTEMTIME* st)
    {
        BYTE der[15] = {0x17, 13};
        memcpy(der + 2, text, 13);
        FILETIME ft{};
        if (!Norvan::internal::parseUtcTime(der, sizeof(der), &ft))
        {
            return false;
        }
        return ::FileTimeToSystemTime(&ft, st) != FALSE;
    };
    SYSTEMTIME st{};
    ASSERT_TRUE(parse("200701123456Z", &st));
    EXPECT_EQ(2020, st.wYear);
    EXPECT_EQ(7, st.wMonth);
    EXPECT_EQ(1, st.wDay);
    EXPECT_EQ(12, st.wHour);
    EXPECT_EQ(34, st.wMinute);
    EXPECT_EQ(56, st.wSecond);
    ASSERT_TRUE(parse("691231235959Z", &st));
    EXPECT_EQ(2069, st.wYear);
    ASSERT_TRUE(parse("700101000000Z", &st));
    EXPECT_EQ(1970, st.wYear);
    EXPECT_FALSE(parse("2007011234X6Z", &st)) << "non-digit";
    EXPECT_FALSE(parse("201301000000Z", &st)) << "month 13";
    EXPECT_FALSE(parse("2007010000000", &st)) << "no Z";
    const BYTE generalized[] = {0x18, 13, '2', '0', '0', '7', '0', '1', '0', '0', '0', '0', '0', '0', 'Z'};
    FILETIME ft{};
    EXPECT_FALSE(Norvan::internal::parseUtcTime(generalized, sizeof(generalized), &ft));
    EXPECT_FALSE(Norvan::internal::parseUtcTime(generalized, 3, &ft));
}

TEST(SignatureCheck, SerialNumberTextIsMostSignificantByteFirst)
{
    BYTE little[] = {0x42, 0x00, 0xEF, 0x0A};
    CRYPT_INTEGER_BLOB blob{sizeof(little), little};
    EXPECT_EQ(L"0AEF0042", Norvan::internal::serialNumberText(blob));
    CRYPT_INTEGER_BLOB empty{0, nullptr};
    EXPECT_EQ(L"", Norvan::internal::serialNumberText(empty));
}

TEST(SignatureCheck, ThumbprintText)
{
    Norvan::internal::Thumbprint t{};
    EXPECT_TRUE(Norvan::internal::parseThumbprint(L"00112233445566778899aabbccddeeffAABBCCDD", &t));
    EXPECT_EQ(0x11, t[1]);
    EXPECT_EQ(0xDD, t[19]);
    EXPECT_FALSE(Norvan::internal::parseThumbprint(L"00112233445566778899aabbccddeeffAABBCCD", &t));
    EXPECT_FALSE(Norvan::internal::parseThumbprint(L"00112233445566778899aabbccddeeffAABBCCDDE", &t));
    EXPECT_FALSE(Norvan::internal::parseThumbprint(L"g0112233445566778899aabbccddeeffAABBCCDD", &t));
}


TEST(SignatureCheck, EveryStepHasADiagnosticNameOfItsOwn)
{
    std::set<std::wstring> names;
    for (int step = static_cast<int>(SignatureStep::Accepted); step <= static_cast<int>(SignatureStep::ContentDigest);
         ++step)
    {
        const std::wstring name = Norvan::internal::signatureStepName(static_cast<SignatureStep>(step));
        EXPECT_NE(L"?", name) << step;
        EXPECT_TRUE(names.insert(name).second) << step;
    }
    EXPECT_STREQ(L"?", Norvan::internal::signatureStepName(static_cast<SignatureStep>(999)));
}

} // namespace
