#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <array>
#include <string>
#include <vector>

namespace Norvan::internal
{

using Thumbprint = std::array<BYTE, 20>;

// The lists a file's signature is judged against: the built-in ones or those
// of a loaded trusted list.
struct TrustLists
{
    DWORD version = 0;
    // Without a name list (a trusted list without "ORG") any signer name is
    // accepted; a present but empty list accepts none.
    bool hasNames = false;
    std::vector<std::wstring> names;
    // Empty: any root is accepted.
    std::vector<Thumbprint> thumbprints;
    // Serial numbers as hexadecimal text, most significant byte first.
    std::vector<std::wstring> refusedSerials;
};

// The step that refused a file (for tests and diagnostics).
enum class SignatureStep
{
    Accepted,
    NoSignature,          // no embedded PKCS #7 signature, or no signer
    RefusedSerial,        // the signer's serial number is refused
    SignerCertificate,    // the signer's certificate is not in the message
    SignerName,           // simple display name not accepted
    Chain,                // chain at the signing time has errors
    RootThumbprint,       // no chain ends in a pinned root
    ChainPolicy,          // Authenticode chain policy failed
    WinVerifyTrust,       // WinVerifyTrust did not return 0
    ListSignerCount,      // a trusted list must have exactly one signer
    ListSignerThumbprint, // a trusted list's signer is not the list signer
    ContentDigest         // the list's content does not match its signature
};

const wchar_t* signatureStepName(SignatureStep step) noexcept;

// The built-in lists: list version 7, the maker's four names, six pinned
// roots, no refused serial.
TrustLists builtInTrustLists();
Thumbprint builtInListSignerThumbprint();

// Whether a certificate that was not valid at the signing time fails the
// check. The trust library is taken also with an expired signature, as its
// WinVerifyTrust rule does; everything else is judged strictly.
enum class SignatureTime
{
    MustBeValid,
    ExpiryAccepted
};

// Judges the embedded Authenticode signature of a file against the lists.
// The first signer that passes every step makes the file trusted.
bool checkFileSignature(const wchar_t* path, const TrustLists& lists, SignatureStep* refusedAt = nullptr,
                        SignatureTime time = SignatureTime::MustBeValid) noexcept;

// The signature rule of the trusted list: exactly one signer whose
// certificate has the list-signer thumbprint, WinVerifyTrust succeeds, and
// the content matches the signed digest.
bool checkTrustedListSignature(const wchar_t* path, const Thumbprint& listSigner,
                               SignatureStep* refusedAt = nullptr) noexcept;

// WinVerifyTrust with the generic verification action, no user interface, no
// revocation checks, on a file. With closeState the state is opened with
// WTD_STATEACTION_VERIFY and closed again.
LONG verifyTrust(const wchar_t* path, DWORD providerFlags, bool closeState) noexcept;

// The signing time that a signer's countersignature or RFC 3161 timestamp
// carries; false when the signer has none.
bool countersignedSigningTime(const wchar_t* path, DWORD signerIndex, FILETIME* out) noexcept;

// A DER UTCTime (tag 0x17, "YYMMDDHHMMSSZ"); years below 70 are 20xx.
bool parseUtcTime(const BYTE* data, DWORD size, FILETIME* out) noexcept;

// Serial number (little-endian blob) as upper-case hex, most significant
// byte first.
std::wstring serialNumberText(const CRYPT_INTEGER_BLOB& serial);

// 40 hex digits to 20 bytes; false for anything else.
bool parseThumbprint(const std::wstring& text, Thumbprint* out) noexcept;

} // namespace Norvan::internal
