#pragma once

#include <cstdint>

namespace Norvan
{

// Status codes of the host framework: 0 is success, every failure has the top
// bit set. The host defines the values; they cross the module boundary as-is.
using ModuleStatus = std::uint32_t;

enum ModuleStatusCode : ModuleStatus
{
    MODULE_STATUS_SUCCESS = 0x00000000u,
    MODULE_STATUS_NOT_SUPPORTED = 0x80000001u,
    MODULE_STATUS_UNSUCCESSFUL = 0x80000002u,
    MODULE_STATUS_BUFFER_TOO_SMALL = 0x80000003u,
    MODULE_STATUS_NOT_IMPLEMENTED = 0x80000004u,
    MODULE_STATUS_INVALID_BUFFER_SIZE = 0x80000005u,
    MODULE_STATUS_DATA_ERROR = 0x80000006u,
    MODULE_STATUS_INVALID_HANDLE = 0x80000007u,
    MODULE_STATUS_INVALID_PARAMETER = 0x80000008u,
    MODULE_STATUS_NO_MEMORY = 0x80000009u,
    MODULE_STATUS_NOT_FOUND = 0x8000000Au,
    MODULE_STATUS_ON_DEMAND_ENABLED = 0x8000000Bu,
    MODULE_STATUS_PROPERTY_NOT_FOUND = 0x8000000Cu,
    MODULE_STATUS_TIMEOUT = 0x8000000Du,
    MODULE_STATUS_NO_SUBSCRIBERS = 0x8000000Eu,
    MODULE_STATUS_UNKNOWN_EXCEPTION = 0x8000000Fu,
    MODULE_STATUS_DUPLICATE_MODULE = 0x80000010u,
    MODULE_STATUS_PARTIAL_SUCCESS = 0x80000011u,
    MODULE_STATUS_UWP_APP_NOT_INSTALLED = 0x80000012u,
    MODULE_STATUS_APP_SERVICE_UNAVAILABLE = 0x80000013u,
    MODULE_STATUS_APP_SERVICE_UNAUTHORIZED = 0x80000014u,
    MODULE_STATUS_SESSION_INVALID = 0x80000015u,
    // Not 0x80000016: the host skipped the range up to 0xFE.
    MODULE_STATUS_INVALID_STATE = 0x800000FFu,
};

// Static name of a status for log lines ("%ls(%lu)", name first).
// "MODULE_STATUS_UNKNOWN" for values the host does not define. Never fails,
// never allocates.
const wchar_t* moduleStatusName(ModuleStatus status) noexcept;

} // namespace Norvan
