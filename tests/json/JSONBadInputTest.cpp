#include "message/JSONFormatter.h"
#include "message/JSONParser.h"

#include "support/JsonText.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

using Norvan::JSONFormatter;
using Norvan::JSONParser;
using WardlineTest::text;

namespace
{

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

// Both classes refuse the text and keep the document they held. (What an
// accepted text writes back is the fuzz target's to prove, over mutations of
// the protocol's payloads.)
void expectRefusedAndKept(const std::wstring& input)
{
    JSONParser parser;
    parser.setString(L"previous", L"kept");
    const std::wstring before = text(parser);
    EXPECT_FALSE(parser.parse(input)) << input;
    EXPECT_EQ(before, text(parser));

    JSONFormatter formatter;
    formatter.setInt(L"previous", 1);
    const std::wstring formatterBefore = text(formatter);
    EXPECT_FALSE(formatter.parse(input)) << input;
    EXPECT_EQ(formatterBefore, text(formatter));
}

bool parses(const std::wstring& input)
{
    return JSONParser().parse(input);
}

} // namespace

TEST(JSONBadInput, MalformedTextsFailAndKeepTheDocument)
{
    const std::vector<std::wstring> bad = {
        L"",        L" ",         L"{",          L"}",           L"[",       L"[1,]",
        L"{\"a\"}", L"{\"a\":}",  L"{\"a\":1,}", L"nul",         L"tru",     L"\"abc",
        L"01",      L"1.",        L"-",          L"+1",          L".5",      L"1e",
        L"[1] x",   L"{}{}",      L"\"\\u\"",    L"\"\\u12G4\"", L"\"\\x\"", L"'single'",
        L"{a:1}",   L"/* c */ 1", L"NaN",        L"Infinity",    L"[1 2]",   L"\"tab\there\"",
    };
    for (const std::wstring& input : bad)
    {
        expectRefusedAndKept(input);
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
        expectRefusedAndKept(input);
    }

    // A proper pair, raw or escaped, is kept as it is.
    JSONParser pair;
    ASSERT_TRUE(
        pair.parse(std::wstring(L"[\"") + wchar_t(0xD83D) + wchar_t(0xDE00) + L"\",\"\\uD83D\\uDE00\"]"));
    EXPECT_EQ(std::wstring(L"[\"") + wchar_t(0xD83D) + wchar_t(0xDE00) + L"\",\"" + wchar_t(0xD83D) +
                  wchar_t(0xDE00) + L"\"]",
              text(pair));
}

TEST(JSONBadInput, EmbeddedNulEndsTheTextOnlyWhenNothingFollows)
{
    expectRefusedAndKept(std::wstring(L"[1]\0x", 5));
    EXPECT_FALSE(parses(std::wstring(L"{\"a\":\0\"b\"}", 10)));
    EXPECT_FALSE(parses(std::wstring(L"\0[1]", 4)));
    EXPECT_FALSE(JSONFormatter().parse(std::wstring(L"{}\0{\"a\":1}", 11)));
    EXPECT_TRUE(parses(std::wstring(L"[1]\0\0", 5)));

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
    // Written out, the extremes read back.
    JSONParser extremes;
    ASSERT_TRUE(extremes.parse(L"[1e308,-1e308,1e-400,4.9e-324]"));
    EXPECT_TRUE(parses(text(extremes))) << text(extremes);

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
        expectRefusedAndKept(valid.substr(0, length));
    }
}

namespace
{

DWORD WINAPI useDeepestDocuments(void* result)
{
    const std::wstring deepest = nested(Norvan::internal::kMaxJSONDepth);
    JSONParser p;
    bool ok = p.parse(deepest) && text(p) == deepest;
    JSONParser list;
    ok = ok && list.parse(L"{\"l\":[{\"a\":" + nested(Norvan::internal::kMaxJSONDepth - 3) + L"}]}");
    std::vector<std::wstring> items;
    ok = ok && list.getObjectArray(L"l", items) && items.size() == 1;
    JSONFormatter f;
    ok = ok && f.parse(L"{\"a\":" + nested(Norvan::internal::kMaxJSONDepth - 1) + L"}");
    JSONFormatter copy(f);
    JSONFormatter outer;
    outer.setObject(L"o", copy);
    std::wstring written;
    outer.toString(written);
    *static_cast<bool*>(result) = ok && written.size() > deepest.size();
    return 0;
}

} // namespace

// The depth limit exists so that writing and copying, which recurse per level,
// fit a thread stack far smaller than the usual one megabyte.
TEST(JSONBadInput, DocumentsAtTheDepthLimitFitASmallThreadStack)
{
    bool ok = false;
    HANDLE thread = CreateThread(nullptr, 128 * 1024, useDeepestDocuments, &ok,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_TRUE(ok);
}
