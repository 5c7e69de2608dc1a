// "log.ini" files as tools, editors and accidents leave them: every encoding
// the reader accepts, scrambled values, comments, odd sections, long lines,
// NULs and broken characters. Each file is loaded, its keys read, and the
// log-file writer's one write (LastLogIdx) made through the reader.
//
// Checked: the file loads; failed reads leave their output alone; the value
// written reads back, at once and after loading the file again, and every
// other key of the section reads as it did before the write; a write that is
// refused leaves the file as it was, byte for byte.

#include "Fuzz.h"
#include "support/ScratchFiles.h"

#include "Logging/config/IniReader.h"
#include "Logging/config/ScrambledValue.h"

namespace WardlineFuzz
{
namespace
{

const wchar_t* const kKeys[] = {L"Enable", L"MaxSize", L"MaxEntries", L"Severity", L"Options", L"LastLogIdx"};

std::string ansi(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
    {
        out.push_back(static_cast<char>(c));
    }
    return out;
}

std::string utf16File(const std::wstring& text)
{
    return "\xFF\xFE" + utf16Bytes(text);
}

std::vector<std::string> iniSeeds()
{
    const std::wstring plain = L"[Config]\r\nEnable=1\r\nMaxSize=1048576\r\nMaxEntries=10\r\nSeverity=3\r\n"
                               L"Options=0\r\nLastLogIdx=4\r\n";
    const std::wstring scrambled = L"; written by the product's tool\r\n[Config]\r\nEnable=" +
                                   Plinth::CScrambledValue::ScrambleDword(1) + L"\r\nSeverity=" +
                                   Plinth::CScrambledValue::ScrambleString(L"5") + L"\r\nMaxSize=" +
                                   Plinth::CScrambledValue::ScrambleDword(4096) + L"\r\nLastLogIdx=" +
                                   Plinth::CScrambledValue::ScrambleDword(7) + L"\r\n";
    const std::wstring odd =
        L"Enable=9\n[]\n[Other]\nEnable=2\n[config]\n Enable=3\nEnable = 4\nMaxSize=\t 12\n"
        L"MaxEntries=0x10\nSeverity=4294967296\n[Config\nOptions=1";
    return {
        ansi(plain),
        utf16File(plain),
        "\xEF\xBB\xBF" + ansi(plain),
        ansi(scrambled),
        utf16File(scrambled),
        ansi(odd),
        "\xFE\xFF" + std::string("\0[\0C\0o\0n\0f\0i\0g\0]\0\r\0\n\0E\0n\0a\0b\0l\0e\0=\0"
                                 "1",
                                 37),
        "[Config]\r\nEnable=1\r\nSeverity=\xC3\xA9\r\n",
        std::string(),
    };
}

class IniTarget : public Target
{
public:
    unsigned shortIterations() const override { return 150; }

    std::vector<std::string> byteTokens() const override
    {
        std::vector<std::string> tokens;
        for (const wchar_t* token :
             {L"[Config]", L"[]", L"[", L"]", L"Enable=", L"MaxSize=", L"MaxEntries=", L"Severity=",
              L"Options=", L"LastLogIdx=", L"4B565301", L";", L"=", L"\r\n"})
        {
            tokens.push_back(ansi(token));
            tokens.push_back(utf16Bytes(token));
        }
        return tokens;
    }

    void setUp() override
    {
        folder_ = std::make_unique<WardlineTest::ScratchFolder>(L"fuzz-ini");
        seeds_ = iniSeeds();
    }
    void tearDown() override { folder_.reset(); }

    Input generate(Mutator& mutator) override
    {
        Input input;
        input.addBytes(mutator.mutatedBytes(seeds_));
        input.addNumber(mutator.rng().chance(50) ? mutator.rng().below(100)
                                                 : (mutator.rng().next() & 0xFFFFFFFFu));
        input.addNumber(mutator.rng().below(4) == 0 ? 1 : 0);
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        const std::wstring path = (*folder_ / L"log.ini");
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
        check.expect(writeFileBytes(path, input.bytes(0)), "the file cannot be written");
        const DWORD written = static_cast<DWORD>(input.number(1));
        const bool plainReader = input.number(2) == 1;

        Plinth::CObfuscatedIniReader scrambledReader;
        Plinth::CBaseIniReader baseReader;
        Plinth::CBaseIniReader& reader = plainReader ? baseReader : scrambledReader;
        check.expect(reader.Load(path.c_str()), "an existing small file did not load");

        bool readable[6] = {};
        DWORD before[6] = {};
        for (int k = 0; k < 6; ++k)
        {
            DWORD value = 0xDEADu;
            readable[k] = reader.ReadDword(L"Config", kKeys[k], value);
            check.expect(readable[k] || value == 0xDEADu, "a failed ReadDword changed its output");
            before[k] = value;
            std::wstring text = L"sentinel";
            const bool isText = reader.ReadString(L"Config", kKeys[k], text);
            check.expect(isText || text == L"sentinel", "a failed ReadString changed its output");
        }

        const std::string bytesBefore = readFileBytes(path);
        if (!reader.WriteDword(L"Config", L"LastLogIdx", written))
        {
            // Refused: the file must be exactly as it was, and so must the
            // loaded values.
            check.expect(readFileBytes(path) == bytesBefore, "a refused write changed the file");
            DWORD value = 0xDEADu;
            check.expect(reader.ReadDword(L"Config", L"LastLogIdx", value) == readable[5] &&
                             value == before[5],
                         "a refused write changed the loaded LastLogIdx");
            return;
        }
        DWORD value = 0;
        check.expect(reader.ReadDword(L"Config", L"LastLogIdx", value) && value == written,
                     "the written LastLogIdx does not read back at once");

        Plinth::CObfuscatedIniReader scrambledAgain;
        Plinth::CBaseIniReader baseAgain;
        Plinth::CBaseIniReader& again = plainReader ? baseAgain : scrambledAgain;
        check.expect(again.Load(path.c_str()), "the written file does not load");
        if (getenv("INI_DUMP"))
        {
            std::string b = readFileBytes(path);
            for (char c : b)
                printf("%c", (c >= 32 && c < 127) || c == '\n' ? c : '.');
            printf("\n");
            std::wstring t;
            bool ok = again.ReadString(L"Config", L"LastLogIdx", t);
            printf("string %d %ls entries %u\n", ok, t.c_str(), (unsigned)again.EntryCount());
            Plinth::CBaseIniReader b2;
            b2.Load(path.c_str());
            ok = b2.ReadString(L"Config", L"LastLogIdx", t);
            printf("plain %d %ls\n", ok, t.c_str());
        }
        value = 0;
        check.expect(
            again.ReadDword(L"Config", L"LastLogIdx", value) && value == written,
            Check::format("the written LastLogIdx %lu reads back from the file as %lu", written, value));
        for (int k = 0; k < 5; ++k)
        {
            DWORD after = 0xDEADu;
            const bool stillReadable = again.ReadDword(L"Config", kKeys[k], after);
            check.expect(!readable[k] || (stillReadable && after == before[k]),
                         Check::format("writing LastLogIdx changed %ls from %lu to %s%lu", kKeys[k],
                                       before[k], stillReadable ? "" : "unreadable ", after));
        }
    }

private:
    std::unique_ptr<WardlineTest::ScratchFolder> folder_;
    std::vector<std::string> seeds_;
};

WARDLINE_FUZZ_TARGET("logini", IniTarget);

} // namespace
} // namespace WardlineFuzz
