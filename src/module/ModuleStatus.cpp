#include "module/ModuleStatus.h"

namespace Norvan
{

namespace
{
constexpr const wchar_t* kContiguousNames[] = {
    L"MODULE_STATUS_NOT_SUPPORTED",          // 0x80000001
    L"MODULE_STATUS_UNSUCCESSFUL",           // 0x80000002
    L"MODULE_STATUS_BUFFER_TOO_SMALL",       // 0x80000003
    L"MODULE_STATUS_NOT_IMPLEMENTED",        // 0x80000004
    L"MODULE_STATUS_INVALID_BUFFER_SIZE",    // 0x80000005
    L"MODULE_STATUS_DATA_ERROR",             // 0x80000006
    L"MODULE_STATUS_INVALID_HANDLE",         // 0x80000007
    L"MODULE_STATUS_INVALID_PARAMETER",      // 0x80000008
    L"MODULE_STATUS_NO_MEMORY",              // 0x80000009
    L"MODULE_STATUS_NOT_FOUND",              // 0x8000000A
    L"MODULE_STATUS_ON_DEMAND_ENABLED",      // 0x8000000B
    L"MODULE_STATUS_PROPERTY_NOT_FOUND",     // 0x8000000C
    L"MODULE_STATUS_TIMEOUT",                // 0x8000000D
    L"MODULE_STATUS_NO_SUBSCRIBERS",         // 0x8000000E
    L"MODULE_STATUS_UNKNOWN_EXCEPTION",      // 0x8000000F
    L"MODULE_STATUS_DUPLICATE_MODULE",       // 0x80000010
    L"MODULE_STATUS_PARTIAL_SUCCESS",        // 0x80000011
    L"MODULE_STATUS_UWP_APP_NOT_INSTALLED",  // 0x80000012
    L"MODULE_STATUS_APP_SERVICE_UNAVAILABLE", // 0x80000013
    L"MODULE_STATUS_APP_SERVICE_UNAUTHORIZED", // 0x80000014
    L"MODULE_STATUS_SESSION_INVALID",        // 0x80000015
};
constexpr ModuleStatus kFirstContiguous = MODULE_STATUS_NOT_SUPPORTED;
constexpr ModuleStatus kContiguousCount = sizeof(kContiguousNames) / sizeof(kContiguousNames[0]);
static_assert(kFirstContiguous + kContiguousCount - 1 == MODULE_STATUS_SESSION_INVALID,
              "status name table out of step with the codes");
} // namespace

const wchar_t* moduleStatusName(ModuleStatus status) noexcept
{
    if (status == MODULE_STATUS_SUCCESS)
    {
        return L"MODULE_STATUS_SUCCESS";
    }
    if (status == MODULE_STATUS_INVALID_STATE)
    {
        return L"MODULE_STATUS_INVALID_STATE";
    }
    if (status >= kFirstContiguous && status - kFirstContiguous < kContiguousCount)
    {
        return kContiguousNames[status - kFirstContiguous];
    }
    return L"MODULE_STATUS_UNKNOWN";
}

} // namespace Norvan
