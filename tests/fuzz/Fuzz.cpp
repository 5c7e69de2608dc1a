#include "Fuzz.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace WardlineFuzz
{

// ---------------------------------------------------------------- Rng

namespace
{
std::uint64_t splitmix(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k)
{
    return (x << k) | (x >> (64 - k));
}

std::uint64_t fnv1a(const std::string& text)
{
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (unsigned char c : text)
    {
        hash = (hash ^ c) * 0x100000001B3ull;
    }
    return hash;
}
} // namespace

Rng::Rng(std::uint64_t seed)
{
    for (auto& word : s_)
    {
        word = splitmix(seed);
    }
}

std::uint64_t Rng::next()
{
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

std::uint64_t Rng::below(std::uint64_t bound)
{
    return bound == 0 ? 0 : next() % bound;
}

// ---------------------------------------------------------------- Input

std::string utf16Bytes(const std::wstring& text)
{
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (wchar_t c : text)
    {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return bytes;
}

std::wstring fromUtf16Bytes(const std::string& bytes)
{
    std::wstring text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    {
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                            (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return text;
}

void Input::addText(const std::wstring& text)
{
    parts_.push_back(Part{Part::Text, utf16Bytes(text)});
}

void Input::addBytes(const std::string& bytes)
{
    parts_.push_back(Part{Part::Bytes, bytes});
}

void Input::addNumber(std::uint64_t number)
{
    parts_.push_back(Part{Part::Number, std::to_string(number)});
}

std::wstring Input::text(std::size_t index) const
{
    return index < parts_.size() && parts_[index].kind == Part::Text ? fromUtf16Bytes(parts_[index].data)
                                                                     : std::wstring();
}

std::string Input::bytes(std::size_t index) const
{
    return index < parts_.size() && parts_[index].kind == Part::Bytes ? parts_[index].data : std::string();
}

std::uint64_t Input::number(std::size_t index) const
{
    if (index >= parts_.size() || parts_[index].kind != Part::Number)
    {
        return 0;
    }
    return std::strtoull(parts_[index].data.c_str(), nullptr, 10);
}

// File form: a header line "WLFUZZ 1 <target> <seed> <iteration>", then per
// part a line "<kind> <byte count>", the bytes and a line end. Binary safe,
// and still readable in an editor for the text parts of ASCII inputs.
std::string Input::serialize(const std::string& target, std::uint64_t seed, std::uint64_t iteration) const
{
    std::string out =
        "WLFUZZ 1 " + target + " " + std::to_string(seed) + " " + std::to_string(iteration) + "\n";
    for (const Part& part : parts_)
    {
        out += static_cast<char>(part.kind);
        out += " " + std::to_string(part.data.size()) + "\n";
        out += part.data;
        out += "\n";
    }
    return out;
}

bool Input::deserialize(const std::string& file, std::string& target, Input& input)
{
    input.parts_.clear();
    std::size_t end = file.find('\n');
    if (end == std::string::npos || file.compare(0, 9, "WLFUZZ 1 ") != 0)
    {
        return false;
    }
    const std::string header = file.substr(9, end - 9);
    target = header.substr(0, header.find(' '));
    std::size_t at = end + 1;
    while (at < file.size())
    {
        end = file.find('\n', at);
        if (end == std::string::npos || end < at + 3)
        {
            return false;
        }
        const char kind = file[at];
        if (kind != Part::Text && kind != Part::Bytes && kind != Part::Number)
        {
            return false;
        }
        const std::size_t length = std::strtoull(file.c_str() + at + 2, nullptr, 10);
        at = end + 1;
        if (length > file.size() - at)
        {
            return false;
        }
        input.parts_.push_back(Part{static_cast<Part::Kind>(kind), file.substr(at, length)});
        at += length + 1;
    }
    return true;
}

std::string Input::describe() const
{
    std::string out;
    for (std::size_t i = 0; i < parts_.size(); ++i)
    {
        const Part& part = parts_[i];
        out += "  part " + std::to_string(i) + " (" + static_cast<char>(part.kind) + ", " +
               std::to_string(part.data.size()) + " bytes): ";
        if (part.kind == Part::Number)
        {
            out += part.data;
        }
        else if (part.kind == Part::Text)
        {
            out += Check::narrow(fromUtf16Bytes(part.data), 240);
        }
        else
        {
            const std::size_t shown = part.data.size() < 96 ? part.data.size() : 96;
            static const char digits[] = "0123456789ABCDEF";
            for (std::size_t b = 0; b < shown; ++b)
            {
                const unsigned char c = static_cast<unsigned char>(part.data[b]);
                out += digits[c >> 4];
                out += digits[c & 15];
            }
            if (shown < part.data.size())
            {
                out += "...";
            }
        }
        out += "\n";
    }
    return out;
}

// ---------------------------------------------------------------- Mutator

const std::vector<std::size_t>& boundaryLengths()
{
    static const std::vector<std::size_t> lengths = {259, 260, 261, 2079, 2080, 2081, 4159, 4160, 4161};
    return lengths;
}

const std::vector<std::wstring>& commonTextTokens()
{
    static const std::vector<std::wstring> tokens = {
        L"{",
        L"}",
        L"[",
        L"]",
        L":",
        L",",
        L"\"",
        L"\\",
        L"\\\"",
        L"\\u0000",
        L"\\uD800",
        L"\\uDC00",
        L"\\uD83D\\uDE00",
        L"\\uDBFF\\uDFFF",
        L"\\ud800x",
        L"\\u",
        L"\\x",
        L"null",
        L"true",
        L"false",
        L"-0",
        L"1e400",
        L"-1e400",
        L"4294967295",
        L"4294967296",
        L"2147483648",
        L"-2147483649",
        L"18446744073709551615",
        L"18446744073709551616",
        L"0.5",
        L"1E-400",
        L"[[[[[[[[",
        L"]]]]]]]]",
        L"{\"a\":{\"b\":{\"c\":",
        std::wstring(1, L'\0'),
        std::wstring(1, wchar_t(0xD800)),
        std::wstring(1, wchar_t(0xDC00)),
        std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)},
        std::wstring(1, wchar_t(0xFEFF)),
        std::wstring(1, wchar_t(0xFFFF)),
        L"$(",
        L")",
        L"$",
        L"%s",
        L"%ls",
        L"%hs",
        L"%n",
        L"%08X%08X%08X",
        L"\r\n",
        L"\n",
        L"\t",
        L" ",
    };
    return tokens;
}

Mutator::Mutator(Rng& rng, std::vector<std::wstring> textTokens, std::vector<std::string> byteTokens)
    : rng_(rng), textTokens_(std::move(textTokens)), byteTokens_(std::move(byteTokens))
{
    textTokens_.insert(textTokens_.end(), commonTextTokens().begin(), commonTextTokens().end());
    static const char* const common[] = {
        "\r\n", "\n", "\x00", "\xFF\xFE", "\xFE\xFF", "\xEF\xBB\xBF", "\x00\xD8", "\x00\xDC",
        "=",    "[",  "]",    "\"",       "\\"};
    for (const char* token : common)
    {
        byteTokens_.emplace_back(token, token[0] == '\0' ? 1 : std::strlen(token));
    }
}

namespace
{

template <typename Unit> const std::vector<Unit>& interestingUnits();

template <> const std::vector<wchar_t>& interestingUnits<wchar_t>()
{
    static const std::vector<wchar_t> units = {
        0,     0xFFFF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFEFF, 0xFFFE, L'"', L'\\', L'{',  L'}',
        L'[',  L']',   L':',   L',',   L'$',   L'(',   L')',   L'=',   L';', L'\r', L'\n', L' ',
        L'\t', L'%',   L'0',   L'9',   0x7F,   0x80,   0xFF,   0x100,  L'-', L'.',  L'e',  L'/',
    };
    return units;
}

template <> const std::vector<char>& interestingUnits<char>()
{
    static const std::vector<char> units = {0,    '\xFF', '\x7F', '\x80', '\xFE', '\xEF', '\xBB', '\xBF',
                                            '\r', '\n',   '=',    '[',    ']',    '0',    '9',    'A'};
    return units;
}

// Longer values only slow the run down without reaching anything new.
constexpr std::size_t kMaxUnits = 70000;

} // namespace

template <typename String>
void Mutator::mutateOnce(String& value, const std::vector<String>& seeds, const std::vector<String>& tokens)
{
    using Unit = typename String::value_type;
    const std::size_t size = value.size();
    const auto position = [&] { return static_cast<std::size_t>(rng_.below(size + 1)); };
    switch (rng_.below(12))
    {
    case 0: // flip bits of one unit
        if (size > 0)
        {
            const std::size_t at = rng_.below(size);
            value[at] = static_cast<Unit>(value[at] ^ static_cast<Unit>(1u << rng_.below(sizeof(Unit) * 8)));
        }
        break;
    case 1: // an interesting unit in place of another
        if (size > 0)
        {
            value[rng_.below(size)] = rng_.pick(interestingUnits<Unit>());
        }
        break;
    case 2: // insert random units
    {
        String inserted;
        const std::size_t count = rng_.between(1, 8);
        for (std::size_t i = 0; i < count; ++i)
        {
            inserted.push_back(rng_.chance(50) ? static_cast<Unit>(rng_.between(0x20, 0x7E))
                                               : static_cast<Unit>(rng_.next()));
        }
        value.insert(position(), inserted);
        break;
    }
    case 3: // delete a range
        if (size > 0)
        {
            const std::size_t at = rng_.below(size);
            value.erase(at, rng_.between(1, rng_.chance(80) ? 4 : 64));
        }
        break;
    case 4: // duplicate a range
        if (size > 0)
        {
            const std::size_t at = rng_.below(size);
            const String piece = value.substr(at, rng_.between(1, 32));
            value.insert(position(), piece);
        }
        break;
    case 5: // splice: the head of this value with the tail of another seed
        if (!seeds.empty())
        {
            const String& other = rng_.pick(seeds);
            const std::size_t cut = position();
            const std::size_t from = static_cast<std::size_t>(rng_.below(other.size() + 1));
            value = value.substr(0, cut) + other.substr(from);
        }
        break;
    case 6: // insert a dictionary token
    case 7:
        if (!tokens.empty())
        {
            value.insert(position(), rng_.pick(tokens));
        }
        break;
    case 8: // replace a range by a dictionary token
        if (!tokens.empty() && size > 0)
        {
            const std::size_t at = rng_.below(size);
            value.replace(at, rng_.between(1, 8), rng_.pick(tokens));
        }
        break;
    case 9: // the whole value at a boundary length
    {
        const std::size_t target = rng_.pick(boundaryLengths()) * (rng_.chance(20) ? sizeof(wchar_t) : 1);
        if (value.size() > target)
        {
            value.resize(target);
        }
        else
        {
            const Unit filler = size > 0 ? value[rng_.below(size)] : static_cast<Unit>('A');
            value.insert(position(), String(target - value.size(), filler));
        }
        break;
    }
    case 10: // a field of a boundary length
    {
        const Unit filler = rng_.chance(50) && size > 0 ? value[rng_.below(size)] : static_cast<Unit>('x');
        value.insert(position(), String(rng_.pick(boundaryLengths()), filler));
        break;
    }
    default: // a run of digits becomes another number
    {
        static const char* const numbers[] = {"0",
                                              "-1",
                                              "512",
                                              "511",
                                              "513",
                                              "4294967295",
                                              "4294967296",
                                              "2147483647",
                                              "2147483648",
                                              "-2147483648",
                                              "1.5",
                                              "1e3",
                                              "18446744073709551615",
                                              "99999999999999999999999",
                                              "00"};
        std::size_t at = size > 0 ? rng_.below(size) : 0;
        while (at < size && !(value[at] >= '0' && value[at] <= '9'))
        {
            ++at;
        }
        std::size_t end = at;
        while (end < size && value[end] >= '0' && value[end] <= '9')
        {
            ++end;
        }
        const char* number = numbers[rng_.below(sizeof(numbers) / sizeof(numbers[0]))];
        value.replace(at, end - at, String(number, number + std::strlen(number)));
        break;
    }
    }
    if (value.size() > kMaxUnits)
    {
        value.resize(kMaxUnits);
    }
}

void Mutator::mutate(std::wstring& text, const std::vector<std::wstring>& seeds)
{
    const unsigned count = 1 + static_cast<unsigned>(rng_.chance(50) ? 0 : rng_.below(4));
    for (unsigned i = 0; i < count; ++i)
    {
        mutateOnce(text, seeds, textTokens_);
    }
}

void Mutator::mutate(std::string& bytes, const std::vector<std::string>& seeds)
{
    const unsigned count = 1 + static_cast<unsigned>(rng_.chance(50) ? 0 : rng_.below(4));
    for (unsigned i = 0; i < count; ++i)
    {
        mutateOnce(bytes, seeds, byteTokens_);
    }
}

std::wstring Mutator::mutatedText(const std::vector<std::wstring>& seeds)
{
    std::wstring value = seeds.empty() ? std::wstring() : rng_.pick(seeds);
    if (!rng_.chance(5))
    {
        mutate(value, seeds);
    }
    return value;
}

std::string Mutator::mutatedBytes(const std::vector<std::string>& seeds)
{
    std::string value = seeds.empty() ? std::string() : rng_.pick(seeds);
    if (!rng_.chance(5))
    {
        mutate(value, seeds);
    }
    return value;
}

// ---------------------------------------------------------------- Check

void Check::expect(bool condition, const std::string& what)
{
    if (!condition && failures_.size() < 8)
    {
        failures_.push_back(what);
    }
}

std::string Check::format(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

std::string Check::narrow(const std::wstring& text, std::size_t limit)
{
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i)
    {
        const wchar_t c = text[i];
        if (c >= 0x20 && c < 0x7F)
        {
            out += static_cast<char>(c);
        }
        else
        {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    if (text.size() > limit)
    {
        out += "...(" + std::to_string(text.size()) + " characters)";
    }
    return out;
}

// ---------------------------------------------------------------- registry of targets

std::vector<TargetEntry>& targets()
{
    static std::vector<TargetEntry> entries;
    return entries;
}

Registrar::Registrar(const char* name, TargetFactory factory)
{
    targets().push_back(TargetEntry{name, std::move(factory)});
}

// ---------------------------------------------------------------- files

std::string readFileBytes(const std::wstring& path)
{
    HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return std::string();
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
    {
        bytes.append(buffer, got);
    }
    ::CloseHandle(file);
    return bytes;
}

std::wstring upToNul(const std::wstring& text)
{
    return text.substr(0, text.find(L'\0'));
}

bool writeFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    DWORD written = 0;
    const BOOL ok =
        bytes.empty() || ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
    return ok && written == bytes.size();
}

// ---------------------------------------------------------------- options

namespace
{
std::uint64_t envNumber(const char* name, std::uint64_t fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : fallback;
}
} // namespace

const Options& options()
{
    static const Options parsed = []
    {
        Options o;
        o.seconds = static_cast<unsigned>(envNumber("WARDLINE_FUZZ_SECONDS", 0));
        const bool seedGiven = std::getenv("WARDLINE_FUZZ_SEED") != nullptr;
        o.seed = envNumber("WARDLINE_FUZZ_SEED", 1);
        if (o.seconds > 0 && !seedGiven)
        {
            o.seed = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) %
                     1000000007ull;
        }
        o.iterations = envNumber("WARDLINE_FUZZ_ITERATIONS", 0);
        o.first = envNumber("WARDLINE_FUZZ_FIRST", 0);
        o.open = envNumber("WARDLINE_FUZZ_OPEN", 0) != 0;
        if (const char* repro = std::getenv("WARDLINE_FUZZ_REPRO"))
        {
            const std::string text = repro;
            const std::size_t a = text.find(':');
            const std::size_t b = a == std::string::npos ? a : text.find(':', a + 1);
            if (b != std::string::npos)
            {
                o.repro = true;
                o.reproTarget = text.substr(0, a);
                o.reproSeed = std::strtoull(text.c_str() + a + 1, nullptr, 10);
                o.reproIteration = std::strtoull(text.c_str() + b + 1, nullptr, 10);
            }
        }
        return o;
    }();
    return parsed;
}

// ---------------------------------------------------------------- crash and hang guard
//
// The input being run is kept serialised in memory. A crash (an unhandled
// exception, abort, terminate) or an input that outlives its time limit
// writes it to the corpus and ends the process with a line that names it; the
// test runner then reports the executable as failed.

namespace
{

struct Current
{
    std::string target;
    std::uint64_t seed = 0;
    std::uint64_t iteration = 0;
    std::string serialized;
    std::wstring corpusFile; // empty: do not write (a replayed entry)
    unsigned timeoutMs = 0;
    bool replay = false; // target names a corpus entry
};

Current g_current;
std::atomic<ULONGLONG> g_startedAt{0}; // 0 while no input runs
std::atomic<bool> g_ending{false};

std::wstring corpusRoot()
{
    return fromBuildPath(WARDLINE_FUZZ_CORPUS_DIR);
}

void saveCurrent()
{
    if (g_current.corpusFile.empty())
    {
        return;
    }
    const std::wstring folder = g_current.corpusFile.substr(0, g_current.corpusFile.find_last_of(L'\\'));
    ::CreateDirectoryW(corpusRoot().c_str(), nullptr);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    writeFileBytes(g_current.corpusFile, g_current.serialized);
}

[[noreturn]] void endWith(const char* what, unsigned long code)
{
    if (g_ending.exchange(true))
    {
        ::Sleep(INFINITE); // another thread is already reporting
    }
    if (g_current.replay)
    {
        std::printf("\nFUZZ %s: %s (code 0x%08lX)\n", what, g_current.target.c_str(), code);
    }
    else
    {
        std::printf("\nFUZZ %s: target %s, seed %llu, iteration %llu (code 0x%08lX)\n", what,
                    g_current.target.c_str(), static_cast<unsigned long long>(g_current.seed),
                    static_cast<unsigned long long>(g_current.iteration), code);
        std::printf("reproduce with WARDLINE_FUZZ_REPRO=%s:%llu:%llu\n", g_current.target.c_str(),
                    static_cast<unsigned long long>(g_current.seed),
                    static_cast<unsigned long long>(g_current.iteration));
    }
    std::fflush(stdout);
    if (!g_current.corpusFile.empty())
    {
        saveCurrent();
        std::printf("input written to the corpus\n");
    }
    std::fflush(stdout);
    ::TerminateProcess(::GetCurrentProcess(), 3);
    ::Sleep(INFINITE);
    std::abort();
}

LONG WINAPI onUnhandled(EXCEPTION_POINTERS* pointers)
{
    endWith("CRASH", pointers->ExceptionRecord->ExceptionCode);
}

void onTerminate()
{
    endWith("TERMINATE", 0);
}

void onAbort(int)
{
    endWith("ABORT", 0);
}

DWORD WINAPI watchdog(void*)
{
    for (;;)
    {
        ::Sleep(100);
        const ULONGLONG started = g_startedAt.load();
        if (started != 0 && ::GetTickCount64() - started > g_current.timeoutMs)
        {
            endWith("HANG", g_current.timeoutMs);
        }
    }
}

void installGuard()
{
    static bool installed = false;
    if (installed)
    {
        return;
    }
    installed = true;
    // Room for the report when the fault is a stack overflow.
    ULONG guarantee = 64 * 1024;
    ::SetThreadStackGuarantee(&guarantee);
    ::SetUnhandledExceptionFilter(onUnhandled);
    std::set_terminate(onTerminate);
    std::signal(SIGABRT, onAbort);
    ::CloseHandle(::CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));
}

std::wstring corpusFolder(const std::string& name)
{
    return corpusRoot() + L"\\" + std::wstring(name.begin(), name.end());
}

// Inputs of faults found and reported but not fixed yet: replayed only on
// demand (WARDLINE_FUZZ_OPEN=1), so that make test stays green meanwhile.
std::wstring openFolder(const std::string& name)
{
    return fromBuildPath(WARDLINE_FUZZ_OPEN_DIR) + L"\\" + std::wstring(name.begin(), name.end());
}

std::wstring corpusFileFor(const std::string& name, std::uint64_t seed, std::uint64_t iteration)
{
    return corpusFolder(name) + L"\\" + std::to_wstring(seed) + L"-" + std::to_wstring(iteration) + L".bin";
}

std::unique_ptr<Target> createTarget(const std::string& name)
{
    for (const TargetEntry& entry : targets())
    {
        if (entry.name == name)
        {
            return entry.factory();
        }
    }
    return nullptr;
}

// The target with the guard in place; a name no target has fails the run.
std::unique_ptr<Target> prepareTarget(const std::string& name, RunResult& result)
{
    std::unique_ptr<Target> target = createTarget(name);
    if (!target)
    {
        result.failed = true;
        result.report = "no target " + name;
        return nullptr;
    }
    installGuard();
    return target;
}

// Runs one input under the guard; true when every expectation held.
bool runGuarded(Target& target, const std::string& name, const Input& input, std::uint64_t seed,
                std::uint64_t iteration, bool writable, Check& check,
                const std::string& label = std::string())
{
    g_current.target = label.empty() ? name : label;
    g_current.replay = !label.empty();
    g_current.seed = seed;
    g_current.iteration = iteration;
    g_current.serialized = input.serialize(name, seed, iteration);
    g_current.corpusFile = writable ? corpusFileFor(name, seed, iteration) : std::wstring();
    g_current.timeoutMs = target.timeoutMs();
    g_startedAt.store(::GetTickCount64());
    try
    {
        target.run(input, check);
    }
    catch (const std::exception& e)
    {
        check.expect(false, std::string("an exception escaped: ") + e.what());
    }
    catch (...)
    {
        check.expect(false, "an exception escaped");
    }
    g_startedAt.store(0);
    return !check.failed();
}

std::string failureReport(const std::string& name, std::uint64_t seed, std::uint64_t iteration,
                          const Input& input, const Check& check, bool written)
{
    std::string report = "target " + name + ", seed " + std::to_string(seed) + ", iteration " +
                         std::to_string(iteration) + ":\n";
    for (const std::string& failure : check.failures())
    {
        report += "  - " + failure + "\n";
    }
    report += "input:\n" + input.describe();
    if (written)
    {
        report += "written to the corpus as " + name + "/" + std::to_string(seed) + "-" +
                  std::to_string(iteration) + ".bin; reproduce with WARDLINE_FUZZ_REPRO=" + name + ":" +
                  std::to_string(seed) + ":" + std::to_string(iteration) + "\n";
    }
    return report;
}

} // namespace

Input makeInput(Target& target, const std::string& name, std::uint64_t seed, std::uint64_t iteration)
{
    Rng rng(fnv1a(name) ^ splitmix(seed) ^ (iteration * 0xD1B54A32D192ED03ull));
    Mutator mutator(rng, target.textTokens(), target.byteTokens());
    return target.generate(mutator);
}

RunResult runTarget(const std::string& name)
{
    RunResult result;
    std::unique_ptr<Target> target = prepareTarget(name, result);
    if (!target)
    {
        return result;
    }
    const Options& o = options();
    target->setUp();

    std::uint64_t first = o.first;
    std::uint64_t count = o.iterations != 0 ? o.iterations : target->shortIterations();
    std::uint64_t seed = o.seed;
    if (o.repro)
    {
        if (o.reproTarget != name)
        {
            target->tearDown();
            return result;
        }
        seed = o.reproSeed;
        first = o.reproIteration;
        count = 1;
    }
    const ULONGLONG deadline = o.seconds > 0 && !o.repro ? ::GetTickCount64() + o.seconds * 1000ull : 0;
    if (deadline != 0)
    {
        count = ~0ull - first;
        std::printf("fuzz %s: seed %llu for %u s\n", name.c_str(), static_cast<unsigned long long>(seed),
                    o.seconds);
    }

    for (std::uint64_t i = 0; i < count; ++i)
    {
        const std::uint64_t iteration = first + i;
        if (deadline != 0 && ::GetTickCount64() > deadline)
        {
            break;
        }
        const Input input = makeInput(*target, name, seed, iteration);
        if (o.repro)
        {
            std::printf("fuzz %s seed %llu iteration %llu:\n%s", name.c_str(),
                        static_cast<unsigned long long>(seed), static_cast<unsigned long long>(iteration),
                        input.describe().c_str());
        }
        Check check;
        ++result.inputs;
        if (!runGuarded(*target, name, input, seed, iteration, !o.repro, check))
        {
            if (!o.repro)
            {
                saveCurrent();
            }
            result.failed = true;
            result.failedIteration = iteration;
            result.report = failureReport(name, seed, iteration, input, check, !o.repro);
            break;
        }
    }
    target->tearDown();
    return result;
}

RunResult replayCorpus(const std::string& name)
{
    RunResult result;
    std::unique_ptr<Target> target = prepareTarget(name, result);
    if (!target)
    {
        return result;
    }
    std::vector<std::wstring> files;
    std::vector<std::wstring> folders = {corpusFolder(name)};
    if (options().open)
    {
        folders.push_back(openFolder(name));
    }
    for (const std::wstring& folder : folders)
    {
        WIN32_FIND_DATAW data;
        HANDLE find = ::FindFirstFileW((folder + L"\\*.bin").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE)
        {
            do
            {
                files.push_back(folder + L"\\" + data.cFileName);
            } while (::FindNextFileW(find, &data));
            ::FindClose(find);
        }
    }
    if (files.empty())
    {
        return result;
    }
    target->setUp();
    for (const std::wstring& file : files)
    {
        std::string entryTarget;
        Input input;
        const std::wstring shortName = file.substr(file.find_last_of(L'\\') + 1);
        const std::string narrowName(shortName.begin(), shortName.end());
        if (!Input::deserialize(readFileBytes(file), entryTarget, input) || entryTarget != name)
        {
            result.failed = true;
            result.report += "corpus entry " + name + "/" + narrowName + " is not an input of this target\n";
            continue;
        }
        Check check;
        ++result.inputs;
        if (!runGuarded(*target, name, input, 0, 0, false, check, "corpus entry " + name + "/" + narrowName))
        {
            result.failed = true;
            result.report += "corpus entry " + name + "/" + narrowName + ":\n";
            for (const std::string& failure : check.failures())
            {
                result.report += "  - " + failure + "\n";
            }
        }
    }
    target->tearDown();
    return result;
}

} // namespace WardlineFuzz
