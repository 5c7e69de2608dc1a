#include "trust/TrustValidator.h"

#include <softpub.h>
#include <strsafe.h>
#include <wintrust.h>

#include <vector>

#include "common/Path.h"
#include "trust/CabinetUpdate.h"
#include "wrappers/Sync.h"

namespace Norvan
{

namespace internal
{

unique_hfile holdForLoading(const wchar_t* path)
{
    return unique_hfile(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace internal

namespace
{

using internal::holdForLoading;

constexpr wchar_t kBedrockKey[] = L"Software\\Korvex\\Bedrock";
constexpr wchar_t kVersionValue[] = L"system_core_version";
constexpr wchar_t kInstallDirValue[] = L"szInstallDir64";
constexpr DWORD kBuiltInVersion = 1504;
// WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL
constexpr DWORD kLibraryProviderFlags = 0x1010;
constexpr LONG kRefusedByLocalSecurity = static_cast<LONG>(0x80092026);
constexpr LONG kCertificateExpired = static_cast<LONG>(0x800B0101);
constexpr LONG kRevocationFailed = static_cast<LONG>(0x800B010E);
constexpr LONG kFileError = static_cast<LONG>(0x80092003);

// What WinVerifyTrust answers for a library GetTrustInterface still loads.
bool signatureAccepted(LONG result)
{
    return result == 0 || result == kRefusedByLocalSecurity || result == kCertificateExpired ||
           result == kRevocationFailed;
}

unique_hkey openBedrock()
{
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBedrockKey, 0, KEY_READ | KEY_WOW64_32KEY, key.put()) !=
        ERROR_SUCCESS)
    {
        key.reset();
    }
    return key;
}

bool isExplicitName(const wchar_t* name, size_t length)
{
    return length < 3 || name[0] == L'\\' || name[1] == L':';
}

std::wstring joinPath(const std::wstring& folder, const wchar_t* name)
{
    if (folder.empty())
    {
        return name;
    }
    if (folder.back() == L'\\' || folder.back() == L'/')
    {
        return folder + name;
    }
    return folder + L"\\" + name;
}

bool readInstallFolder(std::wstring* folder)
{
    unique_hkey key = openBedrock();
    if (!key)
    {
        return false;
    }
    DWORD bytes = 0;
    if (::RegGetValueW(key.get(), nullptr, kInstallDirValue,
                       RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, nullptr,
                       &bytes) != ERROR_SUCCESS ||
        bytes < sizeof(wchar_t) || bytes > 32768 * sizeof(wchar_t))
    {
        return false;
    }
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (::RegGetValueW(key.get(), nullptr, kInstallDirValue,
                       RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buffer.data(),
                       &size) != ERROR_SUCCESS)
    {
        return false;
    }
    buffer.back() = L'\0';
    *folder = buffer.data();
    return true;
}

std::wstring currentDirectory()
{
    const DWORD length = ::GetCurrentDirectoryW(0, nullptr);
    if (length == 0)
    {
        return std::wstring();
    }
    std::wstring dir(length, L'\0');
    const DWORD written = ::GetCurrentDirectoryW(length, &dir[0]);
    dir.resize(written < length ? written : 0);
    return dir;
}

void debugOutput(const wchar_t* format, ...)
{
    wchar_t text[1024] = {};
    va_list args;
    va_start(args, format);
    ::StringCchVPrintfW(text, 1024, format, args);
    va_end(args);
    ::OutputDebugStringW(text);
}

bool hasCabExtension(const wchar_t* path)
{
    const size_t length = wcslen(path);
    return length >= 4 && ::CompareStringOrdinal(path + length - 4, 4, L".cab", 4, TRUE) == CSTR_EQUAL;
}

// The one full path at which a file is verified and then loaded: the
// signature APIs resolve a bare or relative name against the current folder,
// the loader through its search order. False when there is none.
bool fullPathOf(const wchar_t* path, std::wstring* full)
{
    // The current folder may change between the two calls.
    for (int attempt = 0; attempt < 4; ++attempt)
    {
        const DWORD needed = ::GetFullPathNameW(path, 0, nullptr, nullptr);
        if (needed == 0)
        {
            return false;
        }
        std::wstring buffer(needed, L'\0');
        const DWORD written = ::GetFullPathNameW(path, needed, &buffer[0], nullptr);
        if (written == 0)
        {
            return false;
        }
        if (written < needed)
        {
            buffer.resize(written);
            *full = std::move(buffer);
            return true;
        }
    }
    return false;
}

constexpr DWORD kSearchFlags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                               LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                               LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
constexpr DWORD kDataFileFlags =
    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;

// Where the imports of a verified library are looked for. Nothing but the
// library itself is verified, so its imports must not come from places that
// anyone may write to: the default order (and the altered one) ends in the
// current folder and PATH. The library's own folder, the executable's, the
// host's added folders and System32 stay. A caller's own LOAD_LIBRARY_SEARCH_
// flags are kept.
DWORD safeLoadFlags(DWORD flags)
{
    if ((flags & kDataFileFlags) != 0 || (flags & kSearchFlags) != 0)
    {
        return flags;
    }
    return (flags & ~static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH)) | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
           LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
}

// The path of a held file with every junction and symbolic link resolved.
// The loader opens the file again by name, and a link in the path re-pointed
// in between would hand it another file; the folders of the resolved path
// cannot be renamed on Windows while the file is held. The "\\?\" form is
// kept only for a path too long for the loader without it.
bool resolvedPathOf(HANDLE held, std::wstring* path)
{
    constexpr DWORD kForm = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD needed = ::GetFinalPathNameByHandleW(held, nullptr, 0, kForm);
    if (needed == 0)
    {
        return false;
    }
    std::wstring resolved(needed, L'\0');
    const DWORD written = ::GetFinalPathNameByHandleW(held, &resolved[0], needed, kForm);
    if (written == 0 || written >= needed)
    {
        return false;
    }
    resolved.resize(written);
    if (resolved.compare(0, 8, L"\\\\?\\UNC\\") == 0 && resolved.size() - 6 < MAX_PATH)
    {
        resolved.replace(0, 8, L"\\\\");
    }
    else if (resolved.compare(0, 4, L"\\\\?\\") == 0 && resolved.size() > 6 && resolved[5] == L':' &&
             resolved.size() - 4 < MAX_PATH)
    {
        resolved.erase(0, 4);
    }
    path->swap(resolved);
    return true;
}

// Holds a file for loading and gives the path to verify and load it by: the
// resolved one when the system can tell it, else the path as given.
unique_hfile holdResolved(std::wstring* path)
{
    unique_hfile held = holdForLoading(path->c_str());
    if (held)
    {
        resolvedPathOf(held.get(), path);
    }
    return held;
}

// Loads exactly this full path: to a name without an extension the loader
// would add ".dll", and load another file than the one verified.
HMODULE loadExactly(const std::wstring& fullPath, DWORD flags)
{
    const size_t separator = fullPath.find_last_of(L"\\/");
    const bool hasExtension =
        fullPath.find(L'.', separator == std::wstring::npos ? 0 : separator + 1) != std::wstring::npos;
    return ::LoadLibraryExW(hasExtension ? fullPath.c_str() : (fullPath + L".").c_str(), nullptr,
                            safeLoadFlags(flags));
}

// Resolves a candidate of GetTrustInterface, holds it and verifies it. A
// candidate without a full path counts as not found; one that cannot be held
// gives the error of its opening (not found, sharing violation, ...).
LONG verifyLibraryCandidate(const std::wstring& candidate, std::wstring* path, unique_hfile* held)
{
    held->reset();
    if (!fullPathOf(candidate.c_str(), path))
    {
        *path = candidate;
        return ERROR_FILE_NOT_FOUND;
    }
    *held = holdResolved(path);
    if (!*held)
    {
        const DWORD error = ::GetLastError();
        return static_cast<LONG>(error != 0 ? error : ERROR_FILE_NOT_FOUND);
    }
    return internal::verifyTrust(path->c_str(), kLibraryProviderFlags, true);
}

once_flag g_instanceOnce;
TrustValidator* g_instance = nullptr;
TrustValidator::Configuration* g_testConfiguration = nullptr;

// The trust library decides on every file the module loads: WinVerifyTrust
// alone would take a library of any publisher whose certificate the machine
// trusts (Wine's takes any signature at all), so it must also be signed by
// the maker, judged by the built-in lists. An expired certificate is still
// taken, as WinVerifyTrust's rule takes it.
bool isMakersLibrary(const wchar_t* path, const internal::TrustLists& lists)
{
    return internal::checkFileSignature(path, lists, nullptr, internal::SignatureTime::ExpiryAccepted);
}

DWORD getTrustInterface(const wchar_t* libraryName, const char* interfaceName, void** out, HMODULE module,
                        const internal::TrustLists& makerLists)
{
    if (!libraryName || !interfaceName || !out)
    {
        return ERROR_INVALID_PARAMETER;
    }
    *out = nullptr;
    const size_t length = wcsnlen(libraryName, MAX_PATH);
    if (length >= MAX_PATH)
    {
        return ERROR_INVALID_PARAMETER;
    }
    const bool isExplicit = isExplicitName(libraryName, length);

    std::wstring candidate;
    if (isExplicit)
    {
        candidate = libraryName;
    }
    else
    {
        std::wstring folder;
        if (!readInstallFolder(&folder))
        {
            folder = currentDirectory();
        }
        candidate = joinPath(folder, libraryName);
    }

    std::wstring path;
    unique_hfile held;
    LONG result = verifyLibraryCandidate(candidate, &path, &held);
    if ((result == ERROR_FILE_NOT_FOUND || result == kFileError) && !isExplicit)
    {
        ::OutputDebugStringW(
            L"NotComDllGetInterface: DLL not found in install location, looking in current directory\n");
        result = verifyLibraryCandidate(
            joinPath(internal::folderOf(internal::moduleFileName(module)), libraryName), &path, &held);
    }
    if (signatureAccepted(result) && !isMakersLibrary(path.c_str(), makerLists))
    {
        result = TRUST_E_SUBJECT_NOT_TRUSTED;
    }
    if (!signatureAccepted(result))
    {
        debugOutput(L"NotComDllGetInterface: %ls loading %ls, WinVerifyTrust failed with %08x\n",
                    internal::moduleFileName(nullptr).c_str(), path.c_str(), static_cast<unsigned>(result));
        return static_cast<DWORD>(result);
    }

    // The altered search order of a library beside its dependencies, without
    // the current folder and PATH (see safeLoadFlags).
    unique_hmodule library(loadExactly(path, LOAD_WITH_ALTERED_SEARCH_PATH));
    held.reset();
    if (!library)
    {
        const DWORD error = ::GetLastError();
        return error != 0 ? error : ERROR_FILE_NOT_FOUND;
    }
    auto getInterface = reinterpret_cast<NotComDllGetInterfaceFn>(
        reinterpret_cast<void*>(::GetProcAddress(library.get(), "NotComDllGetInterface")));
    if (!getInterface)
    {
        return ::GetLastError();
    }
    const DWORD status = getInterface(interfaceName, out);
    if (status != 0)
    {
        // Whatever a failed call wrote is not an object we may use or even
        // release: the library that made it is freed when we return.
        *out = nullptr;
    }
    return status;
}

} // namespace

DWORD GetTrustInterface(const wchar_t* libraryName, const char* interfaceName, void** out, HMODULE module)
{
    try
    {
        return getTrustInterface(libraryName, interfaceName, out, module, internal::builtInTrustLists());
    }
    catch (...)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

TrustValidator::TrustValidator() : TrustValidator(Configuration{}) {}

TrustValidator::TrustValidator(Configuration configuration)
    : builtInLists_(std::move(configuration.builtInLists)),
      trustedList_(std::move(configuration.trustedListPath), configuration.listSigner)
{
    if (configuration.readPlatform)
    {
        readPlatform();
    }
}

void TrustValidator::readPlatform()
{
    unique_hkey key = openBedrock();
    if (!key)
    {
        return;
    }
    platformVersion_ = kBuiltInVersion;
    // At most 128 bytes of text; a longer value is not read at all.
    wchar_t text[64] = {};
    DWORD size = sizeof(text);
    if (::RegGetValueW(key.get(), nullptr, kVersionValue, RRF_RT_REG_SZ, nullptr, text, &size) ==
        ERROR_SUCCESS)
    {
        text[63] = L'\0';
        platformVersion_ = platformVersionFromText(text);
    }
    key.reset();

    try
    {
        if (getTrustInterface(L"kxtrust.dll", "KxtValidationControl2", validationControl_.put_void(), nullptr,
                              builtInLists_) != 0)
        {
            validationControl_.detach();
            getTrustInterface(L"kxtrust.dll", "KxtValidationControl", validationControl_.put_void(), nullptr,
                              builtInLists_);
        }
    }
    catch (...)
    {
        validationControl_.detach();
    }
}

DWORD TrustValidator::platformVersionFromText(const wchar_t* text) noexcept
{
    // The "%lu.%lu" reading: optional white space, digits, a dot, digits.
    auto readNumber = [](const wchar_t*& p, ULONGLONG* value)
    {
        while (*p == L' ' || *p == L'\t' || *p == L'\r' || *p == L'\n')
        {
            ++p;
        }
        if (*p < L'0' || *p > L'9')
        {
            return false;
        }
        ULONGLONG v = 0;
        while (*p >= L'0' && *p <= L'9')
        {
            v = v * 10 + static_cast<ULONGLONG>(*p - L'0');
            if (v > 0xFFFFFFFFull)
            {
                return false;
            }
            ++p;
        }
        *value = v;
        return true;
    };
    if (!text)
    {
        return kBuiltInVersion;
    }
    const wchar_t* p = text;
    ULONGLONG major = 0, minor = 0;
    if (!readNumber(p, &major) || *p != L'.')
    {
        return kBuiltInVersion;
    }
    ++p;
    if (!readNumber(p, &minor))
    {
        return kBuiltInVersion;
    }
    if (major > 14 && minor > 3)
    {
        const ULONGLONG version = major * 100 + minor;
        if (version <= 0xFFFFFFFFull)
        {
            return static_cast<DWORD>(version);
        }
    }
    return kBuiltInVersion;
}

TrustValidator& TrustValidator::instance()
{
    call_once(g_instanceOnce,
              []()
              {
                  // Lives until process exit: the validator may be used from any
                  // thread until then, and the trust library's objects are never
                  // released during DLL detach.
                  g_instance =
                      g_testConfiguration ? new TrustValidator(*g_testConfiguration) : new TrustValidator();
              });
    return *g_instance;
}

void TrustValidator::configureInstanceForTesting(Configuration configuration)
{
    static Configuration stored;
    stored = std::move(configuration);
    g_testConfiguration = &stored;
}

bool TrustValidator::askValidationControl(const wchar_t* path)
{
    if (!validationControl_)
    {
        return false;
    }
    const bool current = platformVersion_ > kBuiltInVersion;
    KxtValidationResult result{};
    validationControl_->Validate(path, current ? kKxtValidateFlagsCurrent : kKxtValidateFlagsLegacy, &result);
    return (result.status & kKxtStatusExamined) != 0 &&
           (result.verdict & (current ? kKxtVerdictTrustedCurrent : kKxtVerdictTrustedLegacy)) != 0;
}

// A loaded list is in force only when it is newer than the built-in lists;
// otherwise the built-in lists stay in force, and are not asked twice for the
// same file.
bool TrustValidator::checkListsInForce(const wchar_t* path, bool* builtInRefused)
{
    bool listInForce = false;
    if (trustedList_.checkIfNewerThan(path, builtInLists_.version, &listInForce))
    {
        return true;
    }
    if (listInForce || *builtInRefused)
    {
        return false;
    }
    *builtInRefused = true;
    return internal::checkFileSignature(path, builtInLists_);
}

bool TrustValidator::checkAgainstListsOnce(const wchar_t* path)
{
    bool builtInRefused = false;
    if (!trustedList_.isLoaded())
    {
        if (internal::checkFileSignature(path, builtInLists_))
        {
            return true;
        }
        builtInRefused = true;
        return trustedList_.load() && checkListsInForce(path, &builtInRefused);
    }
    if (checkListsInForce(path, &builtInRefused))
    {
        return true;
    }
    // Also a list that is not in force listens for the announcement: a newer
    // list installed by another process replaces it.
    if (::GlobalFindAtomW(internal::kTrustedListAtom) == 0)
    {
        return false;
    }
    trustedList_.reload();
    return checkListsInForce(path, &builtInRefused);
}

bool TrustValidator::checkAgainstLists(const wchar_t* path)
{
    if (checkAgainstListsOnce(path))
    {
        return true;
    }
    if (!hasCabExtension(path))
    {
        return false;
    }
    internal::runCabinetUpdate(path, trustedList_);
    return checkAgainstListsOnce(path);
}

DWORD TrustValidator::isFileTrusted(const wchar_t* path)
{
    if (!path || !*path)
    {
        return ERROR_INVALID_PARAMETER;
    }
    try
    {
        std::wstring full;
        if (fullPathOf(path, &full))
        {
            return isResolvedFileTrusted(full.c_str());
        }
    }
    catch (...)
    {
    }
    return ERROR_ACCESS_DENIED;
}

DWORD TrustValidator::isResolvedFileTrusted(const wchar_t* fullPath)
{
    try
    {
        if (askValidationControl(fullPath) || checkAgainstLists(fullPath))
        {
            return ERROR_SUCCESS;
        }
    }
    catch (...)
    {
    }
    return ERROR_ACCESS_DENIED;
}

HMODULE TrustValidator::loadTrustedLibrary(const wchar_t* path, DWORD flags)
{
    if (!path || !*path)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::wstring full;
    unique_hfile held;
    if (!fullPathOf(path, &full) || !(held = holdResolved(&full)))
    {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const DWORD verdict = isResolvedFileTrusted(full.c_str());
    if (verdict != ERROR_SUCCESS)
    {
        ::SetLastError(verdict);
        return nullptr;
    }
    return loadExactly(full, flags);
}

DWORD IsFileTrusted(const wchar_t* path)
{
    if (!path || !*path)
    {
        return ERROR_INVALID_PARAMETER;
    }
    try
    {
        return TrustValidator::instance().isFileTrusted(path);
    }
    catch (...)
    {
        // The validator could not be created: nothing is trusted.
        return ERROR_ACCESS_DENIED;
    }
}

HMODULE LoadTrustedLibrary(const wchar_t* path, DWORD flags)
{
    if (!path || !*path)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try
    {
        return TrustValidator::instance().loadTrustedLibrary(path, flags);
    }
    catch (...)
    {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
}

} // namespace Norvan
