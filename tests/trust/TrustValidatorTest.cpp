// The validator's creation from the Bedrock key, the trust library path
// (found through "szInstallDir64", verified before it is loaded, its verdict
// bits by platform version) and the public entry points.

#include <gtest/gtest.h>

#include <cstdint>

#include "TrustTestSupport.h"
#include "trust/TrustValidator.h"

namespace
{

// Debugger output of this thread, caught in process: OutputDebugString
// raises DBG_PRINTEXCEPTION_C (and the wide form) for a debugger to see.
class DebugOutputCapture
{
public:
    DebugOutputCapture()
    {
        s_text.clear();
        handler_ = ::AddVectoredExceptionHandler(1, &DebugOutputCapture::onException);
    }
    ~DebugOutputCapture() { ::RemoveVectoredExceptionHandler(handler_); }
    static std::string text() { return s_text; }

private:
    static LONG CALLBACK onException(EXCEPTION_POINTERS* info)
    {
        const EXCEPTION_RECORD* r = info->ExceptionRecord;
        if (r->ExceptionCode == DBG_PRINTEXCEPTION_C && r->NumberParameters >= 2)
        {
            s_text.append(reinterpret_cast<const char*>(r->ExceptionInformation[1]));
            return EXCEPTION_CONTINUE_EXECUTION;
        }
        if (r->ExceptionCode == 0x4001000A) // the wide form; its narrow copy follows
        {
            return EXCEPTION_CONTINUE_EXECUTION;
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
    static inline std::string s_text;
    void* handler_ = nullptr;
};

constexpr wchar_t kBedrock[] = L"Software\\Korvex\\Bedrock";
constexpr wchar_t kKxtrustControl[] = L"Software\\Wardline\\Tests\\kxtrust";

void setString(HKEY root, const wchar_t* key, REGSAM view, const wchar_t* name, const std::wstring& value)
{
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_WRITE | view, nullptr, &h, nullptr));
    ::RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(h);
}

void setDword(const wchar_t* name, DWORD value)
{
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, kKxtrustControl, 0, nullptr, 0, KEY_WRITE,
                                               nullptr, &h, nullptr));
    ::RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    ::RegCloseKey(h);
}

DWORD readDword(const wchar_t* name)
{
    DWORD value = 0xFFFFFFFF;
    DWORD size = sizeof(value);
    ::RegGetValueW(HKEY_CURRENT_USER, kKxtrustControl, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

class TrustValidatorTest : public ::testing::Test
{
protected:
    void SetUp() override { cleanUp(); }
    void TearDown() override { cleanUp(); }
    static void cleanUp()
    {
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kBedrock, KEY_WOW64_32KEY, 0);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kKxtrustControl);
    }
    static void setBedrock(const wchar_t* version, const std::wstring& installDir)
    {
        setString(HKEY_LOCAL_MACHINE, kBedrock, KEY_WOW64_32KEY, L"szInstallDir64", installDir);
        if (version)
        {
            setString(HKEY_LOCAL_MACHINE, kBedrock, KEY_WOW64_32KEY, L"system_core_version", version);
        }
    }
    static Norvan::TrustValidator::Configuration offlineLists()
    {
        Norvan::TrustValidator::Configuration config;
        config.trustedListPath = L"C:\\wardline-trust-tests-no-such-folder\\trusted.js";
        return config;
    }
    static std::wstring signedKxtrustDir() { return TrustTest::fromBuildPath(TRUST_KXTRUST_DIR); }
    static std::wstring unsignedKxtrustDir()
    {
        return TrustTest::fromBuildPath(TRUST_KXTRUST_DIR "/unsigned");
    }
};

TEST_F(TrustValidatorTest, VersionTextRule)
{
    using V = Norvan::TrustValidator;
    EXPECT_EQ(1504u, V::platformVersionFromText(L"16.2"));
    EXPECT_EQ(1504u, V::platformVersionFromText(L"15.4"));
    EXPECT_EQ(1505u, V::platformVersionFromText(L"15.5"));
    EXPECT_EQ(1504u, V::platformVersionFromText(L"14.9"));
    EXPECT_EQ(2107u, V::platformVersionFromText(L" 21.7 beta"));
    EXPECT_EQ(1504u, V::platformVersionFromText(L"sixteen"));
    EXPECT_EQ(1504u, V::platformVersionFromText(L"16"));
    EXPECT_EQ(1504u, V::platformVersionFromText(L"16."));
    EXPECT_EQ(1504u, V::platformVersionFromText(L""));
    EXPECT_EQ(1504u, V::platformVersionFromText(nullptr));
    EXPECT_EQ(1504u, V::platformVersionFromText(L"99999999999.5")) << "major beyond 32 bits";
    EXPECT_EQ(1504u, V::platformVersionFromText(L"4294967295.5")) << "product beyond 32 bits";
}

TEST_F(TrustValidatorTest, PlatformVersionFromTheBedrockKeyIn32BitView)
{
    {
        Norvan::TrustValidator noKey(offlineLists());
        EXPECT_EQ(0u, noKey.platformVersion());
        EXPECT_EQ(nullptr, noKey.validationControl());
    }
    for (auto [text, expected] :
         {std::pair<const wchar_t*, DWORD>{L"16.2", 1504}, {L"15.4", 1504}, {L"15.5", 1505}})
    {
        setBedrock(text, L"C:\\nowhere");
        Norvan::TrustValidator validator(offlineLists());
        EXPECT_EQ(expected, validator.platformVersion()) << text;
    }
    // The 64-bit view is not the one read.
    cleanUp();
    setString(HKEY_LOCAL_MACHINE, kBedrock, KEY_WOW64_64KEY, L"system_core_version", L"15.5");
    {
        Norvan::TrustValidator validator(offlineLists());
        EXPECT_EQ(0u, validator.platformVersion());
    }
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kBedrock, KEY_WOW64_64KEY, 0);
    // A value longer than 128 bytes is not read: the version stays 1504.
    setBedrock((L"15.5" + std::wstring(100, L' ')).c_str(), L"C:\\nowhere");
    Norvan::TrustValidator validator(offlineLists());
    EXPECT_EQ(1504u, validator.platformVersion());
}

// KxtValidationControl2 is asked for first; the first generation serves
// when the library refuses the second.
TEST_F(TrustValidatorTest, TrustLibraryFromInstallFolderIsVerifiedAndLoaded)
{
    for (const auto [refused, generation] : {std::pair<DWORD, DWORD>{0, 2}, {2, 1}})
    {
        setDword(L"Refuse", refused);
        setBedrock(L"15.5", signedKxtrustDir());
        Norvan::TrustValidator validator(offlineLists());
        ASSERT_NE(nullptr, validator.validationControl());
        EXPECT_EQ(generation, validator.validationControl()->GetGeneration()) << "refused " << refused;
    }
}

TEST_F(TrustValidatorTest, UnsignedTrustLibraryIsNotLoaded)
{
    setBedrock(L"15.5", unsignedKxtrustDir());
    void* out = nullptr;
    EXPECT_EQ(static_cast<DWORD>(TRUST_E_NOSIGNATURE),
              Norvan::GetTrustInterface(L"kxtrust.dll", "KxtValidationControl2", &out));
    EXPECT_EQ(nullptr, out);
    Norvan::TrustValidator validator(offlineLists());
    EXPECT_EQ(nullptr, validator.validationControl());
    EXPECT_EQ(1505u, validator.platformVersion());
    // Without the library the lists decide.
    EXPECT_EQ(0u, validator.isFileTrusted(TrustTest::fixture(L"signer.dll").c_str()));
    EXPECT_EQ(5u, validator.isFileTrusted(TrustTest::fixture(L"unlisted.dll").c_str()));
}

TEST_F(TrustValidatorTest, MissingTrustLibraryIsLookedForBesideTheModuleThenReported)
{
    // An install folder that exists but lacks the library: "file not found"
    // sends the search to the folder of the given module.
    setBedrock(L"15.5", TrustTest::fixture(L"."));
    void* out = nullptr;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              Norvan::GetTrustInterface(L"kxtrust.dll", "KxtValidationControl2", &out))
        << "not beside the test executable either";
    EXPECT_EQ(nullptr, out);

    HMODULE beside = ::LoadLibraryW((signedKxtrustDir() + L"\\kxtrust.dll").c_str());
    ASSERT_NE(nullptr, beside);
    EXPECT_EQ(0u, Norvan::GetTrustInterface(L"kxtrust.dll", "KxtValidationControl2", &out, beside));
    ASSERT_NE(nullptr, out);
    static_cast<Norvan::IKxtValidationControl*>(out)->Release();
    ::FreeLibrary(beside);

    // A missing folder is "path not found" under Wine, which is not one of
    // the two results that start the second search: it is reported as is.
    setBedrock(L"15.5", L"C:\\wardline-trust-tests-no-such-folder");
    const DWORD missingFolder = Norvan::GetTrustInterface(L"kxtrust.dll", "KxtValidationControl2", &out);
    EXPECT_NE(0u, missingFolder);
    EXPECT_EQ(nullptr, out);
}

TEST_F(TrustValidatorTest, DebuggerOutputNamesTheSecondSearchAndTheRefusal)
{
    setBedrock(L"15.5", TrustTest::fixture(L"."));
    void* out = nullptr;
    {
        DebugOutputCapture capture;
        Norvan::GetTrustInterface(L"kxtrust.dll", "KxtValidationControl2", &out);
        EXPECT_NE(std::string::npos,
                  capture.text().find(
                      "NotComDllGetInterface: DLL not found in install location, looking in current "
                      "directory\n"))
            << capture.text();
    }
    {
        DebugOutputCapture capture;
        const std::wstring path = unsignedKxtrustDir() + L"\\kxtrust.dll";
        Norvan::GetTrustInterface(path.c_str(), "KxtValidationControl2", &out);
        const std::string text = capture.text();
        EXPECT_EQ(0u, text.find("NotComDllGetInterface: ")) << text;
        EXPECT_NE(std::string::npos, text.find("trust_tests.exe loading Z:\\")) << text;
        EXPECT_NE(std::string::npos,
                  text.find("unsigned\\kxtrust.dll, WinVerifyTrust failed with 800b0100\n"))
            << text;
    }
}

TEST_F(TrustValidatorTest, ExplicitAndOverlongNames)
{
    void* out = nullptr;
    EXPECT_EQ(0u, Norvan::GetTrustInterface((signedKxtrustDir() + L"\\kxtrust.dll").c_str(),
                                            "KxtValidationControl", &out));
    ASSERT_NE(nullptr, out);
    static_cast<Norvan::IKxtValidationControl*>(out)->Release();
    EXPECT_EQ(ERROR_NOT_SUPPORTED, Norvan::GetTrustInterface((signedKxtrustDir() + L"\\kxtrust.dll").c_str(),
                                                             "NoSuchInterface", &out));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              Norvan::GetTrustInterface(std::wstring(260, L'a').c_str(), "KxtValidationControl", &out));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Norvan::GetTrustInterface(nullptr, "KxtValidationControl", &out));
    EXPECT_EQ(static_cast<DWORD>(TRUST_E_NOSIGNATURE),
              Norvan::GetTrustInterface((unsignedKxtrustDir() + L"\\kxtrust.dll").c_str(),
                                        "KxtValidationControl", &out));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              Norvan::GetTrustInterface(L"", "KxtValidationControl", &out));
    // The maker's signature on a library that is no trust library: loaded,
    // and the missing entry point is the loader's error.
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND),
              Norvan::GetTrustInterface(TrustTest::fixture(L"signer.dll").c_str(), "KxtValidationControl", &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(TrustValidatorTest, ObjectHandedOutWithAnErrorIsNotUsed)
{
    // This library writes an object and still fails, and is freed before
    // GetTrustInterface returns: its object points into unloaded code.
    const std::wstring dir = TrustTest::fromBuildPath(TRUST_KXTRUST_DIR "/objecterror");
    const std::wstring library = dir + L"\\kxtrust.dll";
    void* out = nullptr;
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE),
              Norvan::GetTrustInterface(library.c_str(), "KxtValidationControl2", &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(nullptr, ::GetModuleHandleW(library.c_str()));

    setBedrock(L"15.5", dir);
    Norvan::TrustValidator validator(offlineLists());
    EXPECT_EQ(nullptr, validator.validationControl());
    EXPECT_EQ(0u, validator.isFileTrusted(TrustTest::fixture(L"signer.dll").c_str())) << "the lists decide";
}

// Which status and verdict bits of the trust library accept a file, and the
// flags it is asked with, by platform version.
TEST_F(TrustValidatorTest, VerdictBitsAndFlagsByPlatformVersion)
{
    const struct
    {
        const wchar_t* version;
        DWORD status;
        DWORD verdict;
        DWORD result;
        const char* why;
    } cases[] = {
        {L"15.5", 2, 8, 0, "the library's verdict alone accepts"},
        {L"15.5", 2, 1, 5, "bit 1 is the verdict of 15.4 and older"},
        {L"15.5", 0, 8, 5, "without status bit 2 nothing was examined"},
        {L"16.2", 2, 1, 0, "1504 reads bit 1"},
        {L"16.2", 2, 8, 5, "1504 does not read bit 8"},
    };
    const std::wstring unsignedDll = TrustTest::fixture(L"unsigned.dll");
    for (const auto& c : cases)
    {
        setBedrock(c.version, signedKxtrustDir());
        Norvan::TrustValidator validator(offlineLists());
        ASSERT_NE(nullptr, validator.validationControl());
        setDword(L"Status", c.status);
        setDword(L"Verdict", c.verdict);
        EXPECT_EQ(c.result, validator.isFileTrusted(unsignedDll.c_str())) << c.why;
        EXPECT_EQ(std::wstring(c.version) == L"15.5" ? 512u : 4u, readDword(L"LastFlags")) << c.version;
    }
}

TEST_F(TrustValidatorTest, LibraryWithoutOpinionFallsBackToTheLists)
{
    setBedrock(L"15.5", signedKxtrustDir());
    Norvan::TrustValidator validator(offlineLists());
    ASSERT_NE(nullptr, validator.validationControl());
    EXPECT_EQ(0u, validator.isFileTrusted(TrustTest::fixture(L"signer.dll").c_str()));
    EXPECT_EQ(5u, validator.isFileTrusted(TrustTest::fixture(L"unlisted.dll").c_str()));
    EXPECT_EQ(2u, readDword(L"Calls"));
}

TEST_F(TrustValidatorTest, PublicEntryPoints)
{
    Norvan::TrustValidator::configureInstanceForTesting(offlineLists());
    EXPECT_EQ(87u, Norvan::IsFileTrusted(nullptr));
    EXPECT_EQ(87u, Norvan::IsFileTrusted(L""));
    for (const wchar_t* refused : {L"unsigned.dll", L"tampered.dll", L"unlisted.dll", L"otherchain.dll",
                                   L"expired.dll", L"truncated-signature.dll", L"garbage-signature.dll"})
    {
        EXPECT_EQ(5u, Norvan::IsFileTrusted(TrustTest::fixture(refused).c_str())) << refused;
    }

    EXPECT_EQ(87u, Norvan::TrustValidator::instance().isFileTrusted(L""));
    for (const wchar_t* empty : {static_cast<const wchar_t*>(nullptr), L""})
    {
        ::SetLastError(0);
        EXPECT_EQ(nullptr, Norvan::LoadTrustedLibrary(empty, 0));
        EXPECT_EQ(87u, ::GetLastError());
    }
    ::SetLastError(0);
    EXPECT_EQ(nullptr, Norvan::LoadTrustedLibrary(TrustTest::fixture(L"unlisted.dll").c_str(), 0));
    EXPECT_EQ(5u, ::GetLastError());

    HMODULE module = Norvan::LoadTrustedLibrary(TrustTest::fixture(L"signer.dll").c_str(), 0);
    ASSERT_NE(nullptr, module);
    typedef int(WINAPI * AnswerFn)();
    auto answer =
        reinterpret_cast<AnswerFn>(reinterpret_cast<void*>(::GetProcAddress(module, "TrustSampleAnswer")));
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(42, answer());
    ::FreeLibrary(module);

    // A caller's own data-file flags are kept: mapped as a resource, not
    // loaded as code.
    HMODULE resource = Norvan::LoadTrustedLibrary(TrustTest::fixture(L"signer.dll").c_str(),
                                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, resource);
    EXPECT_NE(0u, reinterpret_cast<std::uintptr_t>(resource) & 3) << "a data-file handle";
    EXPECT_EQ(nullptr, ::GetModuleHandleW(TrustTest::fixture(L"signer.dll").c_str()));
    ::FreeLibrary(resource);

    ::SetLastError(0);
    EXPECT_EQ(nullptr, Norvan::LoadTrustedLibrary(TrustTest::fixture(L"does-not-exist.dll").c_str(), 0));
    EXPECT_EQ(5u, ::GetLastError()) << "a missing file has no trusted signature";
}

std::wstring moduleFile(HMODULE module)
{
    wchar_t name[MAX_PATH] = {};
    ::GetModuleFileNameW(module, name, MAX_PATH);
    return name;
}

bool copyFile(const std::wstring& from, const std::wstring& to)
{
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// The current folder holds signed copies; the DLL folder, which the loader
// searches before the current folder, unsigned copies of the same names.
class LoaderSearchPlanted
{
public:
    LoaderSearchPlanted() : current_(L"cwd"), other_(L"dlldir")
    {
        ::GetCurrentDirectoryW(MAX_PATH, saved_);
        ::SetCurrentDirectoryW(current_.path().c_str());
        ::SetDllDirectoryW(other_.path().c_str());
    }
    ~LoaderSearchPlanted()
    {
        ::SetDllDirectoryW(nullptr);
        ::SetCurrentDirectoryW(saved_);
    }
    const TrustTest::TempFolder& current() const { return current_; }
    const TrustTest::TempFolder& other() const { return other_; }

private:
    TrustTest::TempFolder current_;
    TrustTest::TempFolder other_;
    wchar_t saved_[MAX_PATH] = {};
};

TEST_F(TrustValidatorTest, TheFileVerifiedIsTheFileLoaded)
{
    Norvan::TrustValidator::configureInstanceForTesting(offlineLists());
    LoaderSearchPlanted planted;
    const auto& current = planted.current();
    ASSERT_TRUE(copyFile(TrustTest::fixture(L"signer.dll"), current.file(L"wl-bare.dll")));
    ASSERT_TRUE(copyFile(TrustTest::fixture(L"unsigned.dll"), planted.other().file(L"wl-bare.dll")));
    HMODULE bare = Norvan::LoadTrustedLibrary(L"wl-bare.dll", 0);
    ASSERT_NE(nullptr, bare);
    EXPECT_EQ(current.file(L"wl-bare.dll"), moduleFile(bare)) << "a bare name is resolved once";
    ::FreeLibrary(bare);

    // Without an extension the loader would add ".dll": another file.
    ASSERT_TRUE(copyFile(TrustTest::fixture(L"signer.dll"), current.file(L"wl-noext")));
    ASSERT_TRUE(copyFile(TrustTest::fixture(L"unsigned.dll"), current.file(L"wl-noext.dll")));
    HMODULE noExtension = Norvan::LoadTrustedLibrary(current.file(L"wl-noext").c_str(), 0);
    ASSERT_NE(nullptr, noExtension);
    EXPECT_EQ(current.file(L"wl-noext"), moduleFile(noExtension));
    ::FreeLibrary(noExtension);

    // An empty install folder: the trust library is taken from the current
    // folder, where it was verified.
    setBedrock(L"15.5", L"");
    ASSERT_TRUE(copyFile(signedKxtrustDir() + L"\\kxtrust.dll", current.file(L"wl-kxt.dll")));
    ASSERT_TRUE(copyFile(unsignedKxtrustDir() + L"\\kxtrust.dll", planted.other().file(L"wl-kxt.dll")));
    void* out = nullptr;
    EXPECT_EQ(0u, Norvan::GetTrustInterface(L"wl-kxt.dll", "KxtValidationControl2", &out));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(planted.other().file(L"wl-kxt.dll").c_str()));
    EXPECT_NE(nullptr, ::GetModuleHandleW(current.file(L"wl-kxt.dll").c_str()));
    if (out)
    {
        static_cast<Norvan::IKxtValidationControl*>(out)->Release();
    }
}

TEST_F(TrustValidatorTest, WithoutAReadableInstallFolderTheCurrentFolderIsSearched)
{
    LoaderSearchPlanted planted;
    ASSERT_TRUE(copyFile(signedKxtrustDir() + L"\\kxtrust.dll", planted.current().file(L"wl-kxt-cwd.dll")));
    auto loadedFromCurrent = [&]()
    {
        void* out = nullptr;
        const DWORD result = Norvan::GetTrustInterface(L"wl-kxt-cwd.dll", "KxtValidationControl2", &out);
        if (out)
        {
            static_cast<Norvan::IKxtValidationControl*>(out)->Release();
        }
        return result;
    };
    EXPECT_EQ(0u, loadedFromCurrent()) << "no Bedrock key";

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kBedrock, 0, nullptr, 0,
                                               KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr));
    const DWORD notText = 1;
    ::RegSetValueExW(key, L"szInstallDir64", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&notText),
                     sizeof(notText));
    ::RegCloseKey(key);
    EXPECT_EQ(0u, loadedFromCurrent()) << "an install folder that is not text";

    // A folder written with its trailing backslash is joined with none added.
    setBedrock(L"15.5", signedKxtrustDir() + L"\\");
    void* out = nullptr;
    EXPECT_EQ(0u, Norvan::GetTrustInterface(L"kxtrust.dll", "KxtValidationControl2", &out));
    ASSERT_NE(nullptr, out);
    static_cast<Norvan::IKxtValidationControl*>(out)->Release();
}

TEST_F(TrustValidatorTest, FileThatCannotBeHeldAgainstSwappingIsRefused)
{
    // The trust library accepts without opening the file, so only the hold
    // can notice the handle.
    setBedrock(L"15.5", signedKxtrustDir());
    setDword(L"Status", 2);
    setDword(L"Verdict", 8);
    Norvan::TrustValidator validator(offlineLists());
    ASSERT_NE(nullptr, validator.validationControl());
    TrustTest::TempFolder folder(L"held");
    const std::wstring library = folder.file(L"wl-held.dll");
    const std::wstring trustLibrary = folder.file(L"kxtrust.dll");
    ASSERT_TRUE(copyFile(TrustTest::fixture(L"signer.dll"), library));
    ASSERT_TRUE(copyFile(signedKxtrustDir() + L"\\kxtrust.dll", trustLibrary));
    // Handles that could rename the files away between check and load; the
    // loader itself would still open them.
    HANDLE renamers[2];
    int i = 0;
    for (const std::wstring& path : {library, trustLibrary})
    {
        renamers[i] =
            ::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, renamers[i++]);
    }
    ::SetLastError(0);
    EXPECT_EQ(nullptr, validator.loadTrustedLibrary(library.c_str(), 0));
    EXPECT_EQ(5u, ::GetLastError());
    void* out = nullptr;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION),
              Norvan::GetTrustInterface(trustLibrary.c_str(), "KxtValidationControl2", &out));
    EXPECT_EQ(nullptr, out);
    ::CloseHandle(renamers[0]);
    ::CloseHandle(renamers[1]);

    HMODULE loaded = validator.loadTrustedLibrary(library.c_str(), 0);
    EXPECT_NE(nullptr, loaded) << "refused for the open handle only";
    ::FreeLibrary(loaded);
}

} // namespace
