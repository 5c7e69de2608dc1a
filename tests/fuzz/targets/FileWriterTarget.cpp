// The log-file writer on the prefix's program-data folder: its application
// "log.ini" of any shape, application names a host might pass, and lines of
// any level and text (surrogates, NULs, lengths at the cut).
//
// Checked: a writer that wrote lines wrote them in a folder of its own,
// directly below the log root and not the root itself, and the root's shared
// "log.ini" stays as it was; a line answers a documented result and, when it
// was written, is in the set with its text cut where the writer cuts; every
// file of the set starts with its byte-order mark; a "LastLogIdx" that reads
// afterwards names a file of the set.

#include "Fuzz.h"

#include "Logging/FileLogging.h"
#include "Logging/LogFileFormat.h"
#include "Logging/config/IniReader.h"
#include "LogReader.h"
#include "wrappers/PathAPI.h"

#include <shlobj.h>

namespace WardlineFuzz
{
namespace
{

constexpr wchar_t kApplication[] = L"WLFuzzFile";

std::wstring logRoot()
{
    PWSTR path = nullptr;
    ::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &path);
    const std::wstring root = std::wstring(path != nullptr ? path : L"") + ETWLogging::kLogRootRelative;
    ::CoTaskMemFree(path);
    return root;
}

std::string ansi(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

class FileWriterTarget : public Target
{
public:
    unsigned shortIterations() const override { return 40; }
    std::vector<std::wstring> textTokens() const override
    {
        return {L"CON", L"NUL", L"COM1", L".", L"..", L" ", L"~1", L"\\", L":", L"\r\n"};
    }

    void setUp() override
    {
        root_ = logRoot();
        globalIni_ = readFileBytes(root_ + ETWLogging::kLogIniFileName);
        globalIniExisted_ =
            ::GetFileAttributesW((root_ + ETWLogging::kLogIniFileName).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    void tearDown() override { restoreGlobalIni(); }

    Input generate(Mutator& mutator) override
    {
        Rng& rng = mutator.rng();
        Input input;
        const std::wstring application = rng.chance(80)
                                             ? std::wstring(kApplication)
                                             : mutator.mutatedText({kApplication, L"WLFuzz~1", L"CON"});
        input.addText(upToNul(application));
        const std::wstring ini = L"[Config]\r\nEnable=1\r\nMaxSize=262144\r\nMaxEntries=3\r\nSeverity=1\r\n"
                                 L"Options=61\r\nLastLogIdx=2\r\n";
        input.addBytes(rng.chance(50) ? ansi(ini)
                                      : mutator.mutatedBytes({ansi(ini), ansi(L"[Config]\r\nEnable=0")}));
        const std::size_t count = rng.between(1, 12);
        for (std::size_t i = 0; i < count; ++i)
        {
            input.addNumber(rng.chance(85) ? rng.between(1, 6) : rng.below(10));
            input.addText(mutator.mutatedText({L"state changed to red", L"could not parse JSON '{'",
                                               std::wstring(4158, L'm') + L"\xD83D\xDE00", L"x"}));
        }
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        const std::wstring application = upToNul(input.text(0));
        // The harness prepares only a folder that is one below the root: a
        // name that the system resolves elsewhere ("...", "x.") is the
        // writer's to refuse or to place, and what it does is checked.
        const std::wstring folder = ownFolder(root_ + application);
        removeSet(folder);
        if (!folder.empty())
        {
            // The set of this program: "<root>\<application>\fuzz_tests".
            const std::wstring set = folder + L"\\fuzz_tests";
            ::SHCreateDirectoryExW(nullptr, set.c_str(), nullptr);
            writeFileBytes(set + L"\\" + ETWLogging::kLogIniFileName, input.bytes(1));
        }

        {
            ETWLogging::CLogging writer;
            const DWORD initialized = writer.Initialize(application.c_str(), nullptr, nullptr, nullptr);
            // A name ending in a dot or a space names the folder of the name
            // without them, under another set mutex.
            if (!application.empty() && (application.back() == L'.' || application.back() == L' '))
            {
                check.expect(initialized == ERROR_INVALID_PARAMETER,
                             Check::format("a name with a trailing dot or space answered %lu", initialized));
            }
            if (initialized != 0)
            {
                check.expect(initialized == ERROR_INVALID_PARAMETER,
                             Check::format("Initialize answered %lu", initialized));
            }
            else
            {
                writeLines(writer, input, check);
                // Where lines went: a name the system cannot use as a folder
                // ("CON") ends in a failed first write instead.
                if (!expected_.empty())
                {
                    checkFolder(writer.LogFolder(), check);
                }
                checkSet(writer.LogFolder(), check);
            }
        }
        check.expect(readFileBytes(root_ + ETWLogging::kLogIniFileName) == globalIni_,
                     "the root's shared log.ini changed");
        restoreGlobalIni();
        removeSet(folder);
    }

private:
    // The path as the system resolves it, when that is a folder directly
    // below the root and named as given; empty otherwise.
    std::wstring ownFolder(std::wstring folder) const
    {
        while (!folder.empty() && folder.back() == L'\\')
        {
            folder.pop_back();
        }
        std::vector<wchar_t> full(folder.size() + MAX_PATH);
        const DWORD length =
            ::GetFullPathNameW(folder.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        const std::wstring resolved(full.data(), length < full.size() ? length : 0);
        const bool own = resolved == folder && resolved.size() > root_.size() &&
                         resolved.compare(0, root_.size(), root_) == 0 &&
                         resolved.find(L'\\', root_.size()) == std::wstring::npos;
        return own ? resolved : std::wstring();
    }

    // The set's folder is "<root>\<application>\<program>": the application's
    // folder must be one of its own below the root.
    void checkFolder(const std::wstring& logFolder, Check& check) const
    {
        const std::size_t program = logFolder.find_last_of(L'\\');
        check.expect(program != std::wstring::npos && !ownFolder(logFolder.substr(0, program)).empty() &&
                         logFolder.substr(program) == L"\\fuzz_tests",
                     "the log folder is not a folder of its own below the root: " + Check::narrow(logFolder));
    }

    void writeLines(ETWLogging::CLogging& writer, const Input& input, Check& check)
    {
        for (std::size_t at = 2; at + 2 <= input.size(); at += 2)
        {
            const DWORD level = static_cast<DWORD>(input.number(at));
            const std::wstring text = input.text(at + 1);
            const bool enabled = writer.IsEnabled() && writer.IsLevelEnabled(level);
            const DWORD result =
                writer.WriteFormatted(level, L"message\\Fuzz", L"Fuzz::write", 9, L"%s", text.c_str());
            const std::wstring given = upToNul(text);
            const bool valid = level >= 1 && level <= 6 && !given.empty();
            // A first write that cannot reach its file (a folder path too long,
            // say) answers 87 and turns the writer off for good.
            const bool turnedOff =
                enabled && valid && result == ERROR_INVALID_PARAMETER && !writer.IsLevelEnabled(6);
            check.expect(result == (enabled && !valid ? ERROR_INVALID_PARAMETER : 0u) || turnedOff,
                         Check::format("a line of level %lu answered %lu", level, result));
            if (enabled && valid && result == 0 && given.find_first_of(L"\r\n") == std::wstring::npos)
            {
                // The writer formats into 4160 characters, its NUL included.
                expected_.push_back(given.substr(0, ETWLogging::CLogging::kFormatChars - 1));
            }
        }
    }

    void checkSet(const std::wstring& folder, Check& check)
    {
        wlog::LogSet set =
            wlog::LogSet::InFolder(folder.back() == L'\\' ? folder.substr(0, folder.size() - 1) : folder);
        std::vector<std::wstring> lines;
        for (DWORD index : set.IndicesOldestFirst())
        {
            const std::string bytes = readFileBytes(set.FileFor(index));
            check.expect(bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE',
                         "a log file does not start with its byte-order mark");
            wlog::LineDecoder decoder;
            decoder.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), lines);
            decoder.Finish(lines);
        }
        std::size_t next = 0;
        for (const std::wstring& expected : expected_)
        {
            while (next < lines.size() && (lines[next].size() < expected.size() ||
                                           lines[next].compare(lines[next].size() - expected.size(),
                                                               expected.size(), expected) != 0))
            {
                ++next;
            }
            check.expect(next < lines.size(),
                         "a written line is not in the set, in order: " + Check::narrow(expected, 80));
            ++next;
        }
        if (!expected_.empty())
        {
            // The writer stores "LastLogIdx" when it rotates; a value that
            // reads names the file it writes.
            DWORD index = 0;
            check.expect(!set.ReadCurrentIndex(index) ||
                             ::GetFileAttributesW(set.FileFor(index).c_str()) != INVALID_FILE_ATTRIBUTES,
                         Check::format("LastLogIdx %lu names no file of the set", index));
        }
        expected_.clear();
    }

    void restoreGlobalIni() const
    {
        const std::wstring path = root_ + ETWLogging::kLogIniFileName;
        if (globalIniExisted_)
        {
            writeFileBytes(path, globalIni_);
        }
        else
        {
            ::DeleteFileW(path.c_str());
        }
    }

    void removeSet(const std::wstring& folder) const
    {
        if (!folder.empty())
        {
            Norvan::PathAPI().removeDirectory(folder);
        }
    }

    std::wstring root_;
    std::string globalIni_;
    bool globalIniExisted_ = false;
    std::vector<std::wstring> expected_;
};

WARDLINE_FUZZ_TARGET("filewriter", FileWriterTarget);

} // namespace
} // namespace WardlineFuzz
