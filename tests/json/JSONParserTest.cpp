#include "message/JSONParser.h"

#include "support/JsonText.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <limits>
#include <string>
#include <vector>

using Norvan::JSONParser;

namespace
{

using WardlineTest::text;
constexpr auto parsed = &WardlineTest::parsed<JSONParser>;

} // namespace

TEST(JSONParserDocument, NewIsNullAndFirstSetterMakesAnObject)
{
    JSONParser parser;
    EXPECT_EQ(L"null", text(parser));
    EXPECT_TRUE(parser.isEmpty());
    parser.setString(L"state", L"on");
    EXPECT_EQ(L"{\"state\":\"on\"}", text(parser));
    EXPECT_FALSE(parser.isEmpty());
    parser.clear();
    EXPECT_EQ(L"{}", text(parser));
    EXPECT_TRUE(parser.isEmpty());

    // Any non-object root is replaced by the first setter.
    JSONParser array = parsed(L"[1,2]");
    EXPECT_TRUE(array.isEmpty());
    array.clear();
    EXPECT_EQ(L"[1,2]", text(array));
    array.setInt(L"n", 1);
    EXPECT_EQ(L"{\"n\":1}", text(array));
}

TEST(JSONParserDocument, CopiesShareOneDocument)
{
    JSONParser first;
    JSONParser second(first);
    second.setBool(L"b", true);
    EXPECT_EQ(L"{\"b\":true}", text(first));
    EXPECT_TRUE(first.parse(L"[3]"));
    EXPECT_EQ(L"[3]", text(second));
}

TEST(JSONParserDocument, ParseAcceptsAnyRootAndKeepsDocumentOnFailure)
{
    JSONParser parser = parsed(L"{\"a\":1}");
    EXPECT_FALSE(parser.parse(static_cast<const wchar_t*>(nullptr)));
    EXPECT_FALSE(parser.parse(L"{\"a\":"));
    EXPECT_FALSE(parser.parse(std::wstring()));
    EXPECT_EQ(L"{\"a\":1}", text(parser));
    EXPECT_TRUE(parser.parse(L"\"just text\""));
    EXPECT_EQ(L"\"just text\"", text(parser));
    EXPECT_TRUE(parser.parse(std::wstring(L"  17  ")));
    EXPECT_EQ(L"17", text(parser));
}

TEST(JSONParserDocument, NewParserStaysNullOnFailureAndTakesPayloadsBeyondItsFirstPoolBlock)
{
    // A fresh parser parses in place: a failure after a long string went into
    // its pool must still leave it null, and the next parse must not see the
    // failed one's values.
    JSONParser parser;
    const std::wstring longText(3000, L'x');
    EXPECT_FALSE(parser.parse(L"{\"a\":\"" + longText + L"\",\"b\":}"));
    EXPECT_EQ(L"null", text(parser));
    EXPECT_TRUE(parser.parse(L"{\"b\":2}"));
    EXPECT_EQ(L"{\"b\":2}", text(parser));

    std::wstring big = L"{";
    for (int i = 0; i < 200; ++i)
    {
        big += (i == 0 ? L"\"" : L",\"") + std::to_wstring(i) + L"\":\"" + longText.substr(0, 20) + L"\"";
    }
    big += L"}";
    JSONParser fresh;
    EXPECT_TRUE(fresh.parse(big));
    EXPECT_EQ(big, text(fresh));
}

TEST(JSONParserGetters, WrongKindMissingNullNameAndNonObjectRootAllGiveFalse)
{
    JSONParser p = parsed(L"{\"s\":\"x\",\"b\":false,\"i\":-5,\"big\":3000000000,\"d\":0.5}");
    std::wstring s = L"keep";
    bool b = true;
    std::int32_t i = 1;
    std::uint32_t u = 1;
    std::int64_t i64 = 1;
    std::uint64_t u64 = 1;
    double d = 1;

    EXPECT_FALSE(p.getString(L"b", s));
    EXPECT_FALSE(p.getString(static_cast<const wchar_t*>(nullptr), s));
    EXPECT_FALSE(p.getBool(L"s", b));
    EXPECT_FALSE(p.getInt(L"big", i));
    EXPECT_FALSE(p.getUint(L"i", u));
    EXPECT_FALSE(p.getUint64(L"i", u64));
    EXPECT_FALSE(p.getDouble(L"i", d));
    EXPECT_FALSE(p.getInt64(L"d", i64));
    EXPECT_FALSE(p.getInt(L"missing", i));
    EXPECT_EQ(L"keep", s);
    EXPECT_TRUE(b);
    EXPECT_EQ(1, i);
    EXPECT_EQ(1u, u);
    EXPECT_EQ(1.0, d);

    EXPECT_TRUE(p.getString(std::wstring(L"s"), s));
    EXPECT_EQ(L"x", s);
    EXPECT_TRUE(p.getBool(L"b", b));
    EXPECT_FALSE(b);
    EXPECT_TRUE(p.getUint(L"big", u));
    EXPECT_TRUE(p.getInt64(L"big", i64));
    EXPECT_TRUE(p.getUint64(std::wstring(L"big"), u64));
    EXPECT_EQ(3000000000u, u64);
    EXPECT_TRUE(p.getDouble(L"d", d));
    EXPECT_EQ(0.5, d);

    JSONParser array = parsed(L"[{\"s\":\"x\"}]");
    EXPECT_FALSE(array.getString(L"s", s));
    std::wstring valueText;
    EXPECT_FALSE(array.getValueText(L"s", valueText));
}

TEST(JSONParserGetters, ValueTextByKind)
{
    JSONParser p = parsed(L"{\"o\": {\"k\": 1}, \"n\": null, \"s\": \"t\", \"a\": [1, \"x\"], \"f\": false}");
    std::wstring value = L"before";
    EXPECT_TRUE(p.getValueText(L"o", value));
    EXPECT_EQ(L"{\"k\":1}", value);
    EXPECT_TRUE(p.getValueText(L"n", value));
    EXPECT_EQ(L"", value);
    EXPECT_TRUE(p.getValueText(L"s", value));
    EXPECT_EQ(L"t", value);
    EXPECT_TRUE(p.getValueText(std::wstring(L"a"), value));
    EXPECT_EQ(L"[1,\"x\"]", value);
    EXPECT_TRUE(p.getValueText(L"f", value));
    EXPECT_EQ(L"false", value);
    EXPECT_FALSE(p.getValueText(L"missing", value));
    EXPECT_EQ(L"false", value);
}

TEST(JSONParserArrays, StringAndIntArraysWithAndWithoutKey)
{
    JSONParser p =
        parsed(L"{\"plain\":[\"a\",\"b\"],\"keyed\":[{\"id\":\"x\",\"n\":1},{\"id\":\"y\",\"n\":2}],"
               L"\"ints\":[1,-2,3000000000],\"bad\":[{\"id\":\"z\"},\"notObject\"],\"scalar\":1}");
    std::vector<std::wstring> strings;
    EXPECT_TRUE(p.getStringArray(L"plain", strings));
    EXPECT_TRUE(p.getStringArray(L"keyed", strings, L"id"));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L"x", L"y"}), strings);

    // Without a key an object element is not a string; with a key a string element is not an object.
    strings.clear();
    EXPECT_FALSE(p.getStringArray(L"keyed", strings, L""));
    EXPECT_FALSE(p.getStringArray(std::wstring(L"bad"), strings, std::wstring(L"id")));
    EXPECT_EQ(std::vector<std::wstring>{L"z"}, strings);
    EXPECT_FALSE(p.getStringArray(L"missing", strings));
    EXPECT_FALSE(p.getStringArray(L"scalar", strings));
    EXPECT_FALSE(p.getStringArray(static_cast<const wchar_t*>(nullptr), strings));
    EXPECT_EQ(1u, strings.size());

    std::vector<std::int32_t> ints;
    EXPECT_TRUE(p.getIntArray(L"keyed", ints, L"n"));
    EXPECT_FALSE(p.getIntArray(L"ints", ints));
    EXPECT_EQ((std::vector<std::int32_t>{1, 2, 1, -2}), ints);
}

TEST(JSONParserArrays, ObjectArrayElementsAreRebuiltThroughTheSetters)
{
    JSONParser p =
        parsed(L"{\"list\":[{\"a\":\"x\",\"b\":{\"c\":1},\"a\":2},{\"s\":\"q\\\"\"},7,{\"late\":1}]}");
    std::vector<std::wstring> items;
    EXPECT_FALSE(p.getObjectArray(L"list", items));
    ASSERT_EQ(2u, items.size());
    // The repeated name is written once, last value, at the end.
    EXPECT_EQ(L"{\"b\":{\"c\":1},\"a\":2}", items[0]);
    EXPECT_EQ(L"{\"s\":\"q\\\"\"}", items[1]);

    JSONParser good = parsed(L"{\"list\":[{},{\"n\":null}]}");
    items.clear();
    EXPECT_TRUE(good.getObjectArray(std::wstring(L"list"), items));
    EXPECT_EQ((std::vector<std::wstring>{L"{}", L"{\"n\":null}"}), items);
    EXPECT_FALSE(good.getObjectArray(L"missing", items));
}

TEST(JSONParserSetters, EveryFormAndNullArguments)
{
    JSONParser p;
    const std::wstring name = L"s";
    p.setString(name, std::wstring(L"1"));
    p.setString(name, L"2");
    EXPECT_EQ(L"{\"s\":\"2\"}", text(p));
    p.setString(L"t", std::wstring(L"3"));
    p.setString(L"t", static_cast<const wchar_t*>(nullptr));
    p.setString(static_cast<const wchar_t*>(nullptr), L"x");
    p.setString(name, static_cast<const wchar_t*>(nullptr));
    p.setBool(static_cast<const wchar_t*>(nullptr), true);
    p.setInt(static_cast<const wchar_t*>(nullptr), 1);
    EXPECT_EQ(L"{\"s\":\"2\",\"t\":\"3\"}", text(p));

    p.clear();
    p.setInt(L"i", -1);
    p.setInt64(L"i64", std::numeric_limits<std::int64_t>::min());
    p.setUint(L"u", 4000000000u);
    p.setUint64(std::wstring(L"u64"), 1);
    p.setDouble(L"d", 1.5);
    p.setDouble(L"inf", std::numeric_limits<double>::infinity());
    p.setIntArray(L"ia", {1, 2});
    p.setStringArray(L"sa", std::vector<std::wstring>{L"x"});
    p.setStringArray(L"pa", std::vector<const wchar_t*>{L"a", nullptr, L"b"});
    p.setStringArray(static_cast<const wchar_t*>(nullptr), std::vector<const wchar_t*>{L"a"});
    EXPECT_EQ(L"{\"i\":-1,\"i64\":-9223372036854775808,\"u\":4000000000,\"u64\":1,\"d\":1.5,\"inf\":null,"
              L"\"ia\":[1,2],\"sa\":[\"x\"],\"pa\":[\"a\",\"b\"]}",
              text(p));
}

// The std::wstring forms take the whole name, an embedded NUL included; the
// pointer forms stop at it. Each typed value reads back under its own name.
TEST(JSONParserSetters, WideStringNamesKeepEmbeddedNuls)
{
    JSONParser p;
    const std::wstring n(L"k\0", 2);
    p.setBool(n + L"b", true);
    p.setInt(n + L"i", -7);
    p.setInt64(n + L"l", -(1LL << 40));
    p.setUint(n + L"u", 7u);
    p.setUint64(n + L"v", 1ULL << 40);
    p.setDouble(n + L"d", 0.25);
    p.setIntArray(n + L"a", {3});
    p.setStringArray(n + L"s", std::vector<std::wstring>{L"x"});
    bool b = false;
    std::int32_t i = 0;
    std::int64_t l = 0;
    std::uint32_t u = 0;
    std::uint64_t v = 0;
    double d = 0;
    std::vector<std::int32_t> a;
    std::vector<std::wstring> strings;
    EXPECT_TRUE(p.getBool(n + L"b", b) && b);
    EXPECT_TRUE(p.getInt(n + L"i", i) && i == -7);
    EXPECT_TRUE(p.getInt64(n + L"l", l) && l == -(1LL << 40));
    EXPECT_TRUE(p.getUint(n + L"u", u) && u == 7u);
    EXPECT_TRUE(p.getUint64(n + L"v", v) && v == 1ULL << 40);
    EXPECT_TRUE(p.getDouble(n + L"d", d) && d == 0.25);
    EXPECT_TRUE(p.getIntArray(n + L"a", a) && a == std::vector<std::int32_t>{3});
    EXPECT_TRUE(p.getStringArray(n + L"s", strings) && strings == std::vector<std::wstring>{L"x"});
    EXPECT_FALSE(p.getBool(L"k", b)) << "the pointer form stops at the NUL";
    p.setBool(L"kb", false);
    p.setInt(L"ki", 1);
    p.setInt64(L"kl", 1);
    p.setUint(L"ku", 1u);
    p.setUint64(L"kv", 1u);
    const std::wstring all = text(p);
    EXPECT_EQ(13, std::count(all.begin(), all.end(), L':')) << "eight members with a NUL, five without";
    std::int32_t plain = 0;
    EXPECT_TRUE(p.getInt(L"ki", plain) && plain == 1);
}

TEST(JSONParserSetters, AppendStringItemWithAndWithoutKey)
{
    JSONParser p;
    p.appendStringItem(L"list", L"a");
    p.appendStringItem(L"list", L"b", L"id");
    p.appendStringItem(std::wstring(L"list"), std::wstring(L"c"), std::wstring());
    p.appendStringItem(static_cast<const wchar_t*>(nullptr), L"x");
    p.appendStringItem(L"list", static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(L"{\"list\":[\"a\",{\"id\":\"b\"},\"c\"]}", text(p));

    p.setInt(L"n", 1);
    p.appendStringItem(L"n", L"x");
    EXPECT_EQ(L"{\"list\":[\"a\",{\"id\":\"b\"},\"c\"],\"n\":1}", text(p));
}

TEST(JSONParserSetters, SetAndAppendJsonChangeNothingWhenTheTextDoesNotParse)
{
    JSONParser p;
    p.setJson(L"v", L"{\"k\":[1,2]}");
    p.appendJson(L"list", L"{\"x\":1}");
    p.appendJson(L"list", L"2");
    const std::wstring before = text(p);
    EXPECT_EQ(L"{\"v\":{\"k\":[1,2]},\"list\":[{\"x\":1},2]}", before);

    p.setJson(L"v", L"{\"k\":");
    p.setJson(L"new", L"");
    p.appendJson(L"list", L"[1");
    p.appendJson(L"missing", L"nope");
    p.setJson(L"v", L"1 2");
    EXPECT_EQ(before, text(p));
}
