// Configuration values as the product's tools and a careless hand may leave
// them: scrambled values with any byte changed, registry values of any type
// and size under the readers, and a logging profile with any of its values
// replaced.
//
// Checked: an unscrambled value is exactly what was scrambled (a changed
// byte is refused, never read as another value); a reader answers one of its
// documented results and leaves its out value alone on failure; what the
// scrambled-value reader accepts beyond the plain reader is a value that
// really unscrambles; a logging profile either loads consistently or leaves
// the properties empty.

#include "Fuzz.h"
#include "FuzzKey.h"

#include "Logging/config/ETWAppProperties.h"
#include "Logging/config/RegKey.h"
#include "Logging/config/ScrambledValue.h"
#include "wrappers/RegistryAPI.h"

#include <cstring>
#include <cwctype>

namespace WardlineFuzz
{
namespace
{

using Plinth::CScrambledValue;

std::string blobOf(const std::vector<BYTE>& blob)
{
    return std::string(blob.begin(), blob.end());
}

std::vector<std::string> scrambledBlobs()
{
    std::vector<std::string> blobs;
    std::vector<BYTE> blob;
    for (DWORD value : {0ul, 1ul, 3ul, 512ul, 0xFFFFFFFFul})
    {
        CScrambledValue::EncodeDword(value, blob);
        blobs.push_back(blobOf(blob));
    }
    for (const wchar_t* text : {L"", L"x", L"\\Korvex\\KVLOGS", L"{E16CA450-55CC-11E0-B8AF-0800200C9A66}"})
    {
        CScrambledValue::EncodeString(text, blob);
        blobs.push_back(blobOf(blob));
    }
    CScrambledValue::EncodeString(std::wstring(260, L'p'), blob);
    blobs.push_back(blobOf(blob));
    return blobs;
}

std::wstring upper(std::wstring text)
{
    for (wchar_t& c : text)
    {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}

// ---------------------------------------------------------------- scrambled

class ScrambledTarget : public Target
{
public:
    unsigned shortIterations() const override { return 1500; }

    void setUp() override
    {
        blobs_ = scrambledBlobs();
        texts_.clear();
        for (const std::string& blob : blobs_)
        {
            texts_.push_back(CScrambledValue::ToText(std::vector<BYTE>(blob.begin(), blob.end())));
        }
    }

    Input generate(Mutator& mutator) override
    {
        Input input;
        if (mutator.rng().chance(50))
        {
            input.addText(mutator.mutatedText(texts_));
        }
        else
        {
            input.addBytes(mutator.mutatedBytes(blobs_));
        }
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        CScrambledValue out;
        out.type = CScrambledValue::TypeString;
        out.text = L"sentinel";
        out.dword = 0xDEADu;
        const bool isText = input.parts()[0].kind == Part::Text;
        const std::wstring text = input.text(0);
        const std::string bytes = input.bytes(0);
        const DWORD result = isText ? CScrambledValue::DecodeText(text.c_str(), text.size(), out)
                                    : CScrambledValue::DecodeBlob(reinterpret_cast<const BYTE*>(bytes.data()),
                                                                  bytes.size(), out);
        if (result != 0)
        {
            check.expect(result == ERROR_INVALID_DATA, Check::format("a refused value answered %lu", result));
            check.expect(out.type == CScrambledValue::TypeString && out.text == L"sentinel" &&
                             out.dword == 0xDEADu,
                         "a refused value changed the output");
            return;
        }
        // Scrambling what came out must give back exactly what went in: any
        // other accepted input would be a changed value read as valid.
        std::vector<BYTE> again;
        const bool encoded = out.type == CScrambledValue::TypeDword
                                 ? CScrambledValue::EncodeDword(out.dword, again)
                                 : CScrambledValue::EncodeString(out.text, again);
        check.expect(encoded, "an accepted value cannot be scrambled again");
        if (isText)
        {
            check.expect(CScrambledValue::LooksLikeText(text.c_str(), text.size()),
                         "an accepted text does not have the scrambled shape");
            check.expect(upper(CScrambledValue::ToText(again)) == upper(text),
                         "an accepted text is not the scrambled form of its value: " + Check::narrow(text));
        }
        else
        {
            check.expect(blobOf(again) == bytes, "an accepted blob is not the scrambled form of its value");
        }
    }

private:
    std::vector<std::string> blobs_;
    std::vector<std::wstring> texts_;
};

WARDLINE_FUZZ_TARGET("scrambled", ScrambledTarget);

// ---------------------------------------------------------------- registry values

std::string withNul(const std::wstring& text)
{
    return utf16Bytes(text) + std::string(2, '\0');
}

std::vector<std::string> registryDataSeeds()
{
    std::vector<std::string> seeds;
    for (const std::string& blob : scrambledBlobs())
    {
        seeds.push_back(blob);
        seeds.push_back(withNul(CScrambledValue::ToText(std::vector<BYTE>(blob.begin(), blob.end()))));
    }
    seeds.push_back(std::string("\x05\x00\x00\x00", 4));
    seeds.push_back(withNul(L"{E16CA450-55CC-11E0-B8AF-0800200C9A66}"));
    seeds.push_back(withNul(L"E16CA450-55CC-11E0-B8AF-0800200C9A66"));
    seeds.push_back(std::string("\x50\xA4\x6C\xE1\xCC\x55\xE0\x11\xB8\xAF\x08\x00\x20\x0C\x9A\x66", 16));
    seeds.push_back(withNul(L"\\Korvex\\KVLOGS"));
    seeds.push_back(withNul(L"15.4"));
    seeds.push_back(utf16Bytes(L"no terminator"));
    seeds.push_back(withNul(std::wstring(260, L'r')));
    seeds.push_back(std::string());
    return seeds;
}

DWORD pickType(Rng& rng)
{
    static const std::vector<std::uint64_t> types = {
        REG_SZ,    REG_SZ,    REG_EXPAND_SZ, REG_BINARY, REG_BINARY,
        REG_DWORD, REG_QWORD, REG_MULTI_SZ,  REG_NONE,   REG_DWORD_BIG_ENDIAN};
    return static_cast<DWORD>(rng.chance(95) ? rng.pick(types) : rng.below(16));
}

bool isStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

class RegKeyTarget : public Target
{
public:
    unsigned shortIterations() const override { return 300; }

    void setUp() override
    {
        key_ = std::make_unique<FuzzKey>(L"WLFuzz_RegKey");
        seeds_ = registryDataSeeds();
    }
    void tearDown() override { key_.reset(); }

    Input generate(Mutator& mutator) override
    {
        Input input;
        input.addNumber(pickType(mutator.rng()));
        input.addBytes(mutator.mutatedBytes(seeds_));
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        const DWORD type = static_cast<DWORD>(input.number(0));
        const std::string data = input.bytes(1);
        if (!key_->set(L"", L"v", type, data))
        {
            return; // the registry refused the value itself: nothing to read
        }

        Plinth::CRegKey plain;
        Plinth::CObfuscatedRegKey scrambled;
        check.expect(plain.Open(HKEY_LOCAL_MACHINE, key_->path().c_str(), KEY_READ) == 0 &&
                         scrambled.Open(HKEY_LOCAL_MACHINE, key_->path().c_str(), KEY_READ) == 0,
                     "the fuzz key does not open");

        const auto documented = [](DWORD result)
        {
            return result == 0 || result == ERROR_INVALID_DATA || result == ERROR_UNSUPPORTED_TYPE ||
                   result == ERROR_OUTOFMEMORY;
        };

        // DWORDs.
        DWORD plainDword = 0xDEADu;
        DWORD scrambledDword = 0xDEADu;
        const DWORD plainDwordResult = plain.ReadDword(L"v", plainDword);
        const DWORD scrambledDwordResult = scrambled.ReadDword(L"v", scrambledDword);
        check.expect(documented(plainDwordResult) && documented(scrambledDwordResult),
                     Check::format("ReadDword answered %lu / %lu", plainDwordResult, scrambledDwordResult));
        const bool realDword = type == REG_DWORD && data.size() == 4;
        check.expect((plainDwordResult == 0) == realDword,
                     "the plain reader's ReadDword is wrong about the type");
        if (realDword)
        {
            DWORD stored = 0;
            std::memcpy(&stored, data.data(), 4);
            check.expect(plainDword == stored && scrambledDwordResult == 0 && scrambledDword == stored,
                         "a REG_DWORD read as another number");
        }
        check.expect(plainDwordResult == 0 || plainDword == 0xDEADu, "a failed ReadDword changed its output");
        check.expect(scrambledDwordResult == 0 || scrambledDword == 0xDEADu,
                     "a failed ReadDword changed its output");

        // Strings.
        std::wstring plainText = L"sentinel";
        std::wstring scrambledText = L"sentinel";
        const DWORD plainTextResult = plain.ReadString(L"v", plainText);
        const DWORD scrambledTextResult = scrambled.ReadString(L"v", scrambledText);
        check.expect(documented(plainTextResult) && documented(scrambledTextResult),
                     Check::format("ReadString answered %lu / %lu", plainTextResult, scrambledTextResult));
        check.expect((plainTextResult == 0) == isStringType(type),
                     "the plain reader's ReadString is wrong about the type");
        if (plainTextResult == 0)
        {
            const std::wstring stored = fromUtf16Bytes(data);
            check.expect(plainText == stored.substr(0, stored.find(L'\0')),
                         "a string value read as another text: " + Check::narrow(plainText));
        }
        check.expect(plainTextResult == 0 || plainText == L"sentinel",
                     "a failed ReadString changed its output");
        check.expect(scrambledTextResult == 0 || scrambledText == L"sentinel",
                     "a failed ReadString changed its output");

        // What only the scrambled-value reader accepts must really unscramble.
        CScrambledValue decoded;
        DWORD decodeResult = ERROR_INVALID_DATA;
        if (type == REG_BINARY)
        {
            decodeResult =
                CScrambledValue::DecodeBlob(reinterpret_cast<const BYTE*>(data.data()), data.size(), decoded);
        }
        else if (isStringType(type))
        {
            const std::wstring text = plainText;
            decodeResult = CScrambledValue::DecodeText(text.c_str(), text.size(), decoded);
        }
        if (scrambledDwordResult == 0 && !realDword)
        {
            check.expect(decodeResult == 0 && decoded.type == CScrambledValue::TypeDword &&
                             decoded.dword == scrambledDword,
                         "the scrambled reader read a DWORD that does not unscramble as one");
        }
        if (scrambledTextResult == 0 && (decodeResult != 0 || decoded.type != CScrambledValue::TypeString))
        {
            check.expect(plainTextResult == 0 && scrambledText == plainText &&
                             !CScrambledValue::LooksLikeText(plainText.c_str(), plainText.size()),
                         "the scrambled reader read a text that is neither plain nor unscrambled");
        }
        if (scrambledTextResult == 0 && decodeResult == 0 && decoded.type == CScrambledValue::TypeString)
        {
            check.expect(scrambledText == decoded.text,
                         "the scrambled reader read another text than scrambled");
        }

        // GUIDs: only a failure's output is checked; the accepted forms have
        // their own tests.
        const GUID sentinel = {0xDEADu, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        for (Plinth::CRegKey* reader : {&plain, static_cast<Plinth::CRegKey*>(&scrambled)})
        {
            GUID guid = sentinel;
            const DWORD result = reader->ReadGuid(L"v", guid);
            check.expect(documented(result), Check::format("ReadGuid answered %lu", result));
            check.expect(result == 0 || std::memcmp(&guid, &sentinel, sizeof(guid)) == 0,
                         "a failed ReadGuid changed its output");
        }

        // The path variables' registry reader: a status, and the plain text
        // when it answers.
        Norvan::RegistryAPI registry;
        std::wstring value = L"sentinel";
        const Norvan::ModuleStatus status = registry.getString(key_->path(), L"v", value);
        check.expect(status == 0 || status == Norvan::MODULE_STATUS_UNSUCCESSFUL,
                     Check::format("RegistryAPI::getString answered 0x%08X", status));
        const bool fits = plainTextResult == 0 && plainText.size() <= Norvan::RegistryAPI::kMaxStringLength;
        check.expect((status == 0) == fits && (status == 0 ? value == plainText : value == L"sentinel"),
                     "RegistryAPI::getString disagrees with the reader");
    }

private:
    std::unique_ptr<FuzzKey> key_;
    std::vector<std::string> seeds_;
};

WARDLINE_FUZZ_TARGET("regkey", RegKeyTarget);

// ---------------------------------------------------------------- logging profile

struct ProfileValue
{
    const wchar_t* subkey;
    const wchar_t* name;
    DWORD type;
    std::wstring text;
};

const std::vector<ProfileValue>& profileValues()
{
    static const std::vector<ProfileValue> values = {
        {L"", L"Log Path", REG_SZ, L"\\Korvex\\FuzzLogs"},
        {L"", L"ETL Path", REG_SZ, L"\\Korvex\\FuzzLogs\\ETW"},
        {L"Controller", L"Controller Path", REG_SZ, L"C:\\controller.exe"},
        {L"Controller", L"Owner Mutex Name", REG_SZ, L"Global\\Fuzz"},
        {L"Session", L"Session ID Guid", REG_SZ, L"{491FB070-54CC-11E0-B8AF-0800200C9A66}"},
        {L"Session", L"Session Name", REG_SZ, L"Fuzz.Session"},
        {L"Provider", L"Provider Guid", REG_SZ, L"{E16CA450-55CC-11E0-B8AF-0800200C9A66}"},
    };
    return values;
}

class LogProfileTarget : public Target
{
public:
    unsigned shortIterations() const override { return 100; }

    void setUp() override
    {
        key_ = std::make_unique<FuzzKey>(L"WLFuzzProfile");
        seeds_ = registryDataSeeds();
    }
    void tearDown() override { key_.reset(); }

    Input generate(Mutator& mutator) override
    {
        Rng& rng = mutator.rng();
        Input input;
        // Which values are replaced (bit per value), and by what.
        const std::uint64_t replaced = rng.below(1u << profileValues().size());
        input.addNumber(replaced);
        for (std::size_t i = 0; i < profileValues().size(); ++i)
        {
            if (replaced & (1ull << i))
            {
                std::vector<std::string> seeds = seeds_;
                seeds.push_back(withNul(profileValues()[i].text));
                input.addNumber(pickType(rng));
                input.addBytes(mutator.mutatedBytes(seeds));
            }
        }
        // Subkeys left out (bit per subkey).
        input.addNumber(rng.chance(85) ? 0 : rng.below(8));
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        key_->remove();
        const std::uint64_t replaced = input.number(0);
        std::size_t at = 1;
        for (std::size_t i = 0; i < profileValues().size(); ++i)
        {
            const ProfileValue& v = profileValues()[i];
            if (replaced & (1ull << i))
            {
                key_->set(v.subkey, v.name, static_cast<DWORD>(input.number(at)), input.bytes(at + 1));
                at += 2;
            }
            else
            {
                key_->set(v.subkey, v.name, v.type, withNul(v.text));
            }
        }
        const std::uint64_t missing = input.number(at);
        const wchar_t* subkeys[] = {L"Session", L"Provider", L"Controller"};
        for (int i = 0; i < 3; ++i)
        {
            if (missing & (1ull << i))
            {
                ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (key_->path() + L"\\" + subkeys[i]).c_str());
            }
        }

        // Every value but the two folders is required: whether each can be
        // read is the reader's to say (its own target checks it).
        bool complete = missing == 0;
        for (std::size_t i = 2; i < profileValues().size() && complete; ++i)
        {
            const ProfileValue& v = profileValues()[i];
            Plinth::CObfuscatedRegKey reader;
            std::wstring text;
            GUID guid{};
            const bool isGuid = std::wstring(v.name).find(L"Guid") != std::wstring::npos;
            complete =
                reader.Open(HKEY_LOCAL_MACHINE, (key_->path() + L"\\" + v.subkey).c_str(), KEY_READ) == 0 &&
                (isGuid ? reader.ReadGuid(v.name, guid) : reader.ReadString(v.name, text)) == 0;
        }

        ETWLogging::internal::ETWAppProperties properties;
        const bool loaded = properties.Load(L"WLFuzzProfile");
        check.expect(loaded == complete,
                     loaded ? "an incomplete profile loaded" : "a complete profile did not load");
        if (!loaded)
        {
            check.expect(properties.ProfileName().empty() && properties.LogPath().empty() &&
                             properties.ConfigurationKeyPath().empty(),
                         "a profile that did not load left properties behind");
            return;
        }
        check.expect(properties.ConfigurationKeyPath() == key_->path(),
                     "the configuration key is " + Check::narrow(properties.ConfigurationKeyPath()));
        const std::wstring& data = properties.ProgramDataFolder();
        check.expect(!data.empty() && properties.LogPath().compare(0, data.size(), data) == 0 &&
                         properties.EtlFolder().compare(0, data.size(), data) == 0,
                     "the log folders are not under the program-data folder: " +
                         Check::narrow(properties.LogPath()));
        check.expect(properties.EtlFile() == properties.EtlFolder() + L"\\kvlogs.etl",
                     "the trace file is " + Check::narrow(properties.EtlFile()));
        ETWLogging::internal::ETWAppProperties second = properties;
        check.expect(!second.Load(L"WLFuzzProfile"), "a loaded profile loaded a second time");
    }

private:
    std::unique_ptr<FuzzKey> key_;
    std::vector<std::string> seeds_;
};

WARDLINE_FUZZ_TARGET("logprofile", LogProfileTarget);

} // namespace
} // namespace WardlineFuzz
