// Subject interface package for UTF-16 script files signed in "// SIG //"
// comment lines: it finds the PKCS #7 message for CryptQueryObject and
// WinVerifyTrust, and recomputes the content digest.

#include <windows.h>
#include <wincrypt.h>
#include <mssip.h>

#include <cstring>

#include "ScriptSignature.h"

namespace
{

// {C1B4A6D2-7E35-4F0B-9A81-3D52E6F70C94}
const GUID kScriptSubject = {0xC1B4A6D2, 0x7E35, 0x4F0B, {0x9A, 0x81, 0x3D, 0x52, 0xE6, 0xF7, 0x0C, 0x94}};
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kSha256Oid[] = "2.16.840.1.101.3.4.2.1";
constexpr char kIndirectDataTypeOid[] = "1.3.6.1.4.1.311.2.1.30"; // SPC_SIGINFO_OBJID

HMODULE g_self = nullptr;

bool loadSubject(SIP_SUBJECTINFO* info, std::string* bytes, ScriptSip::ParsedScript* parsed)
{
    if (!info || info->cbSize < sizeof(DWORD))
    {
        return false;
    }
    return ScriptSip::readWholeFile(info->hFile, info->pwsFileName, bytes) &&
           ScriptSip::parseScript(*bytes, parsed);
}

bool writeWholeFile(SIP_SUBJECTINFO* info, const std::string& bytes)
{
    HANDLE file = ::CreateFileW(info->pwsFileName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    DWORD written = 0;
    const bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    ::CloseHandle(file);
    return ok;
}

void appendUtf16(std::string* out, const char* ascii)
{
    for (; *ascii; ++ascii)
    {
        out->push_back(*ascii);
        out->push_back('\0');
    }
}

} // namespace

extern "C"
{

    BOOL WINAPI ScriptSipIsMyFileType(HANDLE file, GUID* subject)
    {
        if (!subject)
        {
            return FALSE;
        }
        BYTE head[2] = {};
        DWORD read = 0;
        LARGE_INTEGER zero{};
        LARGE_INTEGER old{};
        if (!::SetFilePointerEx(file, zero, &old, FILE_CURRENT) ||
            !::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN))
        {
            return FALSE;
        }
        const BOOL ok = ::ReadFile(file, head, sizeof(head), &read, nullptr);
        ::SetFilePointerEx(file, old, nullptr, FILE_BEGIN);
        if (!ok || read != 2 || head[0] != 0xFF || head[1] != 0xFE)
        {
            return FALSE;
        }
        *subject = kScriptSubject;
        return TRUE;
    }

    BOOL WINAPI ScriptSipGetSignedDataMsg(SIP_SUBJECTINFO* info, DWORD* encoding, DWORD index, DWORD* size,
                                          BYTE* data)
    {
        std::string bytes;
        ScriptSip::ParsedScript parsed;
        if (!encoding || !size || index != 0 || !loadSubject(info, &bytes, &parsed) || !parsed.signedBlock)
        {
            ::SetLastError(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
            return FALSE;
        }
        *encoding = kEncoding;
        if (!data)
        {
            *size = static_cast<DWORD>(parsed.der.size());
            return TRUE;
        }
        if (*size < parsed.der.size())
        {
            *size = static_cast<DWORD>(parsed.der.size());
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        // DER bytes, not text.
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
        std::memcpy(data, parsed.der.data(), parsed.der.size());
        *size = static_cast<DWORD>(parsed.der.size());
        return TRUE;
    }

    BOOL WINAPI ScriptSipPutSignedDataMsg(SIP_SUBJECTINFO* info, DWORD /*encoding*/, DWORD* index, DWORD size,
                                          BYTE* data)
    {
        std::string bytes;
        ScriptSip::ParsedScript parsed;
        if (!info || !info->pwsFileName || !data || size == 0 || !loadSubject(info, &bytes, &parsed))
        {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        DWORD chars = 0;
        if (!::CryptBinaryToStringA(data, size, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr, &chars))
        {
            return FALSE;
        }
        std::string base64(chars, '\0');
        if (!::CryptBinaryToStringA(data, size, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, &base64[0],
                                    &chars))
        {
            return FALSE;
        }
        base64.resize(chars);
        std::string out = bytes.substr(0, parsed.contentBytes);
        appendUtf16(&out, "\r\n// SIG // Begin signature block");
        for (size_t i = 0; i < base64.size(); i += 64)
        {
            appendUtf16(&out, "\r\n// SIG // ");
            appendUtf16(&out, base64.substr(i, 64).c_str());
        }
        appendUtf16(&out, "\r\n// SIG // End signature block\r\n");
        if (index)
        {
            *index = 0;
        }
        return writeWholeFile(info, out) ? TRUE : FALSE;
    }

    BOOL WINAPI ScriptSipRemoveSignedDataMsg(SIP_SUBJECTINFO* info, DWORD index)
    {
        std::string bytes;
        ScriptSip::ParsedScript parsed;
        if (index != 0 || !info || !info->pwsFileName || !loadSubject(info, &bytes, &parsed))
        {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return writeWholeFile(info, bytes.substr(0, parsed.contentBytes)) ? TRUE : FALSE;
    }

    BOOL WINAPI ScriptSipCreateIndirectData(SIP_SUBJECTINFO* info, DWORD* size, SIP_INDIRECT_DATA* indirect)
    {
        std::string bytes;
        ScriptSip::ParsedScript parsed;
        if (!size || !loadSubject(info, &bytes, &parsed))
        {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const char* algorithm = info->DigestAlgorithm.pszObjId ? info->DigestAlgorithm.pszObjId : kSha256Oid;
        std::string digest;
        if (!ScriptSip::digestOf(bytes, parsed.contentBytes, algorithm, &digest))
        {
            ::SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
            return FALSE;
        }
        // One block: the structure, then the OIDs and the digest it points to.
        const size_t typeLength = std::strlen(kIndirectDataTypeOid) + 1;
        const size_t algorithmLength = std::strlen(algorithm) + 1;
        const DWORD needed =
            static_cast<DWORD>(sizeof(SIP_INDIRECT_DATA) + typeLength + algorithmLength + digest.size());
        if (!indirect)
        {
            *size = needed;
            return TRUE;
        }
        if (*size < needed)
        {
            *size = needed;
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        BYTE* tail = reinterpret_cast<BYTE*>(indirect + 1);
        std::memset(indirect, 0, sizeof(*indirect));
        std::memcpy(tail, kIndirectDataTypeOid, typeLength);
        indirect->Data.pszObjId = reinterpret_cast<char*>(tail);
        tail += typeLength;
        std::memcpy(tail, algorithm, algorithmLength);
        indirect->DigestAlgorithm.pszObjId = reinterpret_cast<char*>(tail);
        tail += algorithmLength;
        // The digest's bytes, not text.
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
        std::memcpy(tail, digest.data(), digest.size());
        indirect->Digest.pbData = tail;
        indirect->Digest.cbData = static_cast<DWORD>(digest.size());
        *size = needed;
        return TRUE;
    }

    BOOL WINAPI ScriptSipVerifyIndirectData(SIP_SUBJECTINFO* info, SIP_INDIRECT_DATA* indirect)
    {
        std::string bytes;
        ScriptSip::ParsedScript parsed;
        if (!indirect || !loadSubject(info, &bytes, &parsed) || !parsed.signedBlock)
        {
            ::SetLastError(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
            return FALSE;
        }
        std::string digest;
        if (!ScriptSip::digestOf(bytes, parsed.contentBytes, indirect->DigestAlgorithm.pszObjId, &digest) ||
            digest.size() != indirect->Digest.cbData ||
            std::memcmp(digest.data(), indirect->Digest.pbData, digest.size()) != 0)
        {
            ::SetLastError(static_cast<DWORD>(TRUST_E_BAD_DIGEST));
            return FALSE;
        }
        return TRUE;
    }

    HRESULT WINAPI DllRegisterServer()
    {
        wchar_t path[MAX_PATH] = {};
        if (!::GetModuleFileNameW(g_self, path, MAX_PATH))
        {
            return HRESULT_FROM_WIN32(::GetLastError());
        }
        GUID subject = kScriptSubject;
        SIP_ADD_NEWPROVIDER provider{};
        provider.cbStruct = sizeof(provider);
        provider.pgSubject = &subject;
        provider.pwszDLLFileName = path;
        provider.pwszIsFunctionName = const_cast<wchar_t*>(L"ScriptSipIsMyFileType");
        provider.pwszGetFuncName = const_cast<wchar_t*>(L"ScriptSipGetSignedDataMsg");
        provider.pwszPutFuncName = const_cast<wchar_t*>(L"ScriptSipPutSignedDataMsg");
        provider.pwszCreateFuncName = const_cast<wchar_t*>(L"ScriptSipCreateIndirectData");
        provider.pwszVerifyFuncName = const_cast<wchar_t*>(L"ScriptSipVerifyIndirectData");
        provider.pwszRemoveFuncName = const_cast<wchar_t*>(L"ScriptSipRemoveSignedDataMsg");
        return ::CryptSIPAddProvider(&provider) ? S_OK : HRESULT_FROM_WIN32(::GetLastError());
    }

    HRESULT WINAPI DllUnregisterServer()
    {
        GUID subject = kScriptSubject;
        return ::CryptSIPRemoveProvider(&subject) ? S_OK : HRESULT_FROM_WIN32(::GetLastError());
    }

    BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
    {
        if (reason == DLL_PROCESS_ATTACH)
        {
            g_self = instance;
            ::DisableThreadLibraryCalls(instance);
        }
        return TRUE;
    }

} // extern "C"
