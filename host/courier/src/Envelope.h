#pragma once

#include "courier/CourierApi.h"

#include <cstdint>
#include <string>

namespace courier::detail
{

// The bus's own copy of one published message: the publisher may free its
// strings and record as soon as publish returns, and every subscription that
// receives the message shares this one copy.
class Envelope
{
public:
    // record may be null (the default record is used). Strings may be null
    // (empty). Throws std::bad_alloc.
    Envelope(const void* record, const wchar_t* name, const wchar_t* source, const wchar_t* payload);

    const unsigned char* record() const noexcept { return record_; }
    const std::wstring& name() const noexcept { return name_; }
    const std::wstring& source() const noexcept { return source_; }
    const std::wstring& payload() const noexcept { return payload_; }

    std::uint32_t flags() const noexcept;
    std::uint64_t replyRouting() const noexcept;
    // Only while the envelope is not yet shared.
    void setReplyRouting(std::uint64_t routing) noexcept;

private:
    unsigned char record_[kRecordSizeV2];
    std::wstring name_;
    std::wstring source_;
    std::wstring payload_;
};

// Fills out with the version 2 form of a caller's record. Records of any
// version but 2 are read as 100 bytes only: that is all a version 1 caller
// owns. A null record gives the default one for a message whose three
// strings total textUnits UTF-16 code units.
void normalizeRecord(const void* record, std::size_t textUnits, unsigned char (&out)[kRecordSizeV2]) noexcept;

} // namespace courier::detail
