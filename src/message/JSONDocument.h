#pragma once

// The one place where RapidJSON is configured and included for the payload
// classes. Every translation unit that sees RapidJSON gets it through here, so
// the settings below are the same everywhere.

// RapidJSON's asserts guard its own preconditions. The payload classes check
// types before every access, but one assert (a lone low-surrogate escape such
// as "\uDC00" in a string) is reachable from input text and would abort a
// build without NDEBUG; such strings are refused by the parser instead.
#ifndef RAPIDJSON_ASSERT
#define RAPIDJSON_ASSERT(x) static_cast<void>(0)
#endif

#include <rapidjson/document.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

namespace Norvan
{
namespace internal
{

// The heap under every allocation of the JSON code: the documents' memory
// pools, their parse stacks, the reader's and the writer's stacks. It throws
// std::bad_alloc when the heap fails. RapidJSON's own heap allocator answers
// a failure with a null pointer, which RapidJSON then writes through (its
// asserts are off), so an exhausted heap would crash the host instead of
// raising an exception for callGuarded to turn into a status.
class JSONHeapAllocator
{
public:
    static const bool kNeedFree = true;

    void* Malloc(std::size_t size);
    // A failure keeps the original block, as realloc does.
    void* Realloc(void* block, std::size_t originalSize, std::size_t newSize);
    static void Free(void* block) noexcept;
};

// Test only: the heap functions under JSONHeapAllocator, so that tests can make
// allocations fail. Blocks are freed with std::free whichever functions
// allocated them, so replacements must take their blocks from the C runtime's
// heap. Null restores std::malloc and std::realloc; the previous functions are
// returned.
struct JSONHeapFunctions
{
    void* (*allocate)(std::size_t size);
    void* (*reallocate)(void* block, std::size_t size);
};
const JSONHeapFunctions* setJSONHeapFunctionsForTest(const JSONHeapFunctions* functions) noexcept;

using JSONEncoding = rapidjson::UTF16<wchar_t>;
// RapidJSON's memory pool, taking its chunks from the throwing heap.
using JSONAllocator = rapidjson::MemoryPoolAllocator<JSONHeapAllocator>;
using JSONDocument = rapidjson::GenericDocument<JSONEncoding, JSONAllocator, JSONHeapAllocator>;
using JSONValue = rapidjson::GenericValue<JSONEncoding, JSONAllocator>;

// A new null document whose memory pool begins inside the same heap block as
// the document itself: the small payloads the module's handlers read and
// publish (a state report, an ignore status) need no pool chunk of their own,
// and larger ones go on in chunks of the pool's usual size.
std::shared_ptr<JSONDocument> makeSharedJSONDocument();

// Serialising and copying a document recurse once per nesting level, so a
// parsed text may nest at most this deep; deeper texts are parse errors.
constexpr unsigned kMaxJSONDepth = 512;

// Parses `length` code units into `out`. The text ends at its first NUL; any
// character other than NUL after that is an error (a JSON text cannot hold a
// raw NUL, and silently dropping the rest would accept a text that is not the
// one given). On success the root of `out` is replaced (its values live in the
// allocator `out` was built with); on failure `out` keeps its root.
bool parseJSONText(const wchar_t* text, std::size_t length, JSONDocument& out);

// Parses UTF-16LE bytes (an optional byte-order mark first) from an open file,
// read through a 256-byte buffer. The whole rest of the file must be the text:
// an odd byte count or a NUL code unit is an error.
bool parseJSONFile(std::FILE* file, JSONDocument& out);

// Compact text of a value: RapidJSON's writer with its default settings.
std::wstring toJSONText(const JSONValue& value);

// Writes the compact text as UTF-16LE without a byte-order mark. True when
// every byte was written.
bool writeJSONFile(const JSONValue& value, std::FILE* file);

// True when the code units form well-formed UTF-16 (no unpaired surrogate).
bool isWellFormedUTF16(const wchar_t* text, std::size_t length) noexcept;

// Makes the root of `out` a deep copy of `source`, allocated in out's pool;
// `source` may lie in `out`. RapidJSON's own copy (CopyFrom, the copying
// constructor) builds containers on a stack from the C runtime's heap and
// writes through the null pointer of a failed allocation; this one builds on
// out's stack from the throwing heap, so an exhausted heap gives
// std::bad_alloc and leaves the root of `out` as it was.
void copyJSONValue(const JSONValue& source, JSONDocument& out);

// A string value holding a copy of the text, allocated in `allocator`.
JSONValue makeJSONString(const wchar_t* text, std::size_t length, JSONAllocator& allocator);

// The member named `name` (exact comparison, first match) when `root` is an
// object that has one, else null.
const JSONValue* findJSONMember(const JSONValue& root, const wchar_t* name, std::size_t length);
JSONValue* findJSONMember(JSONValue& root, const wchar_t* name, std::size_t length);

// The common setting step: `root` is made an object if it is not one; an
// existing member of that name is removed by moving the last member into its
// place; then the member is appended. `name` and `value` are moved from. A
// `name` that is not a string changes nothing. When allocation fails,
// std::bad_alloc leaves `root`, `name` and `value` as they were.
void setJSONMember(JSONValue& root, JSONValue& name, JSONValue& value, JSONAllocator& allocator);

// Appends `value` (moved from) to the array member `name` of `root`; a
// missing member is first set to an empty array. A member that exists and is
// not an array changes nothing. When allocation fails, std::bad_alloc leaves
// `root` as it was.
void appendJSONArrayItem(JSONValue& root, const wchar_t* name, std::size_t length, JSONValue& value,
                         JSONAllocator& allocator);

// Reads a member found by findJSONMember: true, with `value` set, when it is
// present and `is` holds for it; `value` is left alone otherwise.
template <typename T, typename R>
bool readJSONValue(const JSONValue* found, T& value, bool (JSONValue::*is)() const,
                   R (JSONValue::*get)() const)
{
    if (found == nullptr || !(found->*is)())
    {
        return false;
    }
    value = (found->*get)();
    return true;
}

// As readJSONValue for a string, keeping its full length (it may hold NULs).
inline bool readJSONString(const JSONValue* found, std::wstring& value)
{
    if (found == nullptr || !found->IsString())
    {
        return false;
    }
    value.assign(found->GetString(), found->GetStringLength());
    return true;
}

} // namespace internal
} // namespace Norvan
