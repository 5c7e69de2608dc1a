#include "ScriptSignature.h"

#include <wincrypt.h>

#include <cstring>
#include <vector>

namespace ScriptSip
{

namespace
{

constexpr char kSha1Oid[] = "1.3.14.3.2.26";
constexpr char kSha256Oid[] = "2.16.840.1.101.3.4.2.1";
const std::wstring kPrefix = L"// SIG // ";
const std::wstring kBegin = L"// SIG // Begin signature block";
const std::wstring kEnd = L"// SIG // End signature block";
constexpr size_t kMaxScript = 16u * 1024u * 1024u;

} // namespace

bool readWholeFile(HANDLE file, const wchar_t* name, std::string* bytes)
{
    HANDLE own = INVALID_HANDLE_VALUE;
    if (!file || file == INVALID_HANDLE_VALUE)
    {
        if (!name)
        {
            return false;
        }
        own = ::CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (own == INVALID_HANDLE_VALUE)
        {
            return false;
        }
        file = own;
    }
    bool ok = false;
    LARGE_INTEGER size{};
    LARGE_INTEGER zero{};
    LARGE_INTEGER old{};
    if (::GetFileSizeEx(file, &size) && size.QuadPart <= static_cast<LONGLONG>(kMaxScript) &&
        ::SetFilePointerEx(file, zero, &old, FILE_CURRENT) &&
        ::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN))
    {
        bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        ok = bytes->empty() ||
             (::ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &read, nullptr) &&
              read == bytes->size());
        ::SetFilePointerEx(file, old, nullptr, FILE_BEGIN);
    }
    if (own != INVALID_HANDLE_VALUE)
    {
        ::CloseHandle(own);
    }
    return ok;
}

bool parseScript(const std::string& bytes, ParsedScript* out)
{
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE)
    {
        return false;
    }
    *out = ParsedScript{};
    out->contentBytes = bytes.size();
    const size_t units = bytes.size() / 2;
    auto unitAt = [&](size_t i)
    {
        return static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    };

    std::string base64;
    bool inBlock = false;
    size_t lineStart = 1; // after the byte order mark
    while (lineStart <= units)
    {
        size_t lineEnd = lineStart;
        while (lineEnd < units && unitAt(lineEnd) != L'\n')
        {
            ++lineEnd;
        }
        std::wstring line;
        for (size_t i = lineStart; i < lineEnd; ++i)
        {
            line.push_back(unitAt(i));
        }
        if (!line.empty() && line.back() == L'\r')
        {
            line.pop_back();
        }
        if (!inBlock)
        {
            if (line == kBegin)
            {
                inBlock = true;
                // The digest stops before the line break that precedes the
                // block.
                size_t start = lineStart;
                if (start > 1 && unitAt(start - 1) == L'\n')
                {
                    --start;
                    if (start > 1 && unitAt(start - 1) == L'\r')
                    {
                        --start;
                    }
                }
                out->contentBytes = start * 2;
            }
        }
        else if (line == kEnd)
        {
            out->signedBlock = true;
            break;
        }
        else
        {
            if (line.compare(0, kPrefix.size(), kPrefix) != 0)
            {
                return false;
            }
            for (size_t i = kPrefix.size(); i < line.size(); ++i)
            {
                const wchar_t c = line[i];
                if (c > 0x7F)
                {
                    return false;
                }
                if (c != L' ' && c != L'\t')
                {
                    base64.push_back(static_cast<char>(c));
                }
            }
        }
        if (lineEnd >= units)
        {
            break;
        }
        lineStart = lineEnd + 1;
    }
    if (inBlock && !out->signedBlock)
    {
        return false; // a block without its end line
    }
    if (out->signedBlock)
    {
        DWORD size = 0;
        if (base64.empty() ||
            !::CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                                    nullptr, &size, nullptr, nullptr) ||
            size == 0)
        {
            return false;
        }
        out->der.assign(size, '\0');
        if (!::CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                                    reinterpret_cast<BYTE*>(&out->der[0]), &size, nullptr, nullptr))
        {
            return false;
        }
        out->der.resize(size);
    }
    return true;
}

bool digestOf(const std::string& bytes, size_t length, const char* algorithmOid, std::string* digest)
{
    ALG_ID algorithm = 0;
    if (algorithmOid && std::strcmp(algorithmOid, kSha256Oid) == 0)
    {
        algorithm = CALG_SHA_256;
    }
    else if (algorithmOid && std::strcmp(algorithmOid, kSha1Oid) == 0)
    {
        algorithm = CALG_SHA1;
    }
    else
    {
        return false;
    }
    if (length > bytes.size())
    {
        return false;
    }
    HCRYPTPROV provider = 0;
    if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
    {
        return false;
    }
    bool ok = false;
    HCRYPTHASH hash = 0;
    if (::CryptCreateHash(provider, algorithm, 0, 0, &hash))
    {
        DWORD size = 0;
        DWORD sizeBytes = sizeof(size);
        if ((length == 0 || ::CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()),
                                            static_cast<DWORD>(length), 0)) &&
            ::CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeBytes, 0) && size > 0)
        {
            digest->assign(size, '\0');
            ok = ::CryptGetHashParam(hash, HP_HASHVAL, reinterpret_cast<BYTE*>(&(*digest)[0]), &size, 0) !=
                 FALSE;
        }
        ::CryptDestroyHash(hash);
    }
    ::CryptReleaseContext(provider, 0);
    return ok;
}

} // namespace ScriptSip
