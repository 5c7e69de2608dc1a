#pragma once

#include <cstddef>
#include <cstdint>

namespace Norvan
{

// The message context record that travels with every message and that the
// host bus reads and writes byte for byte: little-endian, packed. A version 1
// record ends before the extension at offset 100.
#pragma pack(push, 1)
struct MessageContext
{
    std::uint16_t kind;
    // Record size plus the three strings in bytes, each with its terminator.
    std::uint32_t totalSize;
    std::uint32_t flags;
    std::uint16_t version;
    // Owned by the host framework; carried unchanged.
    std::uint8_t hostData[80];
    // Routes a reply back to its requester.
    std::uint64_t replyRouting;
    std::uint16_t extensionTag;
    std::uint16_t extensionLength;
    // Windows session of the message's scope; 0 for none.
    std::uint32_t sessionId;
};
#pragma pack(pop)

static_assert(sizeof(MessageContext) == 108, "the host reads exactly 108 bytes");
static_assert(offsetof(MessageContext, kind) == 0, "host layout");
static_assert(offsetof(MessageContext, totalSize) == 2, "host layout");
static_assert(offsetof(MessageContext, flags) == 6, "host layout");
static_assert(offsetof(MessageContext, version) == 10, "host layout");
static_assert(offsetof(MessageContext, hostData) == 12, "host layout");
static_assert(offsetof(MessageContext, replyRouting) == 92, "host layout");
static_assert(offsetof(MessageContext, extensionTag) == 100, "host layout");
static_assert(offsetof(MessageContext, extensionLength) == 102, "host layout");
static_assert(offsetof(MessageContext, sessionId) == 104, "host layout");

constexpr std::size_t kMessageContextSizeV1 = 100;
constexpr std::size_t kMessageContextSizeV2 = sizeof(MessageContext);
static_assert(kMessageContextSizeV1 == offsetof(MessageContext, extensionTag),
              "version 1 ends at the extension");

constexpr std::uint16_t kMessageContextVersion1 = 1;
constexpr std::uint16_t kMessageContextVersion2 = 2;

// The only flag bits the module interprets; every other bit is the host's.
constexpr std::uint32_t kMessageFlagReply = 0x01;
constexpr std::uint32_t kMessageFlagNoCopy = 0x08;
constexpr std::uint32_t kMessageFlagCopyPublished = 0x10;

// The record every new message starts from.
constexpr MessageContext kDefaultMessageContext = {
    1,                       // kind
    0,                       // totalSize: depends on the strings
    0,                       // flags
    kMessageContextVersion2, // version
    {},                      // host data
    0,                       // replyRouting
    11,                      // extension tag
    8,                       // extension length
    0,                       // sessionId
};

} // namespace Norvan
