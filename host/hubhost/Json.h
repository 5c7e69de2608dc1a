#pragma once

// RapidJSON as hubhost uses it, configured in one place for every file that
// reads or writes JSON: texts from the bus and from disk are untrusted, and a
// lone low-surrogate escape reaches one of RapidJSON's own asserts, which
// would end the host in a build without NDEBUG. The escape is kept as the
// code unit it names instead.
#ifndef RAPIDJSON_ASSERT
#define RAPIDJSON_ASSERT(x) static_cast<void>(0)
#endif

#include <rapidjson/document.h>
#include <rapidjson/encodings.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>

namespace hubhost
{

using WideDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;
using WideValue = WideDocument::ValueType;
using WideBuffer = rapidjson::GenericStringBuffer<rapidjson::UTF16<wchar_t>>;
using WideWriter = rapidjson::Writer<WideBuffer, rapidjson::UTF16<wchar_t>, rapidjson::UTF16<wchar_t>>;

// GetSize counts bytes, not characters.
inline std::wstring textOf(const WideBuffer& buffer)
{
    return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
}

// Iterative: a deeply nested text must not exhaust a bus thread's stack.
inline bool parseJson(const std::wstring& text, WideDocument& document)
{
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    return !document.HasParseError();
}

} // namespace hubhost
