// The signature check against lists, step by step, on libraries signed by
// the development PKI. Wine's WinVerifyTrust returns 0 for an untrusted root,
// a wrong usage and an expired leaf (Windows refuses them): every refusal
// here must come from the validator's own steps, and each test names the
// step that refused.

#include <gtest/gtest.h>

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

TEST(SignatureCheck, BuiltInListsAcceptTheDevelopmentSigner)
{
    EXPECT_EQ(SignatureStep::Accepted, stepFor(L"signer.dll", builtIn()));
}

TEST(SignatureCheck, UnsignedFileHasNoSignature)
{
    EXPECT_EQ(SignatureStep::NoSignature, stepFor(L"unsigned.dll", builtIn()));
}

TEST(SignatureCheck, TamperedLibraryIsRefusedByWinVerifyTrust)
{
    // The signature itself is intact, so the list steps pass; the image hash
    // no longer matches (Windows and Wine both report 0x80096010).
    EXPECT_EQ(SignatureStep::WinVerifyTrust, stepFor(L"tampered.dll", builtIn()));
}

TEST(SignatureCheck, SignerNameNotInListIsRefusedEvenWithAValidChain)
{
    EXPECT_EQ(SignatureStep::SignerName, stepFor(L"unlisted.dll", builtIn()));
}

TEST(SignatureCheck, NameComparisonIgnoresCase)
{
    TrustLists lists = builtIn();
    lists.names = {L"WARDLINE development SIGNER"};
    EXPECT_EQ(SignatureStep::Accepted, stepFor(L"signer.dll", lists));
}

TEST(SignatureCheck, AbsentNameListAcceptsAnyNameAndEmptyOneAcceptsNone)
{
    TrustLists lists = builtIn();
    lists.hasNames = false;
    lists.names.clear();
    EXPECT_EQ(SignatureStep::Accepted, stepFor(L"unlisted.dll", lists));
    lists.hasNames = true;
    EXPECT_EQ(SignatureStep::SignerName, stepFor(L"signer.dll", lists));
}

TEST(SignatureCheck, RefusedSerialNumberIsRefusedInAnyCase)
{
    TrustLists lists = builtIn();
    EXPECT_EQ(SignatureStep::Accepted, stepFor(L"refused.dll", lists))
        << "the built-in refused list is empty";
    lists.refusedSerials = {L"7e57deadbeef0042"};
    EXPECT_EQ(SignatureStep::RefusedSerial, stepFor(L"refused.dll", lists));
    EXPECT_EQ(SignatureStep::Accepted, stepFor(L"signer.dll", lists));
}

TEST(SignatureCheck, CertificateUnderAnotherRootIsRefusedByThePinnedThumbprints)
{
    // The other root is in the machine Root store of the test prefix, so the
    // chain is clean and only the pinning refuses.
    EXPECT_EQ(SignatureStep::RootThumbprint, stepFor(L"otherchain.dll", builtIn()));
    TrustLists anyRoot = builtIn();
    anyRoot.thumbprints.clear();
    EXPECT_EQ(SignatureStep::Accepted, stepFor(L"otherchain.dll", anyRoot))
        << "no pinned roots accept any chain";
}

TEST(SignatureCheck, ExpiredCertificateWithoutTimestampFailsTheChainAtTheCurrentTime)
{
    // Wine's WinVerifyTrust would accept it; the chain built at the current
    // time (no countersignature) reports the certificate as not time valid.
    EXPECT_EQ(SignatureStep::Chain, stepFor(L"expired.dll", builtIn()));
}

TEST(SignatureCheck, CertificateWithoutCodeSigningUsageFailsTheChain)
{
    // Windows' WinVerifyTrust refuses it too (0x800B0110); Wine's returns 0.
    EXPECT_EQ(SignatureStep::Chain, stepFor(L"wrongusage.dll", builtIn()));
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

TEST(SignatureCheck, HugeSerialNumberIsHandled)
{
    TrustLists lists = builtIn();
    EXPECT_EQ(SignatureStep::Accepted, stepFor(L"hugeserial.dll", lists));
    lists.refusedSerials = {
        L"00C0FFEE00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF0011223344556677"};
    EXPECT_EQ(SignatureStep::RefusedSerial, stepFor(L"hugeserial.dll", lists));
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

} // namespace
