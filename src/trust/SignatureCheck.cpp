#include "trust/SignatureCheck.h"

#include <softpub.h>
#include <wintrust.h>
#include <mssip.h>

#include <cstring>

#include "common/Hex.h"
#include "trust/TrustData.h"
#include "wrappers/UniqueResource.h"

namespace Norvan::internal
{

namespace
{

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kOidCountersignature[] = "1.2.840.113549.1.9.6";
constexpr char kOidRfc3161Timestamp[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kOidSigningTime[] = "1.2.840.113549.1.9.5";
constexpr char kOidCodeSigning[] = "1.3.6.1.5.5.7.3.3";
// WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_HASH_ONLY_FLAG |
// WTD_NO_POLICY_USAGE_FLAG
constexpr DWORD kFileCheckProviderFlags = 0x1214;

// A message parameter in a buffer aligned for the structure it holds.
struct ParamBuffer
{
    std::vector<ULONGLONG> storage;
    DWORD size = 0;
    template <typename T> T* as() noexcept { return reinterpret_cast<T*>(storage.data()); }
};

bool getMsgParam(HCRYPTMSG msg, DWORD type, DWORD index, ParamBuffer& out) noexcept
{
    DWORD size = 0;
    if (!::CryptMsgGetParam(msg, type, index, nullptr, &size) || size == 0)
    {
        return false;
    }
    try
    {
        out.storage.assign((size + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG), 0);
    }
    catch (...)
    {
        return false;
    }
    if (!::CryptMsgGetParam(msg, type, index, out.storage.data(), &size))
    {
        return false;
    }
    out.size = size;
    return true;
}

bool signingTimeFromAttributes(const CRYPT_ATTRIBUTES& attrs, FILETIME* out) noexcept
{
    for (DWORD i = 0; i < attrs.cAttr; ++i)
    {
        const CRYPT_ATTRIBUTE& attr = attrs.rgAttr[i];
        if (attr.pszObjId && std::strcmp(attr.pszObjId, kOidSigningTime) == 0 && attr.cValue > 0)
        {
            return parseUtcTime(attr.rgValue[0].pbData, attr.rgValue[0].cbData, out);
        }
    }
    return false;
}

// The signing time of a countersignature (PKCS #9) or of an RFC 3161
// timestamp among the signer's unauthenticated attributes.
bool signingTimeOf(const CMSG_SIGNER_INFO& signer, FILETIME* out) noexcept
{
    for (DWORD i = 0; i < signer.UnauthAttrs.cAttr; ++i)
    {
        const CRYPT_ATTRIBUTE& attr = signer.UnauthAttrs.rgAttr[i];
        if (!attr.pszObjId || attr.cValue == 0)
        {
            continue;
        }
        const CRYPT_ATTR_BLOB& value = attr.rgValue[0];
        if (std::strcmp(attr.pszObjId, kOidCountersignature) == 0)
        {
            CMSG_SIGNER_INFO* counter = nullptr;
            DWORD size = 0;
            if (::CryptDecodeObjectEx(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData,
                                      CRYPT_DECODE_ALLOC_FLAG, nullptr, &counter, &size))
            {
                unique_hlocal owner(counter);
                if (signingTimeFromAttributes(counter->AuthAttrs, out))
                {
                    return true;
                }
            }
        }
        else if (std::strcmp(attr.pszObjId, kOidRfc3161Timestamp) == 0)
        {
            unique_crypt_msg token(::CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
            ParamBuffer info;
            if (token && ::CryptMsgUpdate(token.get(), value.pbData, value.cbData, TRUE) &&
                getMsgParam(token.get(), CMSG_SIGNER_INFO_PARAM, 0, info) &&
                signingTimeFromAttributes(info.as<CMSG_SIGNER_INFO>()->AuthAttrs, out))
            {
                return true;
            }
        }
    }
    return false;
}

bool sha1Of(PCCERT_CONTEXT cert, Thumbprint* out) noexcept
{
    DWORD size = static_cast<DWORD>(out->size());
    return ::CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, out->data(), &size) &&
           size == out->size();
}

bool chainEndsInPinnedRoot(PCCERT_CHAIN_CONTEXT chain, const std::vector<Thumbprint>& pinned) noexcept
{
    for (DWORD c = 0; c < chain->cChain; ++c)
    {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[c];
        if (!simple || simple->cElement == 0)
        {
            continue;
        }
        Thumbprint root{};
        if (!sha1Of(simple->rgpElement[simple->cElement - 1]->pCertContext, &root))
        {
            continue;
        }
        for (const Thumbprint& p : pinned)
        {
            if (p == root)
            {
                return true;
            }
        }
    }
    for (DWORD l = 0; l < chain->cLowerQualityChainContext; ++l)
    {
        if (chain->rgpLowerQualityChainContext[l] &&
            chainEndsInPinnedRoot(chain->rgpLowerQualityChainContext[l], pinned))
        {
            return true;
        }
    }
    return false;
}

bool nameAccepted(PCCERT_CONTEXT cert, const TrustLists& lists)
{
    if (!lists.hasNames)
    {
        return true;
    }
    const DWORD length = ::CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length <= 1)
    {
        return false;
    }
    std::wstring name(length, L'\0');
    ::CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, &name[0], length);
    name.resize(length - 1);
    for (const std::wstring& accepted : lists.names)
    {
        if (::CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), accepted.c_str(),
                                   static_cast<int>(accepted.size()), TRUE) == CSTR_EQUAL)
        {
            return true;
        }
    }
    return false;
}

bool serialRefused(const std::wstring& serial, const TrustLists& lists)
{
    for (const std::wstring& refused : lists.refusedSerials)
    {
        if (::CompareStringOrdinal(serial.c_str(), static_cast<int>(serial.size()), refused.c_str(),
                                   static_cast<int>(refused.size()), TRUE) == CSTR_EQUAL)
        {
            return true;
        }
    }
    return false;
}

SignatureStep checkSigner(const wchar_t* path, HCERTSTORE store, const CMSG_SIGNER_INFO& signer,
                          const TrustLists& lists, SignatureTime time)
{
    if (serialRefused(serialNumberText(signer.SerialNumber), lists))
    {
        return SignatureStep::RefusedSerial;
    }

    CERT_INFO wanted{};
    wanted.Issuer = signer.Issuer;
    wanted.SerialNumber = signer.SerialNumber;
    unique_cert_context cert(
        ::CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
    if (!cert)
    {
        return SignatureStep::SignerCertificate;
    }
    if (!nameAccepted(cert.get(), lists))
    {
        return SignatureStep::SignerName;
    }

    FILETIME when{};
    if (!signingTimeOf(signer, &when))
    {
        ::GetSystemTimeAsFileTime(&when);
    }

    LPSTR usages[] = {const_cast<LPSTR>(kOidCodeSigning)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    unique_chain_context chain;
    PCCERT_CHAIN_CONTEXT raw = nullptr;
    if (!::CertGetCertificateChain(
            nullptr, cert.get(), &when, store, &para,
            CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_RETURN_LOWER_QUALITY_CONTEXTS, nullptr, &raw))
    {
        return SignatureStep::Chain;
    }
    chain.reset(raw);
    DWORD chainErrors = chain.get()->TrustStatus.dwErrorStatus;
    if (time == SignatureTime::ExpiryAccepted)
    {
        chainErrors &= ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_CTL_IS_NOT_TIME_VALID);
    }
    if (chainErrors != CERT_TRUST_NO_ERROR)
    {
        return SignatureStep::Chain;
    }
    if (!lists.thumbprints.empty() && !chainEndsInPinnedRoot(chain.get(), lists.thumbprints))
    {
        return SignatureStep::RootThumbprint;
    }

    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof(policyPara);
    if (time == SignatureTime::ExpiryAccepted)
    {
        policyPara.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS;
    }
    CERT_CHAIN_POLICY_STATUS policyStatus{};
    policyStatus.cbSize = sizeof(policyStatus);
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain.get(), &policyPara,
                                            &policyStatus) ||
        (policyStatus.dwError != 0 && !(time == SignatureTime::ExpiryAccepted &&
                                        policyStatus.dwError == static_cast<DWORD>(CERT_E_EXPIRED))))
    {
        return SignatureStep::ChainPolicy;
    }

    if (verifyTrust(path, kFileCheckProviderFlags, false) != 0)
    {
        return SignatureStep::WinVerifyTrust;
    }
    return SignatureStep::Accepted;
}

struct EmbeddedSignature
{
    unique_cert_store store;
    unique_crypt_msg msg;
    DWORD signers = 0;
};

bool openEmbeddedSignature(const wchar_t* path, EmbeddedSignature& sig) noexcept
{
    DWORD encoding = 0, contentType = 0, formatType = 0;
    HCERTSTORE store = nullptr;
    HCRYPTMSG msg = nullptr;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, &store,
                            &msg, nullptr))
    {
        return false;
    }
    sig.store.reset(store);
    sig.msg.reset(msg);
    DWORD size = sizeof(sig.signers);
    return sig.store && sig.msg &&
           ::CryptMsgGetParam(sig.msg.get(), CMSG_SIGNER_COUNT_PARAM, 0, &sig.signers, &size);
}

// Recomputes the file's digest through its subject interface package and
// compares it with the signed one. WinVerifyTrust does the same on Windows;
// Wine's checks the digest of PE files only, so the list would otherwise be
// taken on the signature alone there.
bool contentMatchesSignature(const wchar_t* path, HCRYPTMSG msg) noexcept
{
    GUID subject{};
    if (!::CryptSIPRetrieveSubjectGuid(path, nullptr, &subject))
    {
        return false;
    }
    SIP_DISPATCH_INFO sip{};
    sip.cbSize = sizeof(sip);
    if (!::CryptSIPLoad(&subject, 0, &sip) || !sip.pfVerify)
    {
        return false;
    }
    ParamBuffer content;
    if (!getMsgParam(msg, CMSG_CONTENT_PARAM, 0, content))
    {
        return false;
    }
    SPC_INDIRECT_DATA_CONTENT* indirect = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(kEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.as<BYTE>(), content.size,
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &indirect, &size))
    {
        return false;
    }
    unique_hlocal owner(indirect);

    unique_hfile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        return false;
    }
    SIP_SUBJECTINFO info{};
    info.cbSize = sizeof(info);
    info.pgSubjectType = &subject;
    info.hFile = file.get();
    info.pwsFileName = path;
    info.DigestAlgorithm = indirect->DigestAlgorithm;
    info.dwEncodingType = kEncoding;
    SIP_INDIRECT_DATA data{};
    data.Data = indirect->Data;
    data.DigestAlgorithm = indirect->DigestAlgorithm;
    data.Digest = indirect->Digest;
    return sip.pfVerify(&info, &data) != FALSE;
}

} // namespace

const wchar_t* signatureStepName(SignatureStep step) noexcept
{
    switch (step)
    {
    case SignatureStep::Accepted:
        return L"accepted";
    case SignatureStep::NoSignature:
        return L"no signature";
    case SignatureStep::RefusedSerial:
        return L"refused serial number";
    case SignatureStep::SignerCertificate:
        return L"signer certificate missing";
    case SignatureStep::SignerName:
        return L"signer name not accepted";
    case SignatureStep::Chain:
        return L"certificate chain at signing time";
    case SignatureStep::RootThumbprint:
        return L"root not pinned";
    case SignatureStep::ChainPolicy:
        return L"Authenticode chain policy";
    case SignatureStep::WinVerifyTrust:
        return L"WinVerifyTrust";
    case SignatureStep::ListSignerCount:
        return L"list signer count";
    case SignatureStep::ListSignerThumbprint:
        return L"list signer thumbprint";
    case SignatureStep::ContentDigest:
        return L"content digest";
    }
    return L"?";
}

TrustLists builtInTrustLists()
{
    TrustLists lists;
    lists.version = 7;
    lists.hasNames = true;
    for (const wchar_t* name : trustdata::kSignerNames)
    {
        lists.names.emplace_back(name);
    }
    for (const auto& root : trustdata::kRootThumbprints)
    {
        Thumbprint t{};
        std::memcpy(t.data(), root, t.size());
        lists.thumbprints.push_back(t);
    }
    return lists;
}

Thumbprint builtInListSignerThumbprint()
{
    Thumbprint t{};
    std::memcpy(t.data(), trustdata::kListSignerThumbprint, t.size());
    return t;
}

LONG verifyTrust(const wchar_t* path, DWORD providerFlags, bool closeState) noexcept
{
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = closeState ? WTD_STATEACTION_VERIFY : WTD_STATEACTION_IGNORE;
    data.dwProvFlags = providerFlags;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (closeState)
    {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    }
    return result;
}

bool checkFileSignature(const wchar_t* path, const TrustLists& lists, SignatureStep* refusedAt,
                        SignatureTime time) noexcept
{
    SignatureStep step = SignatureStep::NoSignature;
    try
    {
        EmbeddedSignature sig;
        if (path && *path && openEmbeddedSignature(path, sig))
        {
            for (DWORD i = 0; i < sig.signers; ++i)
            {
                ParamBuffer info;
                if (!getMsgParam(sig.msg.get(), CMSG_SIGNER_INFO_PARAM, i, info))
                {
                    step = SignatureStep::SignerCertificate;
                    continue;
                }
                step = checkSigner(path, sig.store.get(), *info.as<CMSG_SIGNER_INFO>(), lists, time);
                if (step == SignatureStep::Accepted)
                {
                    break;
                }
            }
        }
    }
    catch (...)
    {
        step = SignatureStep::NoSignature;
    }
    if (refusedAt)
    {
        *refusedAt = step;
    }
    return step == SignatureStep::Accepted;
}

bool checkTrustedListSignature(const wchar_t* path, const Thumbprint& listSigner,
                               SignatureStep* refusedAt) noexcept
{
    SignatureStep step = SignatureStep::NoSignature;
    EmbeddedSignature sig;
    if (path && *path && openEmbeddedSignature(path, sig))
    {
        step = SignatureStep::ListSignerCount;
        ParamBuffer certInfo;
        if (sig.signers == 1 && getMsgParam(sig.msg.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, certInfo))
        {
            step = SignatureStep::ListSignerThumbprint;
            unique_cert_context cert(
                ::CertGetSubjectCertificateFromStore(sig.store.get(), kEncoding, certInfo.as<CERT_INFO>()));
            Thumbprint actual{};
            if (cert && sha1Of(cert.get(), &actual) && actual == listSigner)
            {
                step = SignatureStep::WinVerifyTrust;
                if (verifyTrust(path, kFileCheckProviderFlags, false) == 0)
                {
                    step = contentMatchesSignature(path, sig.msg.get()) ? SignatureStep::Accepted
                                                                        : SignatureStep::ContentDigest;
                }
            }
        }
    }
    if (refusedAt)
    {
        *refusedAt = step;
    }
    return step == SignatureStep::Accepted;
}

bool countersignedSigningTime(const wchar_t* path, DWORD signerIndex, FILETIME* out) noexcept
{
    EmbeddedSignature sig;
    ParamBuffer info;
    return path && out && openEmbeddedSignature(path, sig) && signerIndex < sig.signers &&
           getMsgParam(sig.msg.get(), CMSG_SIGNER_INFO_PARAM, signerIndex, info) &&
           signingTimeOf(*info.as<CMSG_SIGNER_INFO>(), out);
}

bool parseUtcTime(const BYTE* data, DWORD size, FILETIME* out) noexcept
{
    // 0x17 (UTCTime), length 13, "YYMMDDHHMMSSZ".
    if (!data || !out || size != 15 || data[0] != 0x17 || data[1] != 13 || data[14] != 'Z')
    {
        return false;
    }
    int digits[6];
    for (int i = 0; i < 6; ++i)
    {
        const BYTE hi = data[2 + 2 * i];
        const BYTE lo = data[3 + 2 * i];
        if (hi < '0' || hi > '9' || lo < '0' || lo > '9')
        {
            return false;
        }
        digits[i] = (hi - '0') * 10 + (lo - '0');
    }
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(digits[0] < 70 ? 2000 + digits[0] : 1900 + digits[0]);
    st.wMonth = static_cast<WORD>(digits[1]);
    st.wDay = static_cast<WORD>(digits[2]);
    st.wHour = static_cast<WORD>(digits[3]);
    st.wMinute = static_cast<WORD>(digits[4]);
    st.wSecond = static_cast<WORD>(digits[5]);
    return ::SystemTimeToFileTime(&st, out) != FALSE;
}

std::wstring serialNumberText(const CRYPT_INTEGER_BLOB& serial)
{
    std::wstring text;
    if (!serial.pbData)
    {
        return text;
    }
    text.reserve(serial.cbData * 2);
    for (DWORD i = serial.cbData; i > 0; --i)
    {
        const BYTE b = serial.pbData[i - 1];
        text.push_back(Plinth::HexDigitChar(b >> 4));
        text.push_back(Plinth::HexDigitChar(b));
    }
    return text;
}

bool parseThumbprint(const std::wstring& text, Thumbprint* out) noexcept
{
    if (text.size() != 40 || !out)
    {
        return false;
    }
    Thumbprint t{};
    for (size_t i = 0; i < t.size(); ++i)
    {
        const int hi = Plinth::HexDigitValue(text[2 * i]);
        const int lo = Plinth::HexDigitValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
        {
            return false;
        }
        t[i] = static_cast<BYTE>(hi << 4 | lo);
    }
    *out = t;
    return true;
}

} // namespace Norvan::internal
