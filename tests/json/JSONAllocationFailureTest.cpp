#include "message/JSONFormatter.h"
#include "message/JSONParser.h"

#include "FailingJSONHeap.h"

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

// Runs `operation` with the JSON heap failing at its first allocation, then at
// its second, and so on until it succeeds. Every failing run must raise
// std::bad_alloc and leave `state()` as it was. Returns the number of failing
// runs.
template <typename Operation, typename State> int failEachAllocationInTurn(Operation operation, State state)
{
    for (std::size_t allowed = 0; allowed < 100; ++allowed)
    {
        const std::wstring before = state();
        try
        {
            FailingJSONHeap heap(allowed);
            operation();
            return static_cast<int>(allowed);
        }
        catch (const std::bad_alloc&)
        {
        }
        EXPECT_EQ(before, state()) << "after allocation " << allowed << " failed";
    }
    ADD_FAILURE() << "the operation never succeeded";
    return -1;
}

} // namespace

TEST(JSONAllocationFailure, ParserRaisesBadAllocAndKeepsItsDocument)
{
    JSONParser parser;
    auto state = [&parser]
    {
        std::wstring text;
        parser.toString(text);
        return text;
    };
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
    auto state = [&formatter]
    {
        std::wstring text;
        formatter.toString(text);
        return text;
    };
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
