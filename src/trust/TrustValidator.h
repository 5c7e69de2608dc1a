#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "trust/KxtValidationControl.h"
#include "trust/SignatureCheck.h"
#include "trust/TrustedList.h"
#include "wrappers/UniqueResource.h"

namespace Norvan
{

// Locates, verifies (WinVerifyTrust) and loads a library of the maker and
// asks its "NotComDllGetInterface" export for an interface. A bare name is
// looked up in the Bedrock install folder ("szInstallDir64"), then, when not
// found there, in the folder of `module` (the executable when null). Each
// candidate is resolved to one full path (a missing folder leaves the current
// folder), held without write or delete sharing, verified and loaded at
// exactly that path. Besides WinVerifyTrust's verdict, the library must be
// signed by the maker (the built-in lists; an expired certificate is taken),
// else TRUST_E_SUBJECT_NOT_TRUSTED. Its imports are looked for beside it, in
// the executable's folder and System32, never in the current folder or PATH.
// Returns 0 or a Windows error number / WinVerifyTrust result; *out is null
// unless 0 is returned.
DWORD GetTrustInterface(const wchar_t* libraryName, const char* interfaceName, void** out,
                        HMODULE module = nullptr);

// 0 when the file carries a trusted signature of the maker, 87 for a null or
// empty path, 5 otherwise. A bare or relative path is judged at the full path
// it resolves to against the current folder; one without a full path is
// refused.
DWORD IsFileTrusted(const wchar_t* path);

// Resolves the path once to a full path, holds the file without write or
// delete sharing, and loads exactly that file with LoadLibraryExW when
// IsFileTrusted accepts it; otherwise null with the thread's last error set
// to IsFileTrusted's result (5 also when there is no full path or the file
// cannot be held). Unless `flags` name a search order of their own
// (LOAD_LIBRARY_SEARCH_*), the library's imports are looked for beside it,
// in the executable's folder, the host's added folders and System32, never
// in the current folder or PATH.
HMODULE LoadTrustedLibrary(const wchar_t* path, DWORD flags);

namespace internal
{
// Opened before a library is judged and held until it is loaded: without
// write or delete sharing nobody can swap the file in between, and the
// loader can still open it. Empty when the file cannot be held so (missing,
// or another handle may write, rename or delete it): such a file is refused.
unique_hfile holdForLoading(const wchar_t* path);
} // namespace internal

// The process's trust validator: the platform version and the trust
// library's validation control (read once), the built-in lists and the
// trusted list file with its cabinet update.
class TrustValidator
{
public:
    // What a validator is built from. The defaults are the product's; tests
    // give their own list path, lists or list signer, and may skip the
    // Bedrock key entirely.
    struct Configuration
    {
        std::wstring trustedListPath = internal::TrustedList::defaultPath();
        internal::TrustLists builtInLists = internal::builtInTrustLists();
        internal::Thumbprint listSigner = internal::builtInListSignerThumbprint();
        bool readPlatform = true;
    };

    TrustValidator();
    explicit TrustValidator(Configuration configuration);
    TrustValidator(const TrustValidator&) = delete;
    TrustValidator& operator=(const TrustValidator&) = delete;

    // The process's validator, created on first use.
    static TrustValidator& instance();
    // Test-only: the configuration the process's validator is created from.
    // Has an effect only before the first instance() call.
    static void configureInstanceForTesting(Configuration configuration);

    DWORD platformVersion() const noexcept { return platformVersion_; }
    IKxtValidationControl* validationControl() const noexcept { return validationControl_.get(); }

    DWORD isFileTrusted(const wchar_t* path);
    HMODULE loadTrustedLibrary(const wchar_t* path, DWORD flags);

    // The step that asks the trust library; false when it has no opinion.
    bool askValidationControl(const wchar_t* path);
    // The list check with the cabinet update.
    bool checkAgainstLists(const wchar_t* path);

    internal::TrustedList& trustedList() noexcept { return trustedList_; }
    const internal::TrustLists& builtInLists() const noexcept { return builtInLists_; }

    // "system_core_version" text to the platform version: 1504, or
    // major * 100 + minor when major > 14 and minor > 3.
    static DWORD platformVersionFromText(const wchar_t* text) noexcept;

private:
    DWORD isResolvedFileTrusted(const wchar_t* fullPath);
    bool checkAgainstListsOnce(const wchar_t* path);
    bool checkListsInForce(const wchar_t* path, bool* builtInRefused);
    void readPlatform();

    DWORD platformVersion_ = 0;
    com_ptr<IKxtValidationControl> validationControl_;
    internal::TrustLists builtInLists_;
    internal::TrustedList trustedList_;
};

} // namespace Norvan
