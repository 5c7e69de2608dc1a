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
#include <string>

namespace Norvan
{
namespace internal
{

using JSONEncoding = rapidjson::UTF16<wchar_t>;
using JSONAllocator = rapidjson::MemoryPoolAllocator<>;
using JSONDocument = rapidjson::GenericDocument<JSONEncoding, JSONAllocator>;
using JSONValue = rapidjson::GenericValue<JSONEncoding, JSONAllocator>;

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

// A string value holding a copy of the text, allocated in `allocator`.
JSONValue makeJSONString(const wchar_t* text, std::size_t length, JSONAllocator& allocator);

// The member named `name` (exact comparison, first match) when `root` is an
// object that has one, else null.
const JSONValue* findJSONMember(const JSONValue& root, const wchar_t* name, std::size_t length);
JSONValue* findJSONMember(JSONValue& root, const wchar_t* name, std::size_t length);

// The common setting step: `root` is made an object if it is not one; an
// existing member of that name is removed by moving the last member into its
// place; then the member is appended. `name` and `value` are moved from. A
// `name` that is not a string changes nothing.
void setJSONMember(JSONValue& root, JSONValue& name, JSONValue& value, JSONAllocator& allocator);

// The array member `name` of `root` for appending: a missing member is first
// set to an empty array. Null when the member exists and is not an array;
// appending to such a member changes nothing.
JSONValue* arrayMemberForAppend(JSONValue& root, const wchar_t* name, std::size_t length,
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
