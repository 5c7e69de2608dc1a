// The cabinet update through the system's Cabinet.dll. Wine's WinVerifyTrust
// does not check a cabinet's content digest (Windows does); the update never
// relies on the cabinet's signature anyway: only the extracted list's own
// signature decides what is installed.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "TrustTestSupport.h"
#include "trust/CabinetUpdate.h"
#include "trust/TrustValidator.h"

using Norvan::internal::CabinetUpdateResult;

namespace
{

std::string readAll(const std::wstring& path)
{
    HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return std::string();
    }
    std::string bytes(::GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    if (!bytes.empty())
    {
        ::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    }
    ::CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

class CabinetUpdateTest : public ::testing::Test
{
protected:
    CabinetUpdateTest() : folder_(L"cabinet") {}
    void SetUp() override
    {
        TrustTest::clearListAtom();
        tempFilesBefore_ = TrustTest::countTempFiles(L"trustedjs");
    }
    void TearDown() override
    {
        EXPECT_EQ(tempFilesBefore_, TrustTest::countTempFiles(L"trustedjs")) << "extracted lists are deleted";
        TrustTest::clearListAtom();
    }
    std::wstring listPath() const { return folder_.file(L"Core\\trusted.js"); }
    Norvan::TrustValidator::Configuration config() const
    {
        Norvan::TrustValidator::Configuration c;
        c.trustedListPath = listPath();
        c.readPlatform = false;
        return c;
    }
    CabinetUpdateResult update(Norvan::TrustValidator& v, const wchar_t* cab)
    {
        return Norvan::internal::runCabinetUpdate(TrustTest::fixture(cab), v.trustedList());
    }

    TrustTest::TempFolder folder_;
    int tempFilesBefore_ = 0;
};

TEST_F(CabinetUpdateTest, SignedCabinetWithNewerListInstallsItAndIsThenTrusted)
{
    Norvan::TrustValidator validator(config());
    // The cabinet's signer is not accepted by the built-in lists; the list
    // inside accepts it.
    EXPECT_EQ(0u, validator.isFileTrusted(TrustTest::fixture(L"update-v9.cab").c_str()));
    EXPECT_TRUE(TrustTest::fileExists(listPath())) << "installed, with its folder created";
    EXPECT_FALSE(TrustTest::fileExists(folder_.file(L"Core\\trusted.tmp")));
    EXPECT_EQ(readAll(TrustTest::fixture(L"list-v9.js")), readAll(listPath()));
    EXPECT_NE(0, ::GlobalFindAtomW(Norvan::internal::kTrustedListAtom)) << "the update is announced";
    EXPECT_EQ(9u, validator.trustedList().version());

    // A second cabinet with a list of the same version installs nothing.
    TrustTest::clearListAtom();
    EXPECT_EQ(CabinetUpdateResult::NotNewer, update(validator, L"update-v9b.cab"));
    EXPECT_EQ(readAll(TrustTest::fixture(L"list-v9.js")), readAll(listPath()));
    EXPECT_EQ(0, ::GlobalFindAtomW(Norvan::internal::kTrustedListAtom));

    // A higher version replaces the installed list (ReplaceFileW).
    EXPECT_EQ(0u, validator.isFileTrusted(TrustTest::fixture(L"update-v10.cab").c_str()));
    EXPECT_EQ(10u, validator.trustedList().version());
    EXPECT_EQ(readAll(TrustTest::fixture(L"list-v10.js")), readAll(listPath()));
}

TEST_F(CabinetUpdateTest, InstalledFileDecidesWhatIsNewerAlsoWhenThisProcessHasNotLoadedIt)
{
    ASSERT_TRUE(::CreateDirectoryW(folder_.file(L"Core").c_str(), nullptr));
    ASSERT_TRUE(::CopyFileW(TrustTest::fixture(L"list-v10.js").c_str(), listPath().c_str(), FALSE));
    Norvan::TrustValidator validator(config());
    ASSERT_FALSE(validator.trustedList().isLoaded());
    EXPECT_EQ(CabinetUpdateResult::NotNewer, update(validator, L"update-v9.cab"));
    EXPECT_EQ(readAll(TrustTest::fixture(L"list-v10.js")), readAll(listPath()));

    // An installed file that cannot be read may be the newer one: nothing is
    // installed, and no move is left for the next restart.
    ASSERT_TRUE(::CopyFileW(TrustTest::fixture(L"list-v9.js").c_str(), listPath().c_str(), FALSE));
    HANDLE holder = ::CreateFileW(listPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    EXPECT_EQ(CabinetUpdateResult::InstallFailed, update(validator, L"update-v10.cab"));
    ::CloseHandle(holder);
    EXPECT_EQ(readAll(TrustTest::fixture(L"list-v9.js")), readAll(listPath()));
    EXPECT_FALSE(TrustTest::fileExists(folder_.file(L"Core\\trusted.tmp"))) << "nothing is pending";
    EXPECT_EQ(0, ::GlobalFindAtomW(Norvan::internal::kTrustedListAtom));
}

TEST_F(CabinetUpdateTest, CabinetTheCurrentListsAcceptIsNotOpened)
{
    Norvan::TrustValidator validator(config());
    EXPECT_EQ(0u, validator.isFileTrusted(TrustTest::fixture(L"signed-by-signer-v9.cab").c_str()));
    EXPECT_FALSE(TrustTest::fileExists(listPath())) << "the update runs only for a refused cabinet";
    EXPECT_EQ(0, ::GlobalFindAtomW(Norvan::internal::kTrustedListAtom));
}

TEST_F(CabinetUpdateTest, CabinetsThatInstallNothing)
{
    Norvan::TrustValidator validator(config());
    struct Case
    {
        const wchar_t* cab;
        CabinetUpdateResult expected;
    };
    for (const Case& c : {Case{L"update-tampered-list.cab", CabinetUpdateResult::CandidateRefused},
                          Case{L"update-v5.cab", CabinetUpdateResult::VersionTooLow},
                          Case{L"update-many.cab", CabinetUpdateResult::NotExtracted},
                          Case{L"update-escape.cab", CabinetUpdateResult::NotExtracted},
                          Case{L"signer.dll", CabinetUpdateResult::NotExtracted},
                          Case{L"does-not-exist.cab", CabinetUpdateResult::NotExtracted}})
    {
        EXPECT_EQ(c.expected, update(validator, c.cab)) << c.cab;
        EXPECT_FALSE(TrustTest::fileExists(listPath())) << c.cab;
        EXPECT_EQ(0, ::GlobalFindAtomW(Norvan::internal::kTrustedListAtom)) << c.cab;
    }
    // Corrupted after signing: whether Cabinet.dll refuses the data block or
    // the list's digest check refuses the content, nothing is installed.
    const CabinetUpdateResult corrupted = update(validator, L"update-corrupted.cab");
    EXPECT_TRUE(corrupted == CabinetUpdateResult::NotExtracted ||
                corrupted == CabinetUpdateResult::CandidateRefused)
        << static_cast<int>(corrupted);
    EXPECT_FALSE(TrustTest::fileExists(listPath()));
    EXPECT_EQ(5u, validator.isFileTrusted(TrustTest::fixture(L"update-tampered-list.cab").c_str()));
}

TEST_F(CabinetUpdateTest, EscapingNamesWriteNothingOutsideTheTemporaryFolder)
{
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring tempFolder = temp;
    const std::wstring parent = tempFolder.substr(0, tempFolder.find_last_of(L'\\', tempFolder.size() - 2));
    const std::wstring outside[] = {parent + L"\\trusted.js", L"C:\\trusted.js",
                                    tempFolder + L"x\\trusted.js", tempFolder + L"trusted.js"};
    for (const std::wstring& path : outside)
    {
        ASSERT_FALSE(TrustTest::fileExists(path)) << "left over before the test";
    }
    EXPECT_TRUE(
        Norvan::internal::extractTrustedListFromCabinet(TrustTest::fixture(L"update-escape.cab")).empty());
    for (const std::wstring& path : outside)
    {
        EXPECT_FALSE(TrustTest::fileExists(path));
    }
}

TEST_F(CabinetUpdateTest, ExtractionNamesAFreshTemporaryFile)
{
    const std::wstring extracted =
        Norvan::internal::extractTrustedListFromCabinet(TrustTest::fixture(L"update-v9.cab"));
    ASSERT_FALSE(extracted.empty());
    const std::wstring name = extracted.substr(extracted.find_last_of(L'\\') + 1);
    EXPECT_EQ(0u, name.find(L"trustedjs"));
    EXPECT_EQ(L".js", name.substr(name.size() - 3));
    EXPECT_EQ(readAll(TrustTest::fixture(L"list-v9.js")), readAll(extracted));
    // Exactly "trusted.js" in any case; the second cabinet spells it TRUSTED.JS.
    const std::wstring upper =
        Norvan::internal::extractTrustedListFromCabinet(TrustTest::fixture(L"update-v9b.cab"));
    ASSERT_FALSE(upper.empty());
    EXPECT_NE(extracted, upper);
    ::SetFileAttributesW(extracted.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::SetFileAttributesW(upper.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(::DeleteFileW(extracted.c_str()));
    EXPECT_TRUE(::DeleteFileW(upper.c_str()));
}

// Each case damages one table of a signed cabinet that extracts fine as it
// is: none reaches Cabinet.dll.
TEST_F(CabinetUpdateTest, CabinetsWhoseTablesPointOutsideThemAreNotOpened)
{
    const std::string original = readAll(TrustTest::fixture(L"update-v9.cab"));
    ASSERT_GT(original.size(), 64u);
    auto word = [&](size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(original[at]) |
                                                              static_cast<unsigned char>(original[at + 1]) << 8); };
    auto dword = [&](size_t at) { return word(at) | word(at + 2) << 16; };
    const bool reserve = (word(30) & 0x0004) != 0;
    const size_t folderAt = 36 + (reserve ? 4 + word(36) : 0);
    const unsigned filesAt = dword(16);
    auto patched = [&](size_t at, unsigned value, int bytes)
    {
        std::string copy = original;
        for (int i = 0; i < bytes; ++i)
        {
            copy[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        }
        return copy;
    };
    struct Case
    {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"folder table beyond the cabinet", patched(26, 0x7FFF, 2)},
        {"data blocks beyond the declared size", patched(8, dword(folderAt) + 8, 4)},
        {"file table before the folders", patched(16, 0, 4)},
        {"file in a folder the cabinet lacks", patched(filesAt + 8, 5, 2)},
        {"file longer than its folder's data", patched(filesAt, 0x7FFFFFFF, 4)},
        {"reserve sizes cut off", reserve ? patched(8, 36, 4).substr(0, 36) : std::string("MSCF")},
    };
    const std::wstring path = folder_.file(L"damaged.cab");
    auto write = [&](const std::string& bytes)
    {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(file);
        return written == bytes.size();
    };
    ASSERT_TRUE(write(original));
    const std::wstring intact = Norvan::internal::extractTrustedListFromCabinet(path);
    ASSERT_FALSE(intact.empty()) << "the undamaged copy extracts";
    Norvan::internal::TrustedList::deleteTempFile(intact);
    for (const Case& c : cases)
    {
        ASSERT_TRUE(write(c.bytes));
        EXPECT_TRUE(Norvan::internal::extractTrustedListFromCabinet(path).empty()) << c.what;
    }
}

TEST_F(CabinetUpdateTest, InstallationsThatCannotBeginChangeNothing)
{
    const auto signer = Norvan::internal::builtInListSignerThumbprint();
    const std::wstring candidate = TrustTest::fixture(L"list-v9.js");
    // The list's folder cannot be made: a file has its parent's name.
    ASSERT_TRUE(::CopyFileW(candidate.c_str(), folder_.file(L"Core").c_str(), FALSE));
    Norvan::internal::TrustedList blocked(listPath(), signer);
    EXPECT_EQ(Norvan::internal::TrustedList::InstallResult::Failed, blocked.install(candidate, 9));
    ASSERT_TRUE(::DeleteFileW(folder_.file(L"Core").c_str()));

    Norvan::internal::TrustedList list(listPath(), signer);
    EXPECT_EQ(Norvan::internal::TrustedList::InstallResult::Failed,
              list.install(folder_.file(L"no-such-candidate.js"), 9));
    EXPECT_FALSE(TrustTest::fileExists(listPath()));
    EXPECT_FALSE(TrustTest::fileExists(folder_.file(L"Core\\trusted.tmp")));
    EXPECT_FALSE(list.isLoaded());
    EXPECT_EQ(0, ::GlobalFindAtomW(Norvan::internal::kTrustedListAtom));
}

TEST_F(CabinetUpdateTest, InstalledFileTooLargeToBeAListIsReplaced)
{
    ASSERT_TRUE(::CreateDirectoryW(folder_.file(L"Core").c_str(), nullptr));
    HANDLE file = ::CreateFileW(listPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    LARGE_INTEGER size{};
    size.QuadPart = Norvan::internal::TrustedList::kMaxFileSize + 1;
    ASSERT_TRUE(::SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && ::SetEndOfFile(file));
    ::CloseHandle(file);

    Norvan::internal::TrustedList list(listPath(), Norvan::internal::builtInListSignerThumbprint());
    EXPECT_EQ(Norvan::internal::TrustedList::InstallResult::Installed,
              list.install(TrustTest::fixture(L"list-v9.js"), 9));
    EXPECT_EQ(readAll(TrustTest::fixture(L"list-v9.js")), readAll(listPath()));
    EXPECT_EQ(9u, list.version());
}

TEST_F(CabinetUpdateTest, ReplacementThatFailsIsLeftPendingForTheNextRestart)
{
    constexpr wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";
    std::wstring before;
    {
        DWORD size = 0;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                           RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size) == ERROR_SUCCESS)
        {
            before.assign(size / sizeof(wchar_t), L'\0');
            ::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                           RRF_RT_REG_MULTI_SZ, nullptr, &before[0], &size);
        }
    }

    Norvan::TrustValidator validator(config());
    ASSERT_EQ(CabinetUpdateResult::Installed, update(validator, L"update-v9.cab"));
    TrustTest::clearListAtom();
    {
        // Another process holds the installed list without delete sharing.
        HANDLE holder = ::CreateFileW(listPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, holder);
        EXPECT_EQ(CabinetUpdateResult::InstallFailed, update(validator, L"update-v10.cab"));
        ::CloseHandle(holder);
    }
    EXPECT_EQ(9u, validator.trustedList().version()) << "the old list stays in force";
    EXPECT_EQ(readAll(TrustTest::fixture(L"list-v9.js")), readAll(listPath()));
    EXPECT_EQ(0, ::GlobalFindAtomW(Norvan::internal::kTrustedListAtom));

    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                             RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size));
    std::wstring pending(size / sizeof(wchar_t), L'\0');
    ::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                   nullptr, &pending[0], &size);
    EXPECT_NE(std::wstring::npos, pending.find(L"trusted.tmp")) << "the move waits for the next restart";

    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS)
    {
        if (before.empty())
        {
            ::RegDeleteValueW(key, L"PendingFileRenameOperations");
        }
        else
        {
            ::RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(before.data()),
                             static_cast<DWORD>(before.size() * sizeof(wchar_t)));
        }
        ::RegCloseKey(key);
    }
    ::DeleteFileW(folder_.file(L"Core\\trusted.tmp").c_str());
}

} // namespace
