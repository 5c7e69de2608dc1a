#pragma once

// The fuzz harness: deterministic, seeded mutation of inputs for the module's
// parsers and handlers. Every input is made from (target, seed, iteration)
// alone, so a failure found in a long run is reproduced by those three values
// (WARDLINE_FUZZ_REPRO=target:seed:iteration), and it is written to
// tests/fuzz/corpus/<target>/ to be replayed by every later run.
//
// A target is one class registered with WARDLINE_FUZZ_TARGET: it makes an
// input from seeds and mutations, runs it, and checks that it ended with a
// documented result and left stored state intact. The harness catches what a
// target cannot: a crash (unhandled exception, abort) or a hang (a watchdog
// per input) is reported with the input that caused it.

#include "support/BuildPath.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace WardlineFuzz
{

// xoshiro256**, seeded through splitmix64: small, fast and the same on every
// machine.
class Rng
{
public:
    explicit Rng(std::uint64_t seed);
    std::uint64_t next();
    // Uniform in [0, bound); 0 for bound 0.
    std::uint64_t below(std::uint64_t bound);
    // Uniform in [low, high].
    std::uint64_t between(std::uint64_t low, std::uint64_t high) { return low + below(high - low + 1); }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <typename T> const T& pick(const std::vector<T>& items) { return items[below(items.size())]; }

private:
    std::uint64_t s_[4];
};

// One input: a list of parts, each text (UTF-16), bytes or a number. Targets
// decide what the parts mean; the harness only stores and replays them.
struct Part
{
    enum Kind : char
    {
        Text = 'w',
        Bytes = 'b',
        Number = 'n',
    };
    Kind kind = Bytes;
    std::string data; // UTF-16LE for Text; decimal digits for Number
};

class Input
{
public:
    void addText(const std::wstring& text);
    void addBytes(const std::string& bytes);
    void addNumber(std::uint64_t number);

    std::size_t size() const { return parts_.size(); }
    // Out-of-range or mismatched parts read as empty / 0, so that a corpus
    // entry edited by hand cannot crash the harness itself.
    std::wstring text(std::size_t index) const;
    std::string bytes(std::size_t index) const;
    std::uint64_t number(std::size_t index) const;

    std::string serialize(const std::string& target, std::uint64_t seed, std::uint64_t iteration) const;
    static bool deserialize(const std::string& file, std::string& target, Input& input);
    // Readable form for a failure message (long parts shortened).
    std::string describe() const;

    std::vector<Part>& parts() { return parts_; }
    const std::vector<Part>& parts() const { return parts_; }

private:
    std::vector<Part> parts_;
};

// Mutations of texts (per UTF-16 code unit) and byte strings (per byte):
// bit flips, interesting units, insertion and deletion, duplication,
// splicing with another seed, dictionary tokens, numbers at their limits, and
// lengths at the boundaries the module cares about (260, 2080, 4160).
class Mutator
{
public:
    Mutator(Rng& rng, std::vector<std::wstring> textTokens, std::vector<std::string> byteTokens = {});

    // Applies one to four stacked mutations.
    void mutate(std::wstring& text, const std::vector<std::wstring>& seeds);
    void mutate(std::string& bytes, const std::vector<std::string>& seeds);

    // A seed, mutated unless the dice say to keep it as it is (5 %).
    std::wstring mutatedText(const std::vector<std::wstring>& seeds);
    std::string mutatedBytes(const std::vector<std::string>& seeds);

    Rng& rng() { return rng_; }

private:
    template <typename String>
    void mutateOnce(String& value, const std::vector<String>& seeds, const std::vector<String>& tokens);

    Rng& rng_;
    std::vector<std::wstring> textTokens_;
    std::vector<std::string> byteTokens_;
};

// Tokens every text target shares: JSON punctuation, UTF-16 surrogates, NUL,
// "$(" and format directives.
const std::vector<std::wstring>& commonTextTokens();
// The boundary lengths: 259 to 261, 2079 to 2081, 4159 to 4161.
const std::vector<std::size_t>& boundaryLengths();

// What a run of one input found. A target records every broken expectation;
// the first few are reported with the input.
class Check
{
public:
    void expect(bool condition, const std::string& what);
    // "%s" style helper for messages.
    static std::string format(const char* format, ...);
    static std::string narrow(const std::wstring& text, std::size_t limit = 160);

    bool failed() const { return !failures_.empty(); }
    const std::vector<std::string>& failures() const { return failures_; }

private:
    std::vector<std::string> failures_;
};

class Target
{
public:
    virtual ~Target() = default;
    // Inputs per run in make test; a long run goes on for as long as asked.
    virtual unsigned shortIterations() const { return 300; }
    // The watchdog's limit for one input.
    virtual unsigned timeoutMs() const { return 20000; }
    // Once per run, around all inputs (fixtures, registry keys, folders).
    virtual void setUp() {}
    virtual void tearDown() {}
    virtual Input generate(Mutator& mutator) = 0;
    virtual void run(const Input& input, Check& check) = 0;
    // Extra tokens for the mutator (besides commonTextTokens).
    virtual std::vector<std::wstring> textTokens() const { return {}; }
    virtual std::vector<std::string> byteTokens() const { return {}; }
};

using TargetFactory = std::function<std::unique_ptr<Target>()>;

struct TargetEntry
{
    std::string name;
    TargetFactory factory;
};

std::vector<TargetEntry>& targets();

struct Registrar
{
    Registrar(const char* name, TargetFactory factory);
};

#define WARDLINE_FUZZ_TARGET(name, Class)                                                                    \
    static ::WardlineFuzz::Registrar registrar_##Class(name, [] { return std::make_unique<Class>(); })

// UTF-16LE bytes of a text and back (an odd last byte is dropped).
std::string utf16Bytes(const std::wstring& text);
std::wstring fromUtf16Bytes(const std::string& bytes);

using WardlineTest::fromBuildPath;
std::string readFileBytes(const std::wstring& path);
// A host's string as the module reads it: up to its first NUL.
std::wstring upToNul(const std::wstring& text);
bool writeFileBytes(const std::wstring& path, const std::string& bytes);

// What a run of one target found.
struct RunResult
{
    std::uint64_t inputs = 0;
    std::uint64_t failedIteration = 0;
    bool failed = false;
    std::string report;
};

// Options from the environment:
//   WARDLINE_FUZZ_SEED        seed (default: 1; a long run without one picks one from the clock)
//   WARDLINE_FUZZ_SECONDS     long mode: run each target this long instead of its short count
//   WARDLINE_FUZZ_ITERATIONS  inputs per target (overrides the short count)
//   WARDLINE_FUZZ_FIRST       first iteration number (default 0)
//   WARDLINE_FUZZ_REPRO       target:seed:iteration, runs exactly that input and prints it
//   WARDLINE_FUZZ_OPEN        1: the corpus replay also runs tests/fuzz/open (faults reported, not fixed)
struct Options
{
    std::uint64_t seed = 1;
    unsigned seconds = 0;
    std::uint64_t iterations = 0;
    std::uint64_t first = 0;
    std::string reproTarget;
    std::uint64_t reproSeed = 0;
    std::uint64_t reproIteration = 0;
    bool repro = false;
    bool open = false;
};
const Options& options();

// The input of (target, seed, iteration).
Input makeInput(Target& target, const std::string& name, std::uint64_t seed, std::uint64_t iteration);
// Runs the target's inputs as the options say; stops at the first failure,
// which is written to the corpus.
RunResult runTarget(const std::string& name);
// Replays every corpus entry of the target.
RunResult replayCorpus(const std::string& name);

} // namespace WardlineFuzz
