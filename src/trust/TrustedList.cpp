#include "trust/TrustedList.h"

#include <shlobj.h>
#include <strsafe.h>

#include <cwctype>
#include <utility>

#include "common/Path.h"
#include "wrappers/SrwLock.h"
#include "wrappers/UniqueResource.h"

namespace Norvan::internal
{

namespace
{

std::wstring trimmed(const std::wstring& line)
{
    size_t begin = 0;
    size_t end = line.size();
    while (begin < end && (line[begin] == L' ' || line[begin] == L'\t'))
    {
        ++begin;
    }
    while (end > begin && (line[end - 1] == L' ' || line[end - 1] == L'\t'))
    {
        --end;
    }
    return line.substr(begin, end - begin);
}

bool startsWith(const std::wstring& s, const wchar_t* prefix)
{
    return s.compare(0, wcslen(prefix), prefix) == 0;
}

bool parseDecimal(const std::wstring& text, DWORD* out)
{
    if (text.empty() || text.size() > 10)
    {
        return false;
    }
    ULONGLONG value = 0;
    for (wchar_t c : text)
    {
        if (c < L'0' || c > L'9')
        {
            return false;
        }
        value = value * 10 + static_cast<ULONGLONG>(c - L'0');
    }
    if (value > 0xFFFFFFFFull)
    {
        return false;
    }
    *out = static_cast<DWORD>(value);
    return true;
}

// Reads the whole file (at most kMaxFileSize bytes) through an open handle.
bool readWhole(HANDLE file, std::string* bytes)
{
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart > TrustedList::kMaxFileSize)
    {
        return false;
    }
    bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) ||
        (!bytes->empty() &&
         !::ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &read, nullptr)))
    {
        return false;
    }
    bytes->resize(read);
    return true;
}

// Reads the whole file under a shared byte-range lock, so that an installer
// holding the exclusive lock is waited for.
bool readLocked(HANDLE file, std::string* bytes)
{
    OVERLAPPED whole{};
    if (!::LockFileEx(file, 0, 0, MAXDWORD, MAXDWORD, &whole))
    {
        return false;
    }
    const bool ok = readWhole(file, bytes);
    OVERLAPPED unlock{};
    ::UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &unlock);
    return ok;
}

// The signature covers the text before its block; what follows the block's
// end line is no one's word, so a list with anything but white space there
// is not the list that was signed. Lines are those of the script signature
// format: split at LF, one CR before it dropped, compared exactly.
bool nothingAfterSignature(const std::wstring& text)
{
    static const std::wstring kBegin = L"// SIG // Begin signature block";
    static const std::wstring kEnd = L"// SIG // End signature block";
    bool inBlock = false;
    size_t pos = 0;
    while (pos < text.size())
    {
        size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos)
        {
            end = text.size();
        }
        size_t length = end - pos;
        if (length > 0 && text[pos + length - 1] == L'\r')
        {
            --length;
        }
        const bool begin = text.compare(pos, length, kBegin) == 0;
        const bool last = inBlock && text.compare(pos, length, kEnd) == 0;
        pos = end + 1;
        if (last)
        {
            return pos >= text.size() || text.find_first_not_of(L" \t\r\n", pos) == std::wstring::npos;
        }
        inBlock = inBlock || begin;
    }
    return false;
}

} // namespace

TrustedList::TrustedList(std::wstring path, const Thumbprint& listSigner)
    : path_(std::move(path)), listSigner_(listSigner)
{
}

std::wstring TrustedList::defaultPath()
{
    wchar_t windows[MAX_PATH] = {};
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring root = L"C:\\";
    if (length >= 2 && length < MAX_PATH && windows[1] == L':')
    {
        root = std::wstring(windows, 2) + L"\\";
    }
    return root + L"Program Files\\Common Files\\Korvex\\Platform\\Core\\trusted.js";
}

std::wstring TrustedList::decode(const std::string& bytes)
{
    size_t offset = 0;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE)
    {
        offset = 2;
    }
    std::wstring text;
    text.reserve((bytes.size() - offset) / 2);
    for (size_t i = offset; i + 1 < bytes.size(); i += 2)
    {
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                            static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
}

bool TrustedList::parse(const std::wstring& text, Contents* out)
{
    enum class Section
    {
        None,
        Other,
        Ver,
        Org,
        Ser,
        Sha
    };
    Section section = Section::None;
    TrustLists lists;
    std::vector<std::wstring> versions;
    bool hasShaSection = false;

    size_t pos = 0;
    while (pos <= text.size())
    {
        size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos)
        {
            end = text.size();
        }
        std::wstring line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == L'\r')
        {
            line.pop_back();
        }
        line = trimmed(line);
        if (line.empty() || startsWith(line, L"/*") || startsWith(line, L"//") || startsWith(line, L"*/"))
        {
            continue;
        }
        if (line.size() >= 2 && line.front() == L'[' && line.back() == L']')
        {
            const std::wstring name = line.substr(1, line.size() - 2);
            if (name == L"VER")
            {
                section = Section::Ver;
            }
            else if (name == L"ORG")
            {
                section = Section::Org;
                lists.hasNames = true;
            }
            else if (name == L"SER")
            {
                section = Section::Ser;
            }
            else if (name == L"SHA")
            {
                section = Section::Sha;
                hasShaSection = true;
            }
            else
            {
                section = Section::Other;
            }
            continue;
        }
        switch (section)
        {
        case Section::Ver:
            versions.push_back(line);
            break;
        case Section::Org:
            lists.names.push_back(line);
            break;
        case Section::Ser:
            lists.refusedSerials.push_back(line);
            break;
        case Section::Sha:
        {
            Thumbprint t{};
            if (parseThumbprint(line, &t))
            {
                lists.thumbprints.push_back(t);
            }
            break;
        }
        case Section::None:
        case Section::Other:
            break;
        }
    }
    if (versions.size() != 1 || !parseDecimal(versions[0], &lists.version))
    {
        return false;
    }
    // An empty thumbprint list accepts any root: a section meant to pin roots
    // that pins none must not turn into that.
    if (hasShaSection && lists.thumbprints.empty())
    {
        return false;
    }
    if (out)
    {
        out->lists = std::move(lists);
    }
    return true;
}

bool TrustedList::readFile(const std::wstring& path, Contents* out, SignatureStep* refusedAt,
                           HANDLE* keepOpen) const
{
    if (refusedAt)
    {
        *refusedAt = SignatureStep::NoSignature;
    }
    // Held open without write sharing from the signature check to the last
    // byte read, so that the bytes read are the bytes verified.
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        return false;
    }
    if (!checkTrustedListSignature(path.c_str(), listSigner_, refusedAt))
    {
        return false;
    }
    std::string bytes;
    Contents contents;
    try
    {
        if (!readLocked(file.get(), &bytes))
        {
            return false;
        }
        const std::wstring text = decode(bytes);
        if (!nothingAfterSignature(text))
        {
            if (refusedAt)
            {
                *refusedAt = SignatureStep::ContentDigest;
            }
            return false;
        }
        if (!parse(text, &contents))
        {
            return false;
        }
    }
    catch (...)
    {
        return false;
    }
    if (out)
    {
        *out = std::move(contents);
    }
    if (keepOpen)
    {
        *keepOpen = file.release();
    }
    return true;
}

bool TrustedList::isLoaded() const
{
    srw_shared_guard guard(lock_);
    return loaded_;
}

DWORD TrustedList::version() const
{
    srw_shared_guard guard(lock_);
    return loaded_ ? lists_.version : 0;
}

TrustLists TrustedList::lists() const
{
    srw_shared_guard guard(lock_);
    return loaded_ ? lists_ : TrustLists{};
}

bool TrustedList::loadLocked()
{
    if (loaded_)
    {
        return true;
    }
    Contents contents;
    if (!readFile(path_, &contents))
    {
        return false;
    }
    lists_ = std::move(contents.lists);
    loaded_ = true;
    return true;
}

bool TrustedList::load()
{
    srw_exclusive_guard guard(lock_);
    return loadLocked();
}

bool TrustedList::reload()
{
    srw_exclusive_guard guard(lock_);
    loaded_ = false;
    lists_ = TrustLists{};
    return loadLocked();
}

bool TrustedList::checkIfNewerThan(const wchar_t* file, DWORD version, bool* inForce) const
{
    srw_shared_guard guard(lock_);
    *inForce = loaded_ && lists_.version > version;
    return *inForce && checkFileSignature(file, lists_);
}

unique_hfile TrustedList::createTempFile(std::wstring* path)
{
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH)
    {
        return unique_hfile();
    }
    static volatile LONG counter = 0;
    for (int attempt = 0; attempt < 64; ++attempt)
    {
        wchar_t name[64] = {};
        const LONG n = ::InterlockedIncrement(&counter);
        if (FAILED(::StringCchPrintfW(name, 64, L"trustedjs%04lX%04lX%04lX.js",
                                      ::GetCurrentProcessId() & 0xFFFF,
                                      static_cast<unsigned long>(::GetTickCount()) & 0xFFFF,
                                      static_cast<unsigned long>(n) & 0xFFFF)))
        {
            return unique_hfile();
        }
        std::wstring candidate = std::wstring(folder) + name;
        unique_hfile file(::CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file)
        {
            *path = std::move(candidate);
            return file;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
        {
            return unique_hfile();
        }
    }
    return unique_hfile();
}

void TrustedList::deleteTempFile(const std::wstring& path)
{
    if (!path.empty())
    {
        // Extracted files keep the cabinet entry's attributes, read-only too.
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
    }
}

bool TrustedList::versionOfLockedFile(HANDLE locked, DWORD* version) const
{
    // Other handles may not read the bytes under the exclusive lock, so the
    // signature is checked on a private copy of them.
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(locked, &size))
    {
        return false;
    }
    *version = 0;
    if (size.QuadPart > kMaxFileSize)
    {
        return true;
    }
    std::string bytes;
    std::wstring copyPath;
    try
    {
        if (!readWhole(locked, &bytes))
        {
            return false;
        }
        unique_hfile copy = createTempFile(&copyPath);
        if (!copy)
        {
            return false;
        }
        DWORD written = 0;
        const bool copied =
            bytes.empty() ||
            (::WriteFile(copy.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
             written == bytes.size());
        copy.reset();
        Contents contents;
        if (copied && readFile(copyPath, &contents))
        {
            *version = contents.lists.version;
        }
        deleteTempFile(copyPath);
        return copied;
    }
    catch (...)
    {
        deleteTempFile(copyPath);
        return false;
    }
}

TrustedList::InstallResult TrustedList::install(const std::wstring& candidate, DWORD candidateVersion)
{
    srw_exclusive_guard guard(lock_);
    if (loaded_ && lists_.version >= candidateVersion)
    {
        return InstallResult::NotNewer;
    }
    const std::wstring folder = folderOf(path_);
    const std::wstring temp = folder + L"\\trusted.tmp";

    // Readers of the installed file take a shared byte-range lock; this one
    // keeps them, and every other installer, out until the new file is in
    // place. Delete sharing lets the replacement go ahead while it is held.
    unique_hfile installed(::CreateFileW(path_.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!installed && ::GetLastError() != ERROR_FILE_NOT_FOUND && ::GetLastError() != ERROR_PATH_NOT_FOUND)
    {
        // An installed list we cannot read may be newer than the candidate.
        return InstallResult::Failed;
    }
    OVERLAPPED whole{};
    if (installed && !::LockFileEx(installed.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole))
    {
        return InstallResult::Failed;
    }
    auto unlock = [&]()
    {
        if (installed)
        {
            OVERLAPPED o{};
            ::UnlockFileEx(installed.get(), 0, MAXDWORD, MAXDWORD, &o);
        }
        installed.reset();
    };
    // The installed file, not this process's copy in memory, decides what
    // is newer: this process may have failed to load it, and another one may
    // have installed a newer list since. A file that is not a valid list has
    // version 0.
    if (installed)
    {
        DWORD installedVersion = 0;
        if (!versionOfLockedFile(installed.get(), &installedVersion))
        {
            unlock();
            return InstallResult::Failed;
        }
        if (installedVersion >= candidateVersion)
        {
            unlock();
            return InstallResult::NotNewer;
        }
    }

    const int created = ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (created != ERROR_SUCCESS && created != ERROR_ALREADY_EXISTS && created != ERROR_FILE_EXISTS)
    {
        unlock();
        return InstallResult::Failed;
    }
    if (!::CopyFileW(candidate.c_str(), temp.c_str(), FALSE))
    {
        unlock();
        return InstallResult::Failed;
    }
    // The entry's attributes stay on the extracted file; the installed list
    // must stay replaceable by the next update.
    ::SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);

    BOOL moved = FALSE;
    if (::GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES)
    {
        ::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
        moved = ::ReplaceFileW(path_.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                               nullptr);
    }
    else
    {
        moved =
            ::MoveFileExW(temp.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    unlock();
    if (!moved)
    {
        ::MoveFileExW(temp.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
        return InstallResult::Failed;
    }
    ::GlobalAddAtomW(kTrustedListAtom);
    loaded_ = false;
    lists_ = TrustLists{};
    loadLocked();
    return InstallResult::Installed;
}

} // namespace Norvan::internal
