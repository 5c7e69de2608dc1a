#include "message/JSONFormatter.h"
#include "message/JSONParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using Norvan::JSONFormatter;
using Norvan::JSONParser;

namespace
{

std::wstring text(const JSONParser& parser)
{
    std::wstring out;
    parser.toString(out);
    return out;
}

std::wstring repeat(const std::wstring& piece, std::size_t count)
{
    std::wstring out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i)
    {
        out += piece;
    }
    return out;
}

std::wstring nested(std::size_t depth)
{
    return repeat(L"[", depth) + repeat(L"]", depth);
}

// Equal structure and values; floating-point numbers may differ in their last
// bits, since the parser's default number conversion is not always correctly
// rounded.
bool sameValue(const Norvan::internal::JSONValue& a, const Norvan::internal::JSONValue& b)
{
    if (a.IsDouble() && b.IsDouble())
    {
        const double scale = std::max(std::fabs(a.GetDouble()), std::fabs(b.GetDouble()));
        return std::fabs(a.GetDouble() - b.GetDouble()) <= scale * 1e-15;
    }
    if (a.IsObject() && b.IsObject())
    {
        if (a.MemberCount() != b.MemberCount())
        {
            return false;
        }
        for (auto ia = a.MemberBegin(), ib = b.MemberBegin(); ia != a.MemberEnd(); ++ia, ++ib)
        {
            if (!(ia->name == ib->name) || !sameValue(ia->value, ib->value))
            {
                return false;
            }
        }
        return true;
    }
    if (a.IsArray() && b.IsArray())
    {
        if (a.Size() != b.Size())
        {
            return false;
        }
        for (rapidjson::SizeType i = 0; i < a.Size(); ++i)
        {
            if (!sameValue(a[i], b[i]))
            {
                return false;
            }
        }
        return true;
    }
    return a == b;
}

// Whatever the input, both classes give a parse failure that keeps the
// document, or a document whose text parses again to the same text.
void expectParsesSoundly(const std::wstring& input)
{
    JSONParser parser;
    parser.setString(L"previous", L"kept");
    const std::wstring before = text(parser);
    if (parser.parse(input))
    {
        // The written text reads back as the same document.
        const std::wstring once = text(parser);
        JSONParser again;
        ASSERT_TRUE(again.parse(once)) << once;
        const std::wstring twice = text(again);
        Norvan::internal::JSONDocument first;
        Norvan::internal::JSONDocument second;
        ASSERT_TRUE(Norvan::internal::parseJSONText(once.c_str(), once.size(), first));
        ASSERT_TRUE(Norvan::internal::parseJSONText(twice.c_str(), twice.size(), second));
        EXPECT_TRUE(sameValue(first, second)) << once << " / " << twice;
        std::wstring value;
        parser.getValueText(L"a", value);
        std::vector<std::wstring> items;
        parser.getObjectArray(L"a", items);
    }
    else
    {
        EXPECT_EQ(before, text(parser));
    }

    JSONFormatter formatter;
    formatter.setInt(L"previous", 1);
    std::wstring formatterBefore;
    formatter.toString(formatterBefore);
    const bool isObject = formatter.parse(input);
    std::wstring formatterAfter;
    formatter.toString(formatterAfter);
    if (isObject)
    {
        JSONFormatter copy(formatter);
        std::wstring copyText;
        copy.toString(copyText);
        EXPECT_EQ(formatterAfter, copyText);
    }
    EXPECT_TRUE(formatterAfter == formatterBefore || JSONParser().parse(formatterAfter)) << formatterAfter;
}

bool parses(const std::wstring& input)
{
    return JSONParser().parse(input);
}

} // namespace

TEST(JSONBadInput, MalformedTextsFailAndKeepTheDocument)
{
    const std::vector<std::wstring> bad = {
        L"", L" ", L"{", L"}", L"[", L"[1,]", L"{\"a\"}", L"{\"a\":}", L"{\"a\":1,}", L"nul", L"tru", L"\"abc",
        L"01", L"1.", L"-", L"+1", L".5", L"1e", L"[1] x", L"{}{}", L"\"\\u\"", L"\"\\u12G4\"", L"\"\\x\"",
        L"'single'", L"{a:1}", L"/* c */ 1", L"NaN", L"Infinity", L"[1 2]", L"\"tab\there\"",
    };
    for (const std::wstring& input : bad)
    {
        EXPECT_FALSE(parses(input)) << input;
        expectParsesSoundly(input);
    }
}

TEST(JSONBadInput, InvalidUTF16IsAParseFailureRawOrEscaped)
{
    const std::vector<std::wstring> bad = {
        std::wstring(L"\"") + wchar_t(0xD800) + L"\"",
        std::wstring(L"\"") + wchar_t(0xDC00) + L"\"",
        std::wstring(L"\"a") + wchar_t(0xDBFF) + L"b\"",
        std::wstring(L"\"") + wchar_t(0xDC00) + wchar_t(0xD800) + L"\"",
        std::wstring(L"{\"") + wchar_t(0xD800) + L"\":1}",
        std::wstring(L"[1]") + wchar_t(0xD800),
        std::wstring(1, wchar_t(0xDFFF)),
        std::wstring(L"\"") + wchar_t(0xD800),
        L"\"\\uD800\"",
        L"\"\\uDC00\"",
        L"\"\\uD800\\u0041\"",
        L"{\"\\uDFFF\":1}",
        L"\"\\uDBFF\\uDBFF\"",
    };
    for (const std::wstring& input : bad)
    {
        EXPECT_FALSE(parses(input)) << input.size();
        expectParsesSoundly(input);
    }

    // A proper pair, raw or escaped, is kept as it is.
    JSONParser pair;
    ASSERT_TRUE(pair.parse(std::wstring(L"[\"") + wchar_t(0xD83D) + wchar_t(0xDE00) + L"\",\"\\uD83D\\uDE00\"]"));
    EXPECT_EQ(std::wstring(L"[\"") + wchar_t(0xD83D) + wchar_t(0xDE00) + L"\",\"" + wchar_t(0xD83D) +
                  wchar_t(0xDE00) + L"\"]",
              text(pair));
}

TEST(JSONBadInput, EmbeddedNulEndsTheTextOnlyWhenNothingFollows)
{
    EXPECT_FALSE(parses(std::wstring(L"[1]\0x", 5)));
    EXPECT_FALSE(parses(std::wstring(L"{\"a\":\0\"b\"}", 10)));
    EXPECT_FALSE(parses(std::wstring(L"\0[1]", 4)));
    EXPECT_FALSE(JSONFormatter().parse(std::wstring(L"{}\0{\"a\":1}", 11)));
    EXPECT_TRUE(parses(std::wstring(L"[1]\0\0", 5)));
    expectParsesSoundly(std::wstring(L"[1]\0x", 5));

    // Escaped, a NUL is ordinary string content.
    JSONParser p;
    ASSERT_TRUE(p.parse(L"{\"a\":\"x\\u0000y\"}"));
    std::wstring value;
    ASSERT_TRUE(p.getString(L"a", value));
    EXPECT_EQ(std::wstring(L"x\0y", 3), value);
}

TEST(JSONBadInput, NestingIsLimitedAndDeepInputNeverRecurses)
{
    EXPECT_FALSE(parses(repeat(L"[", 100000)));
    EXPECT_FALSE(parses(repeat(L"{\"a\":", 100000)));
    EXPECT_FALSE(parses(repeat(L"[{\"a\":", 50000)));
    EXPECT_FALSE(parses(nested(100000)));
    EXPECT_FALSE(parses(nested(Norvan::internal::kMaxJSONDepth + 1)));

    // At the limit the document is usable: written, copied and read back.
    const std::wstring deepest = nested(Norvan::internal::kMaxJSONDepth);
    JSONParser p;
    ASSERT_TRUE(p.parse(deepest));
    EXPECT_EQ(deepest, text(p));
    JSONParser holder;
    holder.setJson(L"a", deepest);
    std::wstring back;
    ASSERT_TRUE(holder.getValueText(L"a", back));
    EXPECT_EQ(deepest, back);
    JSONFormatter f;
    ASSERT_TRUE(f.parse(L"{\"a\":" + nested(Norvan::internal::kMaxJSONDepth - 1) + L"}"));
    JSONFormatter copy(f);
    JSONFormatter inner;
    EXPECT_FALSE(copy.getObject(L"a", inner));
}

TEST(JSONBadInput, HugeNumbersFailOrBecomeFloatingPoint)
{
    EXPECT_FALSE(parses(L"1e400"));
    EXPECT_FALSE(parses(L"-1e400"));
    EXPECT_FALSE(parses(L"1" + repeat(L"0", 400)));
    EXPECT_TRUE(parses(L"1e-400"));
    EXPECT_FALSE(parses(L"1e99999999999999999999"));
    EXPECT_TRUE(parses(L"-1e-99999999999999999999"));
    EXPECT_FALSE(parses(L"1.8e308"));
    EXPECT_TRUE(parses(L"0." + repeat(L"0", 5000) + L"1"));
    expectParsesSoundly(L"[1e308,-1e308,1e-400,4.9e-324]");

    JSONParser p;
    ASSERT_TRUE(p.parse(L"{\"a\":123456789012345678901234567890}"));
    std::uint64_t u64 = 0;
    double d = 0;
    EXPECT_FALSE(p.getUint64(L"a", u64));
    EXPECT_TRUE(p.getDouble(L"a", d));
    EXPECT_DOUBLE_EQ(1.2345678901234568e29, d);
}

TEST(JSONBadInput, TruncationsOfValidTextsNeverCrash)
{
    const std::wstring valid = L"{\"name\":\"x\\u00e9\\\"\",\"value\":[1,-2.5e3,true,false,null,{\"k\":[]}],"
                               L"\"big\":18446744073709551615}";
    ASSERT_TRUE(parses(valid));
    for (std::size_t length = 0; length < valid.size(); ++length)
    {
        const std::wstring cut = valid.substr(0, length);
        EXPECT_FALSE(parses(cut)) << cut;
        expectParsesSoundly(cut);
    }
}

TEST(JSONBadInput, RandomMutationsOfValidTextsNeverCrash)
{
    const std::vector<std::wstring> seeds = {
        L"{\"state\":\"green\"}",
        L"{\"name\":\"Core.Protection.IgnoreFirewall\",\"value\":\"{\\\"ignore_firewall\\\":true}\","
        L"\"volatile\":false}",
        L"{\"properties\":[{\"name\":\"a\",\"value\":\"1\"},{\"name\":\"b\"}],\"status\":true}",
        L"[1,-0,2.5e-3,1E+2,\"\\n\\t\\\\\\/\",[],{},[[[null]]]]",
        L"{\"a\":{\"a\":{\"a\":[\"\\ud83d\\ude00\",18446744073709551615,-9223372036854775808]}}}",
    };
    const wchar_t alphabet[] = {L'{', L'}', L'[', L']', L'"', L'\\', L':', L',', L'0', L'9', L'-', L'e', L'.',
                                L'u', L'a', L' ', L'\0', L'\n', wchar_t(0xD800), wchar_t(0xDC00), wchar_t(0xFFFF),
                                wchar_t(0x7F), wchar_t(0x1F), L't', L'n'};
    std::uint32_t state = 0x2545F491u;
    auto next = [&state](std::uint32_t bound) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    };

    std::size_t accepted = 0;
    const int iterations = 20000;
    for (int i = 0; i < iterations; ++i)
    {
        std::wstring mutated = seeds[next(static_cast<std::uint32_t>(seeds.size()))];
        const std::uint32_t edits = 1 + next(4);
        for (std::uint32_t e = 0; e < edits && !mutated.empty(); ++e)
        {
            const std::size_t at = next(static_cast<std::uint32_t>(mutated.size()));
            const wchar_t c = alphabet[next(sizeof(alphabet) / sizeof(alphabet[0]))];
            switch (next(5))
            {
            case 0:
                mutated[at] = c;
                break;
            case 1:
                mutated.insert(mutated.begin() + static_cast<std::ptrdiff_t>(at), c);
                break;
            case 2:
                mutated.erase(at, 1);
                break;
            case 3:
                mutated.resize(at);
                break;
            default:
                mutated.insert(at, mutated.substr(next(static_cast<std::uint32_t>(mutated.size())), 1 + next(8)));
                break;
            }
        }
        expectParsesSoundly(mutated);
        if (parses(mutated))
        {
            ++accepted;
        }
        if (HasFailure())
        {
            FAIL() << "iteration " << i;
        }
    }
    // Both outcomes must have been exercised for the loop to prove anything.
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(accepted, static_cast<std::size_t>(iterations));
}
