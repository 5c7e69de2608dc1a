// Folder templates with path variables, and the search of a file in the
// folders they expand to. The system's answers (known folders, the install
// folder in the registry, the platform's version text) come from the input,
// so that they fail, succeed and hold odd text as the input says.
//
// Checked: expansion leaves a text without "$(" alone, never leaves a token
// whose value could be had, adds no "$(", and gives one of the three platform
// names; the search finds only a file that is there, in a folder of its list.

#include "Fuzz.h"
#include "support/ScratchFiles.h"

#include "paths/PathHelpers.h"
#include "paths/PathSearch.h"

#include <objbase.h>

#include <cstring>

namespace WardlineFuzz
{
namespace
{

const std::vector<std::wstring>& tokens()
{
    static const std::vector<std::wstring> list = {
        L"$(OS.Platform)",
        L"$(App.Binary)",
        L"$(App.Name)",
        L"$(App.Folder)",
        L"$(App.Path)",
        L"$(Hubframe.InstallDir)",
        L"$(FOLDERID_Profile)",
        L"$(FOLDERID_Desktop)",
        L"$(FOLDERID_Documents)",
        L"$(FOLDERID_LocalAppDataLow)",
        L"$(FOLDERID_LocalAppData)",
        L"$(FOLDERID_RoamingAppData)",
        L"$(FOLDERID_ProgramData)",
        L"$(FOLDERID_ProgramFiles)",
        L"$(FOLDERID_ProgramFilesX64)",
        L"$(FOLDERID_ProgramFilesX86)",
        L"$(FOLDERID_ProgramFilesCommon)",
        L"$(FOLDERID_ProgramFilesCommonX64)",
        L"$(FOLDERID_ProgramFilesCommonX86)",
    };
    return list;
}

// Values hold no '$', '(' or ')', so that no token can be made of them.
std::wstring plainValue(std::wstring text)
{
    for (wchar_t& c : text)
    {
        if (c == L'$' || c == L'(' || c == L')' || c == L'\0')
        {
            c = L'_';
        }
    }
    return text;
}

class InputShell : public Norvan::ShlObjAPI
{
public:
    explicit InputShell(std::wstring folder) : folder_(std::move(folder)) {}
    HRESULT getKnownFolderPath(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) override
    {
        *path = nullptr;
        if (folder_.empty())
        {
            return E_FAIL;
        }
        const std::size_t bytes = (folder_.size() + 1) * sizeof(wchar_t);
        *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
        std::memcpy(*path, folder_.c_str(), bytes);
        return S_OK;
    }

private:
    std::wstring folder_;
};

class InputRegistry : public Norvan::RegistryAPI
{
public:
    explicit InputRegistry(std::wstring folder) : folder_(std::move(folder)) {}
    Norvan::ModuleStatus getString(const std::wstring&, const std::wstring&, std::wstring& value) override
    {
        if (folder_.empty())
        {
            return Norvan::MODULE_STATUS_UNSUCCESSFUL;
        }
        value = folder_;
        return 0;
    }
    Norvan::ModuleStatus getDword(const std::wstring&, const std::wstring&, DWORD&) override
    {
        return Norvan::MODULE_STATUS_UNSUCCESSFUL;
    }

private:
    std::wstring folder_;
};

class InputVersion : public Plinth::WinOSVersionAPI
{
public:
    explicit InputVersion(std::wstring version) : version_(std::move(version)) {}
    bool GetSystemLibraryVersion(std::wstring& text) override
    {
        text = version_;
        return true;
    }
    bool IsPlatform(DWORD platformId) override { return platformId == VER_PLATFORM_WIN32_NT; }
    bool IsWow64Process(bool& wow64) override
    {
        wow64 = false;
        return true;
    }

private:
    std::wstring version_;
};

std::size_t count(const std::wstring& text, const std::wstring& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1))
    {
        ++n;
    }
    return n;
}

class PathsTarget : public Target
{
public:
    unsigned shortIterations() const override { return 800; }
    std::vector<std::wstring> textTokens() const override
    {
        std::vector<std::wstring> list = tokens();
        list.insert(list.end(),
                    {L"$(Other.Var)", L"$(app.folder)", L"$($(App.Name))", L"\\", L"\\\\?\\", L"C:"});
        return list;
    }

    void setUp() override
    {
        folder_ = std::make_unique<WardlineTest::ScratchFolder>(L"fuzz-paths");
        writeFileBytes((*folder_ / L"lib.dll"), "x");
        ::CreateDirectoryW((*folder_ / L"dir.dll").c_str(), nullptr);
    }
    void tearDown() override { folder_.reset(); }

    Input generate(Mutator& mutator) override
    {
        Rng& rng = mutator.rng();
        Input input;
        std::vector<std::wstring> templates = {L"$(App.Folder)",
                                               L"$(Hubframe.InstallDir)\\bin\\",
                                               L"$(FOLDERID_ProgramFilesCommon)\\Korvex\\Platform",
                                               L"$(App.Folder)$(App.Name)",
                                               L"$($(App.Name))",
                                               L"$(Other.Var)\\x",
                                               L"C:\\plain\\folder",
                                               L""};
        templates.insert(templates.end(), tokens().begin(), tokens().end());
        input.addText(mutator.mutatedText(templates));
        // Known folder, install folder (empty: the read fails), version text.
        input.addText(rng.chance(20) ? std::wstring() : mutator.mutatedText({L"C:\\Known\\Folder"}));
        input.addText(rng.chance(20) ? std::wstring() : mutator.mutatedText({L"C:\\Hubframe"}));
        input.addText(rng.chance(70) ? std::wstring(L"10.0.19041.1")
                                     : mutator.mutatedText({L"10.0.19041.1", L"5.0", L"5.1.2600"}));
        input.addText(mutator.mutatedText({L"lib.dll", L"dir.dll", L"missing.dll", L""}));
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        const std::wstring original = input.text(0);
        const std::wstring knownFolder = plainValue(input.text(1));
        const std::wstring installFolder = plainValue(input.text(2));
        Norvan::PathHelpers helpers(
            std::make_shared<InputShell>(knownFolder),
            std::make_shared<Plinth::OSInfo>(std::make_shared<InputVersion>(input.text(3))),
            std::make_shared<InputRegistry>(installFolder));

        std::wstring path = original;
        check.expect(helpers.expandVariables(path), "expandVariables answered false");
        if (original.find(L"$(") == std::wstring::npos)
        {
            check.expect(path == original, "a text without a token changed: " + Check::narrow(path));
        }
        check.expect(count(path, L"$(") <= count(original, L"$("), "expansion added a \"$(\"");
        for (const std::wstring& token : tokens())
        {
            const bool valueMissing = (token.compare(0, 11, L"$(FOLDERID_") == 0 && knownFolder.empty()) ||
                                      (token == L"$(Hubframe.InstallDir)" && installFolder.empty());
            check.expect(valueMissing || path.find(token) == std::wstring::npos,
                         "the token " + Check::narrow(token) + " stayed in " + Check::narrow(path));
        }
        std::wstring platform = L"$(OS.Platform)";
        helpers.expandVariables(platform);
        check.expect(platform == L"win32" || platform == L"x64" || platform == L"PlatformUnknown",
                     "the platform is " + Check::narrow(platform));

        // The search: the scratch folder (which holds lib.dll and a directory
        // dir.dll) after the expanded template.
        const std::wstring fileName = input.text(4);
        Norvan::PathSearch search;
        search.addSearchPath(path);
        search.addSearchPath(folder_->path() + L"\\");
        std::wstring found = L"untouched";
        if (search.findFilePath(fileName, found))
        {
            const DWORD attributes = ::GetFileAttributesW((found + L"\\" + fileName).c_str());
            check.expect(attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY),
                         "found a file that is not there: " + Check::narrow(found + L"\\" + fileName));
            const std::wstring trimmed =
                !path.empty() && path.back() == L'\\' ? path.substr(0, path.size() - 1) : path;
            check.expect(found == trimmed || found == folder_->path(),
                         "found in a folder not in the list: " + Check::narrow(found));
        }
        else
        {
            check.expect(found == L"untouched", "a failed search changed its output");
            check.expect(fileName != L"lib.dll", "lib.dll was not found in the folder that holds it");
        }
    }

private:
    std::unique_ptr<WardlineTest::ScratchFolder> folder_;
};

WARDLINE_FUZZ_TARGET("paths", PathsTarget);

} // namespace
} // namespace WardlineFuzz
