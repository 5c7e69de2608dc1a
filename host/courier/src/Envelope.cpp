#include "Envelope.h"

#include <cstring>

namespace courier::detail
{
namespace
{
constexpr std::size_t kOffsetExtensionTag = 100;
constexpr std::size_t kOffsetExtensionLength = 102;
constexpr std::uint16_t kExtensionTag = 11;
constexpr std::uint16_t kExtensionLength = 8;

template <typename T> T readField(const unsigned char* record, std::size_t offset) noexcept
{
    T value;
    std::memcpy(&value, record + offset, sizeof(T));
    return value;
}

template <typename T> void writeField(unsigned char* record, std::size_t offset, T value) noexcept
{
    std::memcpy(record + offset, &value, sizeof(T));
}

void writeExtension(unsigned char* record, std::uint32_t sessionId) noexcept
{
    writeField<std::uint16_t>(record, kOffsetVersion, 2);
    writeField<std::uint16_t>(record, kOffsetExtensionTag, kExtensionTag);
    writeField<std::uint16_t>(record, kOffsetExtensionLength, kExtensionLength);
    writeField<std::uint32_t>(record, kOffsetSessionId, sessionId);
}
} // namespace

void normalizeRecord(const void* record, std::size_t textUnits, unsigned char (&out)[kRecordSizeV2]) noexcept
{
    std::memset(out, 0, sizeof(out));
    if (record == nullptr)
    {
        writeField<std::uint16_t>(out, kOffsetKind, 1);
        // Three terminating nulls: 6 bytes.
        writeField<std::uint32_t>(out, kOffsetTotalSize,
                                  static_cast<std::uint32_t>(kRecordSizeV2 + 2 * textUnits + 6));
        writeExtension(out, 0);
        return;
    }
    const auto* bytes = static_cast<const unsigned char*>(record);
    if (readField<std::uint16_t>(bytes, kOffsetVersion) == 2)
    {
        std::memcpy(out, bytes, kRecordSizeV2);
        return;
    }
    std::memcpy(out, bytes, kRecordSizeV1);
    writeField<std::uint32_t>(out, kOffsetTotalSize,
                              readField<std::uint32_t>(out, kOffsetTotalSize) +
                                  static_cast<std::uint32_t>(kRecordSizeV2 - kRecordSizeV1));
    writeExtension(out, 0);
}

Envelope::Envelope(const void* record, const wchar_t* name, const wchar_t* source, const wchar_t* payload)
    : name_(name ? name : L""), source_(source ? source : L""), payload_(payload ? payload : L"")
{
    normalizeRecord(record, name_.size() + source_.size() + payload_.size(), record_);
}

std::uint32_t Envelope::flags() const noexcept
{
    return readField<std::uint32_t>(record_, kOffsetFlags);
}

std::uint64_t Envelope::replyRouting() const noexcept
{
    return readField<std::uint64_t>(record_, kOffsetReplyRouting);
}

void Envelope::setReplyRouting(std::uint64_t routing) noexcept
{
    writeField<std::uint64_t>(record_, kOffsetReplyRouting, routing);
}

} // namespace courier::detail
