#include "ContextRecord.h"

#include "courier/CourierApi.h"

#include <cstring>

namespace hubhost
{

namespace
{
template <typename T> void put(std::vector<unsigned char>& record, std::size_t offset, T value)
{
    std::memcpy(record.data() + offset, &value, sizeof(value));
}

template <typename T> T get(const unsigned char* record, std::size_t offset)
{
    T value;
    std::memcpy(&value, record + offset, sizeof(value));
    return value;
}
} // namespace

std::vector<unsigned char> makeRecord(const RecordOptions& options, const std::wstring& name,
                                      const std::wstring& source, const std::wstring& payload)
{
    if (!options.present)
    {
        return {};
    }
    const bool v2 = options.version >= 2;
    const std::size_t size = v2 ? courier::kRecordSizeV2 : courier::kRecordSizeV1;
    std::vector<unsigned char> record(size, 0);
    const std::uint32_t total =
        static_cast<std::uint32_t>(size + 2 * (name.size() + source.size() + payload.size()) + 6);
    put<std::uint16_t>(record, courier::kOffsetKind, 1);
    put<std::uint32_t>(record, courier::kOffsetTotalSize, total);
    put<std::uint32_t>(record, courier::kOffsetFlags, options.flags);
    put<std::uint16_t>(record, courier::kOffsetVersion, options.version);
    put<std::uint64_t>(record, courier::kOffsetReplyRouting, options.replyRouting);
    if (v2)
    {
        put<std::uint16_t>(record, 100, 11); // extension tag
        put<std::uint16_t>(record, 102, 8);  // extension length
        put<std::uint32_t>(record, courier::kOffsetSessionId, options.session);
    }
    return record;
}

std::vector<unsigned char> makeReplyRecord(const void* request, const std::wstring& name,
                                           const std::wstring& source, const std::wstring& payload)
{
    const RecordView view = readRecord(request);
    const std::size_t size = view.version == 2 ? courier::kRecordSizeV2 : courier::kRecordSizeV1;
    std::vector<unsigned char> reply(courier::kRecordSizeV2, 0);
    std::memcpy(reply.data(), request, size);
    const std::vector<unsigned char> fresh = makeRecord(RecordOptions(), name, source, payload);
    if (size == courier::kRecordSizeV1)
    {
        // Upgrade to the 108-byte form with an empty session.
        std::memcpy(reply.data() + courier::kRecordSizeV1, fresh.data() + courier::kRecordSizeV1,
                    courier::kRecordSizeV2 - courier::kRecordSizeV1);
        put<std::uint16_t>(reply, courier::kOffsetVersion, 2);
    }
    std::memcpy(reply.data() + courier::kOffsetTotalSize, fresh.data() + courier::kOffsetTotalSize, 4);
    put<std::uint32_t>(reply, courier::kOffsetFlags,
                       (view.flags | courier::kFlagReply) & ~courier::kFlagCopyPublished);
    return reply;
}

RecordView readRecord(const void* record)
{
    RecordView view;
    if (record == nullptr)
    {
        return view;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(record);
    view.present = true;
    view.version = get<std::uint16_t>(bytes, courier::kOffsetVersion);
    view.flags = get<std::uint32_t>(bytes, courier::kOffsetFlags);
    view.replyRouting = get<std::uint64_t>(bytes, courier::kOffsetReplyRouting);
    if (view.version == 2)
    {
        view.session = get<std::uint32_t>(bytes, courier::kOffsetSessionId);
    }
    return view;
}

} // namespace hubhost
