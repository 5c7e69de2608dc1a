#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hubhost
{

// What a script may choose about the message context record it sends.
struct RecordOptions
{
    bool present = true;       // false passes a null record
    std::uint16_t version = 2; // 1 gives the 100-byte form
    std::uint32_t flags = 0;
    std::uint32_t session = 0; // only the version 2 record has room for it
    std::uint64_t replyRouting = 0;
};

// The fields of a record the host looks at when it reports a message.
struct RecordView
{
    bool present = false;
    std::uint16_t version = 0;
    std::uint32_t flags = 0;
    std::uint32_t session = 0;
    std::uint64_t replyRouting = 0;
};

// An empty vector for a record that is not present.
std::vector<unsigned char> makeRecord(const RecordOptions& options, const std::wstring& name,
                                      const std::wstring& source, const std::wstring& payload);

// The record of an answer to a request whose record is given (not null): the
// request's own record (routing, session, host data) with the reply flag set,
// upgraded to the 108-byte form, and the size of the answer's strings.
std::vector<unsigned char> makeReplyRecord(const void* request, const std::wstring& name,
                                           const std::wstring& source, const std::wstring& payload);

// Reads the version, flags, routing and (for version 2) session of a record
// given by someone else; null gives a view with present = false.
RecordView readRecord(const void* record);

} // namespace hubhost
