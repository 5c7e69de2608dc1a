#include "CourierTestSupport.h"

#include <atomic>
#include <vector>

using namespace courier;
using namespace courier::test;

namespace
{
CourierStatus ignoreMessage(void*, const void*, const wchar_t*, const wchar_t*, const wchar_t*)
{
    return 0;
}

CourierStatus ignoreReply(void*, std::uint64_t, const void*, const wchar_t*, const wchar_t*, const wchar_t*,
                          CourierStatus)
{
    return 0;
}
} // namespace

TEST(CourierExports, TableOnlyForTheFrameworkVersion)
{
    CourierLibrary lib;
    ASSERT_COURIER_LOADED(lib);
    EXPECT_EQ(lib.createObject(2001000), lib.table);
    EXPECT_EQ(lib.createObject(0), nullptr);
    EXPECT_EQ(lib.createObject(2000000), nullptr);
    EXPECT_EQ(lib.createObject(2001001), nullptr);
    EXPECT_EQ(lib.getVersionNum(), 2001000u);
    EXPECT_STREQ(lib.getVersionStr(), "2.1.0");
    lib.releaseObject();
    // Every entry is filled; the second forms exist too.
    const auto* entries = reinterpret_cast<void* const*>(lib.table);
    for (std::size_t i = 0; i < sizeof(CourierFunctionTable) / sizeof(void*); ++i)
    {
        EXPECT_NE(entries[i], nullptr) << "entry " << i;
    }
}

TEST(CourierExports, VersionResourceNamesTheRelease)
{
    CourierLibrary lib;
    ASSERT_COURIER_LOADED(lib);
    HMODULE module = GetModuleHandleW(L"Courier.dll");
    ASSERT_NE(module, nullptr);
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(module, path, MAX_PATH), 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    ASSERT_GT(size, 0u) << "error " << GetLastError();
    std::vector<unsigned char> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, data.data()));
    wchar_t* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(text, L"2.1.0.0");
}

// Garbage, null and released handles get a status, never a crash; the
// registry is consulted before anything is dereferenced.
TEST(CourierExports, BadHandlesAreRefused)
{
    CourierLibrary lib;
    ASSERT_COURIER_LOADED(lib);
    const CourierFunctionTable& t = *lib.table;
    BusHandle released(lib.table);
    ASSERT_EQ(released.status, 0u);
    const CourierHandle stale = released.handle;
    ASSERT_EQ(released.release(), 0u);

    const std::vector<CourierHandle> bad = {nullptr, stale, reinterpret_cast<CourierHandle>(1),
                                            reinterpret_cast<CourierHandle>(0xDEADBEEFDEADBEEFull),
                                            reinterpret_cast<CourierHandle>(&lib)};
    for (CourierHandle h : bad)
    {
        SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(h));
        EXPECT_EQ(t.releaseHandle(h), kStatusInvalidHandle);
        EXPECT_EQ(t.publish(h, nullptr, L"A", L"s", L"p"), kStatusInvalidHandle);
        EXPECT_EQ(t.publishEx(h, nullptr, L"A", L"s", L"p"), kStatusInvalidHandle);
        EXPECT_EQ(t.request(h, 0, nullptr, ignoreReply, nullptr, L"A", L"s", L"p", 100),
                  kStatusInvalidHandle);
        EXPECT_EQ(t.requestEx(h, 0, nullptr, ignoreReply, nullptr, L"A", L"s", L"p", 100),
                  kStatusInvalidHandle);
        EXPECT_EQ(t.subscribe(h, nullptr, ignoreMessage, L"A"), 0u);
        EXPECT_EQ(t.subscribeFilter(h, nullptr, ignoreMessage, L".*"), 0u);
        EXPECT_EQ(t.unsubscribe(h, 1), kStatusInvalidHandle);
        EXPECT_EQ(t.removeReplyCallback(h, ignoreReply), kStatusInvalidHandle);
    }
}

TEST(CourierExports, NullAndEmptyArgumentsAreRefused)
{
    CourierLibrary lib;
    ASSERT_COURIER_LOADED(lib);
    const CourierFunctionTable& t = *lib.table;
    EXPECT_EQ(t.getHandle(nullptr), kStatusInvalidParameter);
    BusHandle h(lib.table);
    ASSERT_EQ(h.status, 0u);
    ASSERT_NE(h.handle, nullptr);

    EXPECT_EQ(t.publish(h, nullptr, nullptr, L"s", L"p"), kStatusInvalidParameter);
    EXPECT_EQ(t.publish(h, nullptr, L"", L"s", L"p"), kStatusInvalidParameter);
    EXPECT_EQ(t.request(h, 0, nullptr, ignoreReply, nullptr, nullptr, L"s", L"p", 10),
              kStatusInvalidParameter);
    EXPECT_EQ(t.request(h, 0, nullptr, ignoreReply, nullptr, L"", L"s", L"p", 10), kStatusInvalidParameter);
    EXPECT_EQ(t.request(h, 0, nullptr, nullptr, nullptr, L"A", L"s", L"p", 10), kStatusInvalidParameter);
    EXPECT_EQ(t.subscribe(h, nullptr, nullptr, L"A"), 0u);
    EXPECT_EQ(t.subscribe(h, nullptr, ignoreMessage, nullptr), 0u);
    EXPECT_EQ(t.subscribe(h, nullptr, ignoreMessage, L""), 0u);
    EXPECT_EQ(t.subscribeFilter(h, nullptr, ignoreMessage, nullptr), 0u);
    EXPECT_EQ(t.removeReplyCallback(h, nullptr), kStatusInvalidParameter);
    EXPECT_EQ(t.unsubscribe(h, 0), kStatusNotFound);
    EXPECT_EQ(t.unsubscribe(h, 12345), kStatusNotFound);
    // Null source and payload are empty strings, not errors.
    EXPECT_EQ(t.publish(h, nullptr, L"A", nullptr, nullptr), 0u);

    const std::wstring longest(kMaxNameLength, L'x');
    const std::wstring tooLong(kMaxNameLength + 1, L'x');
    EXPECT_EQ(t.publish(h, nullptr, longest.c_str(), L"", L""), 0u);
    EXPECT_EQ(t.publish(h, nullptr, tooLong.c_str(), L"", L""), kStatusInvalidParameter);
    EXPECT_EQ(t.subscribe(h, nullptr, ignoreMessage, tooLong.c_str()), 0u);
    const std::uint32_t id = t.subscribe(h, nullptr, ignoreMessage, longest.c_str());
    EXPECT_NE(id, 0u);
    EXPECT_EQ(t.unsubscribe(h, id), 0u);
    EXPECT_EQ(t.unsubscribe(h, id), kStatusNotFound);
}

TEST(CourierExports, SubscriptionIdsBelongToTheirHandle)
{
    CourierLibrary lib;
    ASSERT_COURIER_LOADED(lib);
    const CourierFunctionTable& t = *lib.table;
    BusHandle a(lib.table);
    BusHandle b(lib.table);
    ASSERT_NE(a.handle, b.handle);
    const std::uint32_t first = t.subscribe(a, nullptr, ignoreMessage, L"A");
    const std::uint32_t second = t.subscribe(a, nullptr, ignoreMessage, L"A");
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(t.unsubscribe(b, first), kStatusNotFound);
    EXPECT_EQ(t.unsubscribe(a, first), 0u);
}

TEST(CourierExports, InvalidPatternsGiveIdZero)
{
    CourierLibrary lib;
    ASSERT_COURIER_LOADED(lib);
    BusHandle h(lib.table);
    for (const wchar_t* pattern : {L"(", L"[a-", L"a{2,1}", L"*", L"(?<x)", L"(a)\\1"})
    {
        EXPECT_EQ(lib.table->subscribeFilter(h, nullptr, ignoreMessage, pattern), 0u) << pattern;
    }
    // The longest accepted pattern of nested groups compiles without trouble.
    std::wstring nested(kMaxNameLength / 2, L'(');
    nested.append(kMaxNameLength / 2, L')');
    const std::uint32_t id = lib.table->subscribeFilter(h, nullptr, ignoreMessage, nested.c_str());
    EXPECT_NE(id, 0u);
}
