#include "message/JSONFormatter.h"
#include "message/JSONParser.h"

#include "support/FailingAllocation.h"
#include "support/FailingJSONHeap.h"
#include "support/JsonText.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

using Norvan::JSONFormatter;
using Norvan::JSONParser;
using WardlineTest::FailingJSONHeap;

namespace
{

// Longer than a memory-pool chunk, so that storing it always takes the heap.
const std::wstring kLong(40000, L'x');

// Every run in which the JSON heap refuses an allocation raises
// std::bad_alloc and leaves `state()` as it was. Returns the number of
// failing runs.
template <typename Operation, typename State> long failEachAllocationInTurn(Operation operation, State state)
{
    const std::wstring before = state();
    bool threw = false;
    const long runs = WardlineTest::FailEachAllocationInTurn<FailingJSONHeap>(
        [&]
        {
            threw = false;
            try
            {
                operation();
            }
            catch (const std::bad_alloc&)
            {
                threw = true;
            }
        },
        [&](long served)
        {
            EXPECT_TRUE(threw) << "allocation " << served << " failed without std::bad_alloc";
            EXPECT_EQ(before, state()) << "after allocation " << served << " failed";
        },
        100);
    EXPECT_GE(runs, 0) << "the operation never succeeded";
    return runs;
}

} // namespace

TEST(JSONAllocationFailure, ParserRaisesBadAllocAndKeepsItsDocument)
{
    JSONParser parser;
    const auto state = [&] { return WardlineTest::text(parser); };
    // The first member of a new document, and a new member of a parsed one
    // (which has no spare room), both need a new member array.
    EXPECT_GT(failEachAllocationInTurn([&] { parser.setString(L"first", kLong); }, state), 0);
    const std::wstring payload = L"{\"a\":[1,{\"b\":\"" + kLong + L"\"}],\"c\":\"d\",\"e\":true}";
    EXPECT_GT(failEachAllocationInTurn([&] { EXPECT_TRUE(parser.parse(payload)); }, state), 0);
    EXPECT_GT(failEachAllocationInTurn([&] { parser.setString(L"new", kLong); }, state), 0);
    EXPECT_GT(failEachAllocationInTurn([&] { parser.setJson(L"c", L"[\"" + kLong + L"\"]"); }, state), 0);
    EXPECT_GT(failEachAllocationInTurn([&] { parser.appendStringItem(L"list", kLong, L"key"); }, state), 0);

    std::wstring out;
    EXPECT_GT(failEachAllocationInTurn([&] { parser.toString(out); }, state), 0);
    // Setting "c" again moved the last member into its place.
    EXPECT_EQ(L"{\"a\":[1,{\"b\":\"" + kLong + L"\"}],\"new\":\"" + kLong + L"\",\"e\":true,\"c\":[\"" +
                  kLong + L"\"],\"list\":[{\"key\":\"" + kLong + L"\"}]}",
              out);
}

TEST(JSONAllocationFailure, FormatterRaisesBadAllocAndKeepsItsDocument)
{
    JSONFormatter formatter;
    JSONFormatter inner;
    ASSERT_TRUE(inner.parse(L"{\"k\":\"" + kLong + L"\"}"));
    const auto state = [&] { return WardlineTest::text(formatter); };
    EXPECT_GT(
        failEachAllocationInTurn([&] { EXPECT_TRUE(formatter.parse(L"{\"s\":\"" + kLong + L"\"}")); }, state),
        0);
    EXPECT_GT(failEachAllocationInTurn([&] { formatter.setObject(L"o", inner); }, state), 0);
    EXPECT_GT(failEachAllocationInTurn([&] { formatter.appendObject(L"list", inner); }, state), 0);
    EXPECT_GT(failEachAllocationInTurn([&] { JSONFormatter copy(formatter); }, state), 0);

    std::wstring out;
    EXPECT_GT(failEachAllocationInTurn([&] { formatter.toString(out); }, state), 0);
    const std::wstring innerText = L"{\"k\":\"" + kLong + L"\"}";
    EXPECT_EQ(L"{\"s\":\"" + kLong + L"\",\"o\":" + innerText + L",\"list\":[" + innerText + L"]}", out);
}
