#include "EtwEventDecoder.h"

#include "../common/Utf8.h"

#include <cstdio>
#include <cstring>

namespace EtwDecode
{

namespace
{

// Reads little-endian fields off the front of a byte range.
class Reader
{
public:
    Reader(const std::uint8_t* bytes, std::size_t size, std::string& error)
        : bytes_(bytes), size_(size), error_(error)
    {
    }

    template <typename T> bool Value(T& value, const char* field)
    {
        if (!Need(sizeof(T), field))
        {
            return false;
        }
        std::uint64_t assembled = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
        {
            assembled |= static_cast<std::uint64_t>(bytes_[offset_ + i]) << (8 * i);
        }
        value = static_cast<T>(assembled);
        offset_ += sizeof(T);
        return true;
    }

    bool Bytes(std::uint8_t* out, std::size_t count, const char* field)
    {
        if (!Need(count, field))
        {
            return false;
        }
        std::memcpy(out, bytes_ + offset_, count);
        offset_ += count;
        return true;
    }

    bool Counted(std::u16string& text, const char* field)
    {
        std::uint16_t count = 0;
        if (!Value(count, field))
        {
            return false;
        }
        if (!Need(count * 2u, field))
        {
            return false;
        }
        text.clear();
        for (std::uint16_t i = 0; i < count; ++i)
        {
            text.push_back(static_cast<char16_t>(bytes_[offset_] | (bytes_[offset_ + 1] << 8)));
            offset_ += 2;
        }
        return true;
    }

    std::size_t Offset() const { return offset_; }
    std::size_t Remaining() const { return size_ - offset_; }

private:
    bool Need(std::size_t count, const char* field)
    {
        if (Remaining() < count)
        {
            error_ = std::string(field) + ": needs " + std::to_string(count) + " bytes at offset " +
                     std::to_string(offset_) + ", " + std::to_string(Remaining()) + " left";
            return false;
        }
        return true;
    }

    const std::uint8_t* bytes_;
    std::size_t size_;
    std::size_t offset_ = 0;
    std::string& error_;
};

std::string Quoted(const std::string& utf8)
{
    std::string out = "\"";
    for (unsigned char c : utf8)
    {
        switch (c)
        {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
            {
                char escape[8];
                std::snprintf(escape, sizeof(escape), "\\x%02X", c);
                out += escape;
            }
            else
            {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void Line(std::string& out, const char* name, const std::string& value)
{
    out += name;
    out += ": ";
    out += value;
    out += '\n';
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

bool DecodeHeader(const std::uint8_t* bytes, std::size_t size, EventHeader& header, std::string& error)
{
    Reader in(bytes, size, error);
    return in.Value(header.size, "header.size") && in.Value(header.headerType, "header.headerType") &&
           in.Value(header.markerFlags, "header.markerFlags") && in.Value(header.type, "header.type") &&
           in.Value(header.level, "header.level") && in.Value(header.version, "header.version") &&
           in.Value(header.threadId, "header.threadId") && in.Value(header.processId, "header.processId") &&
           in.Value(header.timeStamp, "header.timeStamp") && in.Bytes(header.guid, 16, "header.guid") &&
           in.Value(header.clientContext, "header.clientContext") && in.Value(header.flags, "header.flags");
}

bool DecodeData(const std::uint8_t* bytes, std::size_t size, EventRecord& record, std::string& error)
{
    Reader in(bytes, size, error);
    if (!(in.Value(record.processId, "processId") && in.Value(record.threadId, "threadId") &&
          in.Counted(record.processFileName, "processFileName") &&
          in.Counted(record.sourceFile, "sourceFile") && in.Counted(record.function, "function") &&
          in.Value(record.line, "line") && in.Counted(record.moduleFileName, "moduleFileName") &&
          in.Counted(record.moduleVersion, "moduleVersion") &&
          in.Counted(record.applicationName, "applicationName") &&
          in.Value(record.messageLength, "messageLength")))
    {
        return false;
    }
    if (record.messageLength != in.Remaining())
    {
        error = "message: messageLength says " + std::to_string(record.messageLength) + " bytes, " +
                std::to_string(in.Remaining()) + " follow the record";
        return false;
    }
    record.message.assign(reinterpret_cast<const char*>(bytes + in.Offset()), in.Remaining());
    return true;
}

bool DecodeEvent(const std::uint8_t* bytes, std::size_t size, bool withHeader, DecodedEvent& event,
                 std::string& error)
{
    event = DecodedEvent();
    event.hasHeader = withHeader;
    if (withHeader)
    {
        if (!DecodeHeader(bytes, size, event.header, error))
        {
            return false;
        }
        bytes += kHeaderBytes;
        size -= kHeaderBytes;
    }
    return DecodeData(bytes, size, event.record, error);
}

bool ParseHex(const std::string& text, std::vector<std::uint8_t>& bytes, std::string& error)
{
    bytes.clear();
    for (std::size_t i = 0; i < text.size();)
    {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
        {
            ++i;
            continue;
        }
        const int high = HexDigit(c);
        const int low = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
        if (high < 0 || low < 0)
        {
            error = "hex input: no pair of hexadecimal digits at character " + std::to_string(i);
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
    }
    return true;
}

std::string ToUtf8(const std::u16string& text)
{
    return ToolText::Utf16ToUtf8(text);
}

std::string GuidText(const std::uint8_t (&guid)[16])
{
    char text[40];
    std::snprintf(text, sizeof(text),
                  "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid[3], guid[2],
                  guid[1], guid[0], guid[5], guid[4], guid[7], guid[6], guid[8], guid[9], guid[10], guid[11],
                  guid[12], guid[13], guid[14], guid[15]);
    return text;
}

std::string FormatEvent(const DecodedEvent& event)
{
    std::string out;
    if (event.hasHeader)
    {
        const EventHeader& h = event.header;
        char flags[16];
        std::snprintf(flags, sizeof(flags), "0x%08X", static_cast<unsigned>(h.flags));
        Line(out, "header.size", std::to_string(h.size));
        Line(out, "header.headerType", std::to_string(h.headerType));
        Line(out, "header.markerFlags", std::to_string(h.markerFlags));
        Line(out, "header.type", std::to_string(h.type));
        Line(out, "header.level", std::to_string(h.level));
        Line(out, "header.version", std::to_string(h.version));
        Line(out, "header.threadId", std::to_string(h.threadId));
        Line(out, "header.processId", std::to_string(h.processId));
        Line(out, "header.timeStamp", std::to_string(h.timeStamp));
        Line(out, "header.guid", GuidText(h.guid));
        Line(out, "header.clientContext", std::to_string(h.clientContext));
        Line(out, "header.flags", flags);
    }
    const EventRecord& r = event.record;
    Line(out, "processId", std::to_string(r.processId));
    Line(out, "threadId", std::to_string(r.threadId));
    Line(out, "processFileName", Quoted(ToUtf8(r.processFileName)));
    Line(out, "sourceFile", Quoted(ToUtf8(r.sourceFile)));
    Line(out, "function", Quoted(ToUtf8(r.function)));
    Line(out, "line", std::to_string(r.line));
    Line(out, "moduleFileName", Quoted(ToUtf8(r.moduleFileName)));
    Line(out, "moduleVersion", Quoted(ToUtf8(r.moduleVersion)));
    Line(out, "applicationName", Quoted(ToUtf8(r.applicationName)));
    Line(out, "messageLength", std::to_string(r.messageLength));
    Line(out, "message", Quoted(r.message));
    return out;
}

} // namespace EtwDecode
