#include "message/JSONFormatter.h"

#include "support/JsonText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using Norvan::JSONFormatter;

namespace
{

using WardlineTest::text;
constexpr auto parsed = &WardlineTest::parsed<JSONFormatter>;

} // namespace

TEST(JSONFormatterDocument, NewIsEmptyObjectAndCopiesAreDeep)
{
    JSONFormatter original;
    EXPECT_EQ(L"{}", text(original));

    original.setString(L"a", L"1");
    JSONFormatter copy(original);
    copy.setString(L"a", L"2");
    copy.setBool(L"b", true);
    EXPECT_EQ(L"{\"a\":\"1\"}", text(original));
    EXPECT_EQ(L"{\"a\":\"2\",\"b\":true}", text(copy));

    JSONFormatter assigned;
    assigned.setInt(L"x", 1);
    assigned = original;
    original.setInt(L"later", 3);
    EXPECT_EQ(L"{\"a\":\"1\"}", text(assigned));
}

TEST(JSONFormatterDocument, ResettingMovesLastMemberIntoTheGapAndAppends)
{
    JSONFormatter formatter;
    formatter.setInt(L"a", 1);
    formatter.setInt(L"b", 2);
    formatter.setInt(L"a", 3);
    EXPECT_EQ(L"{\"b\":2,\"a\":3}", text(formatter));

    JSONFormatter three;
    three.setInt(L"a", 1);
    three.setInt(L"b", 2);
    three.setInt(L"c", 3);
    three.setString(L"a", L"x");
    EXPECT_EQ(L"{\"c\":3,\"b\":2,\"a\":\"x\"}", text(three));
}

TEST(JSONFormatterDocument, ParseRequiresObjectRootAndKeepsDocumentOnError)
{
    JSONFormatter formatter;
    formatter.setInt(L"kept", 1);
    EXPECT_FALSE(formatter.parse(L"{\"a\":"));
    EXPECT_FALSE(formatter.parse(L""));
    EXPECT_FALSE(formatter.parse(L"{} x"));
    EXPECT_EQ(L"{\"kept\":1}", text(formatter));

    // A valid non-object root replaces the document but is reported as false.
    EXPECT_FALSE(formatter.parse(L"[1]"));
    EXPECT_EQ(L"[1]", text(formatter));
    int value = 7;
    EXPECT_FALSE(formatter.getInt(L"kept", value));
    std::vector<std::wstring> strings;
    EXPECT_FALSE(formatter.getStringArray(L"kept", strings));
    EXPECT_EQ(7, value);
    // A setter turns such a root into an object instead of touching an array as one.
    formatter.setInt(L"n", 2);
    EXPECT_EQ(L"{\"n\":2}", text(formatter));

    EXPECT_TRUE(formatter.parse(L" { \"a\" : [ 1 , 2 ] } "));
    EXPECT_EQ(L"{\"a\":[1,2]}", text(formatter));
}

TEST(JSONFormatterNumbers, ReadersFollowWhatTheNumberFits)
{
    JSONFormatter f =
        parsed(L"{\"big\":3000000000,\"five\":5,\"fivePointZero\":5.0,\"neg\":-1,"
               L"\"maxU64\":18446744073709551615,\"overU64\":18446744073709551616,\"exp\":1e2}");
    std::int32_t i = 0;
    std::uint32_t u = 0;
    std::int64_t i64 = 0;
    std::uint64_t u64 = 0;
    double d = 0;

    EXPECT_FALSE(f.getInt(L"big", i));
    EXPECT_TRUE(f.getUint(L"big", u));
    EXPECT_EQ(3000000000u, u);
    EXPECT_TRUE(f.getInt64(L"big", i64));
    EXPECT_EQ(3000000000, i64);

    EXPECT_FALSE(f.getDouble(L"five", d));
    EXPECT_TRUE(f.getDouble(L"fivePointZero", d));
    EXPECT_EQ(5.0, d);
    EXPECT_FALSE(f.getInt(L"fivePointZero", i));
    EXPECT_TRUE(f.getDouble(L"exp", d));
    EXPECT_EQ(100.0, d);

    EXPECT_TRUE(f.getInt(L"neg", i));
    EXPECT_EQ(-1, i);
    EXPECT_FALSE(f.getUint(L"neg", u));
    EXPECT_FALSE(f.getUint64(L"neg", u64));

    EXPECT_TRUE(f.getUint64(L"maxU64", u64));
    EXPECT_EQ(std::numeric_limits<std::uint64_t>::max(), u64);
    EXPECT_FALSE(f.getInt64(L"maxU64", i64));
    // Beyond every integer type the number is kept as floating point.
    EXPECT_FALSE(f.getUint64(L"overU64", u64));
    EXPECT_TRUE(f.getDouble(L"overU64", d));

    // Failed reads leave the output alone.
    i = 42;
    EXPECT_FALSE(f.getInt(L"missing", i));
    EXPECT_EQ(42, i);
}

TEST(JSONFormatterNumbers, SettersRoundTripAndNonFiniteBecomesNull)
{
    JSONFormatter f;
    f.setInt(L"i", std::numeric_limits<std::int32_t>::min());
    f.setUint64(L"u", std::numeric_limits<std::uint64_t>::max());
    f.setDouble(L"d", 5.0);
    f.setDouble(L"nan", std::nan(""));
    f.setDouble(L"inf", -std::numeric_limits<double>::infinity());
    EXPECT_EQ(L"{\"i\":-2147483648,\"u\":18446744073709551615,\"d\":5.0,\"nan\":null,\"inf\":null}", text(f));
    double d = 1;
    EXPECT_FALSE(f.getDouble(L"nan", d));
    EXPECT_EQ(1, d);

    JSONFormatter back = parsed(text(f));
    EXPECT_TRUE(back.getDouble(L"d", d));
    EXPECT_EQ(5.0, d);
}

TEST(JSONFormatterValues, StringsAndBooleansOnlyMatchTheirOwnKind)
{
    JSONFormatter f = parsed(L"{\"s\":\"true\",\"b\":true,\"n\":1,\"z\":null}");
    bool b = false;
    std::wstring s = L"untouched";
    EXPECT_FALSE(f.getBool(L"s", b));
    EXPECT_FALSE(f.getBool(L"n", b));
    EXPECT_TRUE(f.getBool(L"b", b));
    EXPECT_TRUE(b);
    EXPECT_FALSE(f.getString(L"b", s));
    EXPECT_FALSE(f.getString(L"z", s));
    EXPECT_EQ(L"untouched", s);
    EXPECT_TRUE(f.getString(L"s", s));
    EXPECT_EQ(L"true", s);
}

TEST(JSONFormatterValues, EscapingAndEmbeddedNulSurviveARoundTrip)
{
    JSONFormatter f;
    const std::wstring tricky = std::wstring(L"q\"b\\c\x01\n\xE9\x4E2D") + std::wstring(1, L'\0') + L"end";
    f.setString(L"k", tricky);
    EXPECT_EQ(L"{\"k\":\"q\\\"b\\\\c\\u0001\\n\xE9\x4E2D\\u0000end\"}", text(f));
    std::wstring back;
    EXPECT_TRUE(parsed(text(f)).getString(L"k", back));
    EXPECT_EQ(tricky, back);
}

TEST(JSONFormatterArrays, StringArrayReadsStopAtFirstWrongElement)
{
    JSONFormatter f = parsed(L"{\"mixed\":[\"x\",1,\"y\"],\"scalar\":3,\"ok\":[\"a\",\"b\"]}");
    std::vector<std::wstring> values;
    EXPECT_TRUE(f.getStringArray(L"missing", values));
    EXPECT_TRUE(values.empty());
    EXPECT_FALSE(f.getStringArray(L"scalar", values));
    EXPECT_TRUE(values.empty());
    EXPECT_FALSE(f.getStringArray(L"mixed", values));
    EXPECT_EQ(std::vector<std::wstring>{L"x"}, values);
    EXPECT_TRUE(f.getStringArray(L"ok", values));
    EXPECT_EQ((std::vector<std::wstring>{L"x", L"a", L"b"}), values);
}

TEST(JSONFormatterArrays, SetAndAppendStrings)
{
    JSONFormatter f;
    f.setStringArray(L"list", {L"a", L"b"});
    f.appendString(L"list", L"c");
    f.appendString(L"fresh", L"x");
    EXPECT_EQ(L"{\"list\":[\"a\",\"b\",\"c\"],\"fresh\":[\"x\"]}", text(f));

    // Appending to a member that is not an array leaves it as it is.
    f.setInt(L"n", 1);
    f.appendString(L"n", L"lost?");
    EXPECT_EQ(L"{\"list\":[\"a\",\"b\",\"c\"],\"fresh\":[\"x\"],\"n\":1}", text(f));
}

TEST(JSONFormatterObjects, ObjectsAreDeepCopiedBothWays)
{
    JSONFormatter inner;
    inner.setInt(L"k", 1);
    JSONFormatter outer;
    outer.setObject(L"o", inner);
    inner.setInt(L"k", 2);
    EXPECT_EQ(L"{\"o\":{\"k\":1}}", text(outer));

    JSONFormatter out;
    out.setBool(L"replaced", true);
    EXPECT_TRUE(outer.getObject(L"o", out));
    EXPECT_EQ(L"{\"k\":1}", text(out));
    out.setInt(L"k", 9);
    EXPECT_EQ(L"{\"o\":{\"k\":1}}", text(outer));

    outer.setInt(L"n", 1);
    EXPECT_FALSE(outer.getObject(L"n", out));
    EXPECT_FALSE(outer.getObject(L"missing", out));

    // The source may be the destination itself.
    EXPECT_TRUE(outer.getObject(L"o", outer));
    EXPECT_EQ(L"{\"k\":1}", text(outer));
    outer.setObject(L"self", outer);
    EXPECT_EQ(L"{\"k\":1,\"self\":{\"k\":1}}", text(outer));
}

TEST(JSONFormatterObjects, ObjectArraysSetAppendAndRead)
{
    JSONFormatter a;
    a.setInt(L"a", 1);
    JSONFormatter b;
    b.setInt(L"b", 2);
    JSONFormatter f;
    f.setObjectArray(L"list", {a, b});
    f.appendObject(L"list", a);
    f.appendObject(L"other", b);
    EXPECT_EQ(L"{\"list\":[{\"a\":1},{\"b\":2},{\"a\":1}],\"other\":[{\"b\":2}]}", text(f));

    std::vector<JSONFormatter> items;
    EXPECT_TRUE(f.getObjectArray(L"list", items));
    ASSERT_EQ(3u, items.size());
    EXPECT_EQ(L"{\"b\":2}", text(items[1]));

    JSONFormatter mixed = parsed(L"{\"m\":[{\"x\":1},2,{\"y\":3}]}");
    std::vector<JSONFormatter> partial;
    EXPECT_FALSE(mixed.getObjectArray(L"m", partial));
    ASSERT_EQ(1u, partial.size());
    EXPECT_EQ(L"{\"x\":1}", text(partial[0]));
    EXPECT_TRUE(mixed.getObjectArray(L"none", partial));
    EXPECT_EQ(1u, partial.size());
}

TEST(JSONFormatterDocument, SetMemberIgnoresANameThatIsNotAString)
{
    JSONFormatter f;
    f.setInt(L"a", 1);
    Norvan::internal::JSONValue name(5);
    Norvan::internal::JSONValue value(true);
    f.setMember(name, value);
    EXPECT_EQ(L"{\"a\":1}", text(f));
}
