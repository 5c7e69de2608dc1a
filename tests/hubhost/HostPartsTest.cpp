// The parts of hubhost that decide whether a check passes: number and status
// parsing, name and payload matching, the event log behind expect, and the
// context records it sends.

#include "ContextRecord.h"
#include "Matching.h"
#include "Observed.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace hubhost;
using std::chrono::milliseconds;

TEST(HostText, UnsignedNumbersInDecimalAndHexWithoutOverflow)
{
    std::uint64_t value = 0;
    EXPECT_TRUE(parseUnsigned("18446744073709551615", value));
    EXPECT_EQ(UINT64_MAX, value);
    EXPECT_FALSE(parseUnsigned("18446744073709551616", value)) << "one past the top must not wrap";
    EXPECT_TRUE(parseUnsigned("0xFFFFFFFFFFFFFFFF", value));
    EXPECT_FALSE(parseUnsigned("0x10000000000000000", value));
    EXPECT_TRUE(parseUnsigned("0x1f", value));
    EXPECT_EQ(31u, value);
    for (const char* bad : {"", "0x", "-1", "12a", " 1", "1.5", "0x1g"})
    {
        EXPECT_FALSE(parseUnsigned(bad, value)) << bad;
    }
}

TEST(HostText, StatusesByNumberFullNameAndShortName)
{
    std::uint32_t status = 1;
    EXPECT_TRUE(parseStatus("0", status));
    EXPECT_EQ(0u, status);
    EXPECT_TRUE(parseStatus("MODULE_STATUS_DATA_ERROR", status));
    EXPECT_EQ(0x80000006u, status);
    EXPECT_TRUE(parseStatus("TIMEOUT", status));
    EXPECT_EQ(0x8000000Du, status);
    EXPECT_TRUE(parseStatus("INVALID_STATE", status));
    EXPECT_EQ(0x800000FFu, status);
    EXPECT_TRUE(parseStatus("2147483662", status));
    EXPECT_EQ(0x8000000Eu, status);
    EXPECT_FALSE(parseStatus("0x100000000", status)) << "does not fit in 32 bits";
    EXPECT_FALSE(parseStatus("MODULE_STATUS_UNKNOWN", status)) << "the name of no status";
    EXPECT_FALSE(parseStatus("data_error", status)) << "names are case-sensitive";
    EXPECT_FALSE(parseStatus("", status));
}

TEST(HostText, StatusTextAndJsonQuoting)
{
    EXPECT_EQ("0x8000000E MODULE_STATUS_NO_SUBSCRIBERS", statusText(0x8000000Eu));
    EXPECT_EQ("0x80000016 MODULE_STATUS_UNKNOWN", statusText(0x80000016u));
    EXPECT_EQ("\"a\\\"b\\\\c\\n\\u0001\"", jsonQuote(L"a\"b\\c\n\x01"));
    EXPECT_EQ("\"gr\xC3\xBCn\"", jsonQuote(L"gr\u00FCn"));
    // A lone surrogate cannot be UTF-8; it must not swallow the line.
    EXPECT_EQ("\"a\xEF\xBF\xBD"
              "b\"",
              jsonQuote(std::wstring(L"a") + wchar_t(0xD800) + L"b"));
}

TEST(HostText, Utf8RoundTripAndReplacement)
{
    EXPECT_EQ(L"\u65E5\u672C \u2713", fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC \xE2\x9C\x93"));
    EXPECT_EQ("\xE6\x97\xA5", toUtf8(L"\u65E5"));
    EXPECT_EQ(std::wstring(L"a\uFFFDb"), fromUtf8("a\xFF"
                                                  "b"));
}

TEST(HostMatching, WildcardNames)
{
    EXPECT_TRUE(nameMatches(L"Core.Protection.State", L"Core.Protection.State"));
    EXPECT_FALSE(nameMatches(L"Core.Protection.State", L"Core.Protection.StateX"));
    EXPECT_FALSE(nameMatches(L"Core.Protection.State", L"core.protection.state"));
    EXPECT_TRUE(nameMatches(L"Core.*", L"Core.Protection.State"));
    EXPECT_TRUE(nameMatches(L"*.State", L"Core.Protection.State"));
    EXPECT_TRUE(nameMatches(L"Core.*.State", L"Core.Protection.State"));
    EXPECT_FALSE(nameMatches(L"Core.*.State", L"Core.Protection.States"));
    // Needs the backtrack: the first ".S" is not the one that ends the name.
    EXPECT_TRUE(nameMatches(L"*.S*e", L"A.Set.State"));
    EXPECT_TRUE(nameMatches(L"*", L""));
    EXPECT_FALSE(nameMatches(L"", L"x"));
}

TEST(HostMatching, PayloadsAsJsonValuesOrExactText)
{
    EXPECT_TRUE(payloadMatches(L"", L"anything"));
    EXPECT_TRUE(payloadMatches(L"*", L""));
    EXPECT_TRUE(payloadMatches(L"{\"state\": \"red\", \"n\": 1}", L"{\"n\":1,\"state\":\"red\"}"));
    EXPECT_FALSE(payloadMatches(L"{\"state\":\"red\"}", L"{\"state\":\"Red\"}"));
    EXPECT_FALSE(payloadMatches(L"{\"state\":\"red\"}", L"{\"state\":\"red\",\"x\":1}"))
        << "extra members count";
    EXPECT_FALSE(payloadMatches(L"[1,2]", L"[2,1]")) << "array order counts";
    EXPECT_FALSE(payloadMatches(L"{\"state\":5}", L"{\"state\":\"5\"}"));
    // Not JSON on one side: the texts must be equal.
    EXPECT_TRUE(payloadMatches(L"{", L"{"));
    EXPECT_FALSE(payloadMatches(L"{", L"{ "));
    EXPECT_FALSE(payloadMatches(L"{\"a\":1} trailing", L"{\"a\":1}"));
    // Deep nesting is compared, not a stack overflow.
    const std::wstring deep = std::wstring(100000, L'[') + std::wstring(100000, L']');
    EXPECT_TRUE(payloadMatches(deep, deep));
}

namespace
{
BusEvent event(const wchar_t* name, const wchar_t* payload)
{
    BusEvent e;
    e.name = name;
    e.payload = payload;
    return e;
}

Observed::Match named(const wchar_t* name)
{
    return [name](const BusEvent& e) { return e.name == name; };
}
} // namespace

TEST(HostObserved, EachEventSatisfiesOneExpectation)
{
    Observed observed;
    observed.add(event(L"A", L"1"));
    BusEvent found;
    EXPECT_TRUE(observed.take(named(L"A"), milliseconds(0), false, found));
    EXPECT_EQ(L"1", found.payload);
    EXPECT_FALSE(observed.take(named(L"A"), milliseconds(0), false, found)) << "already used";
}

TEST(HostObserved, AnyModeSkipsOthersNextModeDoesNot)
{
    Observed observed;
    observed.add(event(L"B", L""));
    observed.add(event(L"A", L""));
    BusEvent found;
    EXPECT_TRUE(observed.take(named(L"A"), milliseconds(0), false, found));
    EXPECT_EQ(1u, observed.unconsumed()) << "B stays for a later expectation";

    observed.add(event(L"A", L"2"));
    EXPECT_FALSE(observed.take(named(L"A"), milliseconds(0), true, found));
    EXPECT_EQ(L"B", found.name) << "the mismatch names what came next";
    EXPECT_TRUE(observed.take(named(L"A"), milliseconds(0), true, found));
    EXPECT_EQ(L"2", found.payload);
}

// A handled report comes whenever a callback returns, so it never decides
// what is "next" unless it is what the expectation asks for.
TEST(HostObserved, NextModePassesOverHandledReportsUnlessWanted)
{
    Observed observed;
    BusEvent handled = event(L"B", L"");
    handled.kind = EventKind::Handled;
    observed.add(handled);
    observed.add(event(L"A", L""));
    BusEvent found;
    EXPECT_TRUE(observed.take(named(L"A"), milliseconds(0), true, found));
    EXPECT_EQ(1u, observed.unconsumed()) << "the handled report stays for a later expectation";
    EXPECT_TRUE(observed.take(named(L"B"), milliseconds(0), true, found));
    EXPECT_EQ(EventKind::Handled, found.kind);

    EventKind kind = EventKind::Publish;
    ASSERT_TRUE(parseKind("handled", kind));
    EXPECT_EQ(EventKind::Handled, kind);
    EXPECT_STREQ("handled", kindName(EventKind::Handled));
    EXPECT_FALSE(parseKind("handle", kind));
}

TEST(HostObserved, WaitsForALateEvent)
{
    Observed observed;
    std::thread later(
        [&]
        {
            std::this_thread::sleep_for(milliseconds(50));
            observed.add(event(L"A", L""));
        });
    BusEvent found;
    const bool seen = observed.take(named(L"A"), milliseconds(5000), false, found);
    later.join();
    EXPECT_TRUE(seen);
}

TEST(HostObserved, AbsenceFailsOnAnEarlierOrALateEvent)
{
    Observed observed;
    BusEvent found;
    EXPECT_TRUE(observed.absent(named(L"A"), milliseconds(20), found));

    observed.add(event(L"A", L"early"));
    EXPECT_FALSE(observed.absent(named(L"A"), milliseconds(20), found));
    EXPECT_EQ(L"early", found.payload);
    EXPECT_TRUE(observed.absent(named(L"A"), milliseconds(0), found)) << "a stray event fails only once";

    std::thread later(
        [&]
        {
            std::this_thread::sleep_for(milliseconds(50));
            observed.add(event(L"A", L"late"));
        });
    const bool none = observed.absent(named(L"A"), milliseconds(5000), found);
    later.join();
    EXPECT_FALSE(none);
    EXPECT_EQ(L"late", found.payload);
}

TEST(HostObserved, ClearForgetsEverythingSeen)
{
    Observed observed;
    observed.add(event(L"A", L""));
    observed.clear();
    BusEvent found;
    EXPECT_FALSE(observed.take(named(L"A"), milliseconds(0), false, found));
    EXPECT_EQ(0u, observed.unconsumed());
}

TEST(HostRecord, BuildsBothFormsAndReadsThemBack)
{
    RecordOptions options;
    options.flags = 0x11;
    options.session = 7;
    options.replyRouting = 0x1122334455667788ull;
    const std::vector<unsigned char> v2 = makeRecord(options, L"A", L"B", L"CD");
    ASSERT_EQ(108u, v2.size());
    EXPECT_EQ(1, v2[0]);
    EXPECT_EQ(122u, static_cast<unsigned>(v2[2] | v2[3] << 8)) << "108 + 2 * 4 + 6";
    EXPECT_EQ(11, v2[100]);
    EXPECT_EQ(8, v2[102]);
    const RecordView view = readRecord(v2.data());
    EXPECT_TRUE(view.present);
    EXPECT_EQ(2, view.version);
    EXPECT_EQ(0x11u, view.flags);
    EXPECT_EQ(7u, view.session);
    EXPECT_EQ(0x1122334455667788ull, view.replyRouting);

    options.version = 1;
    options.session = 0;
    const std::vector<unsigned char> v1 = makeRecord(options, L"A", L"B", L"CD");
    ASSERT_EQ(100u, v1.size());
    EXPECT_EQ(114u, static_cast<unsigned>(v1[2] | v1[3] << 8));
    // A version 1 record has no session field; reading must not look past it.
    EXPECT_EQ(0u, readRecord(v1.data()).session);

    options.present = false;
    EXPECT_TRUE(makeRecord(options, L"A", L"B", L"CD").empty());
    EXPECT_FALSE(readRecord(nullptr).present);
}
