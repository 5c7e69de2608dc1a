#pragma once

// Decodes one event of the module's ETW provider from its bytes, as a trace
// consumer receives it: the 48-byte classic event header followed by the
// event's data, or the data alone. The data is the record (process and
// thread id, counted UTF-16 names, line, the byte length of the message)
// followed by the message in UTF-8. Plain C++: no Windows headers, so that
// the decoder builds for any system that holds a captured event.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace EtwDecode
{

constexpr std::size_t kHeaderBytes = 48;

// The classic event header (EVENT_TRACE_HEADER), field by field.
struct EventHeader
{
    std::uint16_t size = 0;
    std::uint8_t headerType = 0;
    std::uint8_t markerFlags = 0;
    std::uint8_t type = 0;
    std::uint8_t level = 0;
    std::uint16_t version = 0;
    std::uint32_t threadId = 0;
    std::uint32_t processId = 0;
    std::int64_t timeStamp = 0;
    std::uint8_t guid[16] = {};
    std::uint32_t clientContext = 0;
    std::uint32_t flags = 0;
};

struct EventRecord
{
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
    std::u16string processFileName;
    std::u16string sourceFile;
    std::u16string function;
    std::int32_t line = 0;
    std::u16string moduleFileName;
    std::u16string moduleVersion;
    std::u16string applicationName;
    std::uint64_t messageLength = 0;
    std::string message; // UTF-8, exactly messageLength bytes
};

struct DecodedEvent
{
    bool hasHeader = false;
    EventHeader header;
    EventRecord record;
};

// Each returns false with a sentence in error that names the field where the
// bytes ran out or did not fit; the output is then unspecified.
bool DecodeHeader(const std::uint8_t* bytes, std::size_t size, EventHeader& header, std::string& error);
// The data must end exactly where the message does.
bool DecodeData(const std::uint8_t* bytes, std::size_t size, EventRecord& record, std::string& error);
bool DecodeEvent(const std::uint8_t* bytes, std::size_t size, bool withHeader, DecodedEvent& event,
                 std::string& error);

// Hexadecimal digits, in pairs; white space between pairs is ignored.
bool ParseHex(const std::string& text, std::vector<std::uint8_t>& bytes, std::string& error);

// One "name: value" line per field, header fields first when present.
// Texts are quoted UTF-8, with control characters (the NUL of a cut
// message among them) written as escapes.
std::string FormatEvent(const DecodedEvent& event);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string ToUtf8(const std::u16string& text);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" from the GUID's in-memory bytes.
std::string GuidText(const std::uint8_t (&guid)[16]);

} // namespace EtwDecode
