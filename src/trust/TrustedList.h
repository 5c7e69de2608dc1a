#pragma once

#include <windows.h>

#include <string>

#include "trust/SignatureCheck.h"
#include "wrappers/Sync.h"
#include "wrappers/UniqueResource.h"

namespace Norvan::internal
{

// The signed list file "trusted.js" that can replace the built-in trust
// lists. UTF-16 text in sections "[VER]", "[ORG]", "[SER]" and "[SHA]"; its
// embedded "// SIG //" signature must come from the list signer. Read under a
// shared lock, loaded, reloaded and installed under the exclusive lock.
class TrustedList
{
public:
    // The list as read from a file, before it is in force.
    struct Contents
    {
        TrustLists lists;
    };

    // Files larger than this are not read as a list.
    static constexpr DWORD kMaxFileSize = 4u * 1024u * 1024u;

    TrustedList(std::wstring path, const Thumbprint& listSigner);
    TrustedList(const TrustedList&) = delete;
    TrustedList& operator=(const TrustedList&) = delete;

    // "Program Files\Common Files\Korvex\Platform\Core\trusted.js" on the
    // drive that holds the Windows directory.
    static std::wstring defaultPath();

    // Parses list text. False without exactly one decimal "VER" value.
    // "SHA" values that are not 40 hex digits are skipped; a "SHA" section
    // left without a valid thumbprint makes the whole list invalid.
    static bool parse(const std::wstring& text, Contents* out);
    // UTF-16 bytes (a leading little-endian BOM is skipped) to text.
    static std::wstring decode(const std::string& bytes);

    // Verifies the signature rule and reads a list file; nothing changes in
    // the object. Text after the end of the signature block is covered by
    // no signature: a file with anything but white space there is refused
    // (ContentDigest). With keepOpen the file stays open, denying writers,
    // until the caller closes the returned handle.
    bool readFile(const std::wstring& path, Contents* out, SignatureStep* refusedAt = nullptr,
                  HANDLE* keepOpen = nullptr) const;

    const std::wstring& path() const noexcept { return path_; }
    bool isLoaded() const;
    DWORD version() const;
    // A copy of the loaded lists (empty when none is loaded).
    TrustLists lists() const;

    // Loads the installed list unless it is loaded already.
    bool load();
    // Clears and loads the installed list again.
    bool reload();
    // Checks a file's signature against the loaded lists when they are
    // newer than `version`; *inForce says whether they were (false when no
    // list is loaded). Decided under one shared lock, so a reload cannot come
    // between the version and the check.
    bool checkIfNewerThan(const wchar_t* file, DWORD version, bool* inForce) const;

    // Installs a verified candidate file of the given version over the
    // installed list, unless the loaded list or the installed file (read
    // under its exclusive lock) is not older: copy to
    // "trusted.tmp" beside it, replace (or move into place), announce it with
    // the global atom and reload. On failure the move is left pending for the
    // next restart. An installed file that cannot be read fails the
    // installation without leaving a move pending: it may be the newer one.
    enum class InstallResult
    {
        Installed,
        NotNewer,
        Failed
    };
    InstallResult install(const std::wstring& candidate, DWORD candidateVersion);

    // Creates a file of a fresh name ("trustedjs" + unique part + ".js") in
    // the temporary folder, open for writing without sharing.
    static unique_hfile createTempFile(std::wstring* path);
    // Deletes such a file whatever its attributes (nothing for an empty path).
    static void deleteTempFile(const std::wstring& path);

private:
    bool loadLocked() REQUIRES(lock_);
    // The version of the list in a file this process holds the exclusive
    // lock of; 0 when it is not a valid list. False when it cannot be read.
    bool versionOfLockedFile(HANDLE locked, DWORD* version) const;

    std::wstring path_;
    Thumbprint listSigner_;
    mutable Norvan::srw_mutex lock_;
    bool loaded_ GUARDED_BY(lock_) = false;
    TrustLists lists_ GUARDED_BY(lock_);
};

// Name of the global atom that announces an updated list to every process.
constexpr wchar_t kTrustedListAtom[] = L"67136527-5D6B-4AC9-865B-3E392E982420";

} // namespace Norvan::internal
