#include "module/ModuleException.h"
#include "module/ModuleStatus.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace Norvan;

TEST(ModuleStatusName, NamesEveryDefinedCodeAndNothingElse)
{
    EXPECT_STREQ(L"MODULE_STATUS_SUCCESS", moduleStatusName(0));
    EXPECT_STREQ(L"MODULE_STATUS_NOT_SUPPORTED", moduleStatusName(0x80000001u));
    EXPECT_STREQ(L"MODULE_STATUS_UNSUCCESSFUL", moduleStatusName(0x80000002u));
    EXPECT_STREQ(L"MODULE_STATUS_TIMEOUT", moduleStatusName(0x8000000Du));
    EXPECT_STREQ(L"MODULE_STATUS_UNKNOWN_EXCEPTION", moduleStatusName(0x8000000Fu));
    EXPECT_STREQ(L"MODULE_STATUS_SESSION_INVALID", moduleStatusName(0x80000015u));
    EXPECT_STREQ(L"MODULE_STATUS_INVALID_STATE", moduleStatusName(0x800000FFu));

    // The gap between the last contiguous code and INVALID_STATE, and values
    // without the top bit, are not codes.
    for (std::uint32_t undefined : {0x80000016u, 0x80000000u, 0x800000FEu, 0x80000100u, 1u, 0xFFFFFFFFu, 0x7FFFFFFFu})
    {
        EXPECT_STREQ(L"MODULE_STATUS_UNKNOWN", moduleStatusName(undefined)) << std::hex << undefined;
    }
}

TEST(ModuleStatusName, EveryContiguousCodeHasItsOwnName)
{
    std::wstring previous;
    for (std::uint32_t code = 0x80000001u; code <= 0x80000015u; ++code)
    {
        const std::wstring name = moduleStatusName(code);
        EXPECT_EQ(0u, name.rfind(L"MODULE_STATUS_", 0)) << std::hex << code;
        EXPECT_NE(L"MODULE_STATUS_UNKNOWN", name) << std::hex << code;
        EXPECT_NE(previous, name) << std::hex << code;
        previous = name;
    }
}

TEST(ModuleExceptionTest, CarriesItsTextAndIsARuntimeError)
{
    try
    {
        throw ModuleException("Invalid message bus handle");
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_STREQ("Invalid message bus handle", error.what());
        return;
    }
    FAIL() << "ModuleException was not caught as std::runtime_error";
}
