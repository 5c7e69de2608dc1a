// Trusted lists and cabinets, mutated from the trust tests' signed fixtures
// (development PKI, the build's list signer).
//
// trustlist: list text through the parser, and list files (a changed byte
// anywhere, in the text or in its "// SIG //" block) through the signature
// rule. A file is accepted only with the lists of a file that was signed.
//
// cabinet: cabinets through the update, over an installed list of version 8.
// A cabinet installs only a signed list that is newer; whatever it holds, the
// installed file and the lists in force are otherwise untouched, no extracted
// file is left in the temporary folder, no "trusted.tmp" beside the list,
// and nothing is written where an entry's name points outside the temporary
// folder.

#include "Fuzz.h"
#include "support/ScratchFiles.h"

#include "trust/CabinetUpdate.h"
#include "trust/SignatureCheck.h"
#include "trust/TrustedList.h"
#include "trust/TrustTestSupport.h"

namespace WardlineFuzz
{
namespace
{

using Norvan::internal::TrustedList;
using Norvan::internal::TrustLists;
using TrustTest::clearListAtom;
using TrustTest::countTempFiles;
using TrustTest::fixture;

bool sameLists(const TrustLists& a, const TrustLists& b)
{
    return a.version == b.version && a.hasNames == b.hasNames && a.names == b.names &&
           a.thumbprints == b.thumbprints && a.refusedSerials == b.refusedSerials;
}

std::vector<std::string> listTokens()
{
    std::vector<std::string> tokens;
    for (const wchar_t* token :
         {L"[VER]", L"[ORG]", L"[SER]", L"[SHA]", L"[]", L"\r\n", L"// SIG // ",
          L"// SIG // Begin signature block", L"// SIG // End signature block", L"/*", L"*/", L"//", L"9",
          L"4294967296", L"0123456789ABCDEF0123456789ABCDEF01234567"})
    {
        tokens.push_back(utf16Bytes(token));
    }
    return tokens;
}

// ---------------------------------------------------------------- trustlist

const wchar_t* const kSignedLists[] = {L"list-v9.js", L"list-v9b.js",   L"list-v10.js",   L"list-v8.js",
                                       L"list-v5.js", L"list-nover.js", L"list-twover.js"};

class TrustListTarget : public Target
{
public:
    unsigned shortIterations() const override { return 60; }
    std::vector<std::string> byteTokens() const override { return listTokens(); }

    void setUp() override
    {
        folder_ = std::make_unique<WardlineTest::ScratchFolder>(L"fuzz-trustlist");
        load();
    }
    void tearDown() override { folder_.reset(); }

    Input generate(Mutator& mutator) override
    {
        Input input;
        input.addBytes(mutator.mutatedBytes(seeds_));
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        check.expect(signedLists_.size() == 5, "the signed fixtures do not verify: is the prefix prepared?");
        const std::string bytes = input.bytes(0);

        // The text alone.
        TrustedList::Contents parsed;
        const std::wstring text = TrustedList::decode(bytes);
        if (TrustedList::parse(text, &parsed))
        {
            check.expect(text.find(L"[VER]") != std::wstring::npos, "a list without [VER] parsed");
        }

        // The file with its signature.
        const std::wstring path = (*folder_ / L"candidate.js");
        check.expect(writeFileBytes(path, bytes), "the candidate cannot be written");
        TrustedList list((*folder_ / L"installed.js"), Norvan::internal::builtInListSignerThumbprint());
        TrustedList::Contents read;
        Norvan::internal::SignatureStep step = Norvan::internal::SignatureStep::Accepted;
        if (!list.readFile(path, &read, &step))
        {
            return;
        }
        bool signedContent = false;
        for (const TrustLists& lists : signedLists_)
        {
            signedContent = signedContent || sameLists(lists, read.lists);
        }
        check.expect(signedContent, Check::format("a changed list file was accepted, with version %lu",
                                                  static_cast<unsigned long>(read.lists.version)));
        check.expect(!list.isLoaded(), "reading a candidate loaded the list");
    }

private:
    void load()
    {
        seeds_.clear();
        signedLists_.clear();
        TrustedList reader(L"", Norvan::internal::builtInListSignerThumbprint());
        for (const wchar_t* name : kSignedLists)
        {
            seeds_.push_back(readFileBytes(fixture(name)));
            TrustedList::Contents contents;
            if (reader.readFile(fixture(name), &contents))
            {
                signedLists_.push_back(contents.lists);
            }
        }
    }

    std::unique_ptr<WardlineTest::ScratchFolder> folder_;
    std::vector<std::string> seeds_;
    std::vector<TrustLists> signedLists_;
};

WARDLINE_FUZZ_TARGET("trustlist", TrustListTarget);

// ---------------------------------------------------------------- cabinet

const wchar_t* const kCabinets[] = {
    L"update-v9.cab",     L"update-v9b.cab",           L"update-v10.cab",         L"update-v5.cab",
    L"update-escape.cab", L"update-tampered-list.cab", L"signed-by-signer-v9.cab"};

class CabinetTarget : public Target
{
public:
    unsigned shortIterations() const override { return 40; }
    std::vector<std::string> byteTokens() const override
    {
        std::vector<std::string> tokens = listTokens();
        for (const char* token : {"MSCF", "trusted.js", "TRUSTED.JS", "..\\trusted.js", "C:\\trusted.js",
                                  "x/trusted.js", "\\\\?\\C:\\t.js"})
        {
            tokens.emplace_back(token);
        }
        return tokens;
    }

    void setUp() override
    {
        folder_ = std::make_unique<WardlineTest::ScratchFolder>(L"fuzz-cabinet");
        load();
    }
    void tearDown() override
    {
        folder_.reset();
        clearListAtom();
    }

    Input generate(Mutator& mutator) override
    {
        Input input;
        input.addBytes(mutator.mutatedBytes(seeds_));
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        const std::wstring installed = (*folder_ / L"Core\\trusted.js");
        const std::wstring leftover = (*folder_ / L"Core\\trusted.tmp");
        ::CreateDirectoryW((*folder_ / L"Core").c_str(), nullptr);
        ::SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_NORMAL);
        check.expect(writeFileBytes(installed, installedBytes_), "the installed list cannot be reset");
        clearListAtom();
        TrustedList list(installed, Norvan::internal::builtInListSignerThumbprint());
        check.expect(list.load() && list.version() == 8, "the installed list of version 8 does not load");
        const TrustLists before = list.lists();

        const std::wstring cabinet = (*folder_ / L"update.cab");
        check.expect(writeFileBytes(cabinet, input.bytes(0)), "the cabinet cannot be written");
        const std::vector<std::wstring> outside = escapeTargets();
        const int tempBefore = countTempFiles(L"trustedjs");

        const auto result = Norvan::internal::runCabinetUpdate(cabinet, list);
        clearListAtom();

        const std::string after = readFileBytes(installed);
        if (result == Norvan::internal::CabinetUpdateResult::Installed)
        {
            bool known = false;
            for (const std::string& newer : newerLists_)
            {
                known = known || after == newer;
            }
            check.expect(known, "an installed list is not one of the signed newer lists");
            check.expect(list.isLoaded() && list.version() > 8, "the installed list is not the one in force");
        }
        else
        {
            check.expect(
                after == installedBytes_,
                Check::format("the update ended with %d and changed the installed list", int(result)));
            check.expect(sameLists(list.lists(), before), "the update did not install and changed the lists");
        }
        check.expect(::GetFileAttributesW(leftover.c_str()) == INVALID_FILE_ATTRIBUTES,
                     "trusted.tmp was left");
        check.expect(countTempFiles(L"trustedjs") == tempBefore,
                     "an extracted list was left in the temporary folder");
        for (const std::wstring& path : outside)
        {
            check.expect(::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES,
                         "an entry was written outside the temporary folder: " + Check::narrow(path));
        }
    }

private:
    void load()
    {
        seeds_.clear();
        for (const wchar_t* name : kCabinets)
        {
            seeds_.push_back(readFileBytes(fixture(name)));
        }
        installedBytes_ = readFileBytes(fixture(L"list-v8.js"));
        newerLists_ = {readFileBytes(fixture(L"list-v9.js")), readFileBytes(fixture(L"list-v9b.js")),
                       readFileBytes(fixture(L"list-v10.js"))};
    }

    // Where the escape fixture's names would land if taken as paths.
    static std::vector<std::wstring> escapeTargets()
    {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        const std::wstring folder(temp);
        return {folder + L"trusted.js", folder + L"..\\trusted.js", L"C:\\trusted.js",
                folder + L"x\\trusted.js"};
    }

    std::unique_ptr<WardlineTest::ScratchFolder> folder_;
    std::vector<std::string> seeds_;
    std::string installedBytes_;
    std::vector<std::string> newerLists_;
};

WARDLINE_FUZZ_TARGET("cabinet", CabinetTarget);

} // namespace
} // namespace WardlineFuzz
