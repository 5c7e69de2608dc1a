#include "message/JSONDocument.h"

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>

namespace Norvan
{
namespace internal
{
namespace
{

// Iterative mode accepts exactly the texts of the default mode without
// recursing per nesting level; raw unpaired surrogates are refused here, and
// escaped ones by the handler below.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag;

bool isHighSurrogate(wchar_t c) noexcept
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool isLowSurrogate(wchar_t c) noexcept
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Forwards parse events to the document while refusing what the document must
// never hold: nesting deeper than kMaxJSONDepth, strings that are not
// well-formed UTF-16, and non-finite numbers (which the writer cannot write).
class CheckedHandler
{
public:
    using Ch = wchar_t;

    explicit CheckedHandler(JSONDocument& document) : m_document(document)
    {
    }

    bool Null() { return m_document.Null(); }
    bool Bool(bool b) { return m_document.Bool(b); }
    bool Int(int i) { return m_document.Int(i); }
    bool Uint(unsigned u) { return m_document.Uint(u); }
    bool Int64(int64_t i) { return m_document.Int64(i); }
    bool Uint64(uint64_t u) { return m_document.Uint64(u); }
    bool Double(double d) { return std::isfinite(d) && m_document.Double(d); }
    bool RawNumber(const Ch* str, rapidjson::SizeType length, bool copy)
    {
        return m_document.RawNumber(str, length, copy);
    }
    bool String(const Ch* str, rapidjson::SizeType length, bool copy)
    {
        return isWellFormedUTF16(str, length) && m_document.String(str, length, copy);
    }
    bool Key(const Ch* str, rapidjson::SizeType length, bool copy)
    {
        return isWellFormedUTF16(str, length) && m_document.Key(str, length, copy);
    }
    bool StartObject() { return enter() && m_document.StartObject(); }
    bool EndObject(rapidjson::SizeType count)
    {
        --m_depth;
        return m_document.EndObject(count);
    }
    bool StartArray() { return enter() && m_document.StartArray(); }
    bool EndArray(rapidjson::SizeType count)
    {
        --m_depth;
        return m_document.EndArray(count);
    }

private:
    bool enter()
    {
        if (m_depth >= kMaxJSONDepth)
        {
            return false;
        }
        ++m_depth;
        return true;
    }

    JSONDocument& m_document;
    unsigned m_depth = 0;
};

template <typename Stream> bool parseStream(Stream& stream, JSONDocument& out)
{
    rapidjson::GenericReader<JSONEncoding, JSONEncoding> reader;
    bool parsed = false;
    auto generator = [&](JSONDocument& document) {
        CheckedHandler handler(document);
        parsed = !reader.Parse<kParseFlags>(stream, handler).IsError();
        return parsed;
    };
    out.Populate(generator);
    return parsed;
}

// Reads code units from a bounded buffer; reports NUL at the end as RapidJSON
// streams do.
class BoundedTextStream
{
public:
    using Ch = wchar_t;

    BoundedTextStream(const wchar_t* text, std::size_t length) : m_text(text), m_length(length)
    {
    }

    Ch Peek() const { return m_position < m_length ? m_text[m_position] : L'\0'; }
    Ch Take() { return m_position < m_length ? m_text[m_position++] : L'\0'; }
    std::size_t Tell() const { return m_position; }

    // Input only; the reader never writes to its stream without the in-situ flag.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }

private:
    const wchar_t* m_text;
    std::size_t m_length;
    std::size_t m_position = 0;
};

// UTF-16LE code units from a file through a 256-byte buffer. A leading
// byte-order mark is skipped. The stream ends at the end of the file, at an odd
// final byte or at a NUL code unit; only the first counts as a clean end.
class UTF16LEFileStream
{
public:
    using Ch = wchar_t;

    explicit UTF16LEFileStream(std::FILE* file) : m_file(file)
    {
        m_current = next();
        if (m_current == 0xFEFF)
        {
            m_current = next();
        }
    }

    Ch Peek() const { return m_current; }
    Ch Take()
    {
        const Ch c = m_current;
        if (!m_stopped)
        {
            m_current = next();
            ++m_count;
        }
        return c;
    }
    std::size_t Tell() const { return m_count; }

    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }

    bool endedCleanly() const { return m_stopped && m_cleanEnd; }

private:
    int nextByte()
    {
        if (m_position == m_filled)
        {
            m_filled = std::fread(m_buffer, 1, sizeof(m_buffer), m_file);
            m_position = 0;
            if (m_filled == 0)
            {
                return -1;
            }
        }
        return static_cast<unsigned char>(m_buffer[m_position++]);
    }

    Ch next()
    {
        if (m_stopped)
        {
            return L'\0';
        }
        const int low = nextByte();
        if (low < 0)
        {
            m_stopped = true;
            m_cleanEnd = true;
            return L'\0';
        }
        const int high = nextByte();
        if (high < 0)
        {
            m_stopped = true;
            return L'\0';
        }
        const Ch c = static_cast<Ch>(low | (high << 8));
        if (c == L'\0')
        {
            m_stopped = true;
        }
        return c;
    }

    std::FILE* m_file;
    char m_buffer[256];
    std::size_t m_filled = 0;
    std::size_t m_position = 0;
    std::size_t m_count = 0;
    Ch m_current = L'\0';
    bool m_stopped = false;
    bool m_cleanEnd = false;
};

} // namespace

bool isWellFormedUTF16(const wchar_t* text, std::size_t length) noexcept
{
    for (std::size_t i = 0; i < length; ++i)
    {
        if (isHighSurrogate(text[i]))
        {
            if (i + 1 == length || !isLowSurrogate(text[i + 1]))
            {
                return false;
            }
            ++i;
        }
        else if (isLowSurrogate(text[i]))
        {
            return false;
        }
    }
    return true;
}

bool parseJSONText(const wchar_t* text, std::size_t length, JSONDocument& out)
{
    if (text == nullptr)
    {
        return false;
    }
    std::size_t end = 0;
    while (end < length && text[end] != L'\0')
    {
        ++end;
    }
    for (std::size_t i = end; i < length; ++i)
    {
        if (text[i] != L'\0')
        {
            return false;
        }
    }
    BoundedTextStream stream(text, end);
    return parseStream(stream, out);
}

bool parseJSONFile(std::FILE* file, JSONDocument& out)
{
    if (file == nullptr)
    {
        return false;
    }
    UTF16LEFileStream stream(file);
    // Parse aside so that a text followed by a NUL or a stray byte, which the
    // reader sees as a clean end, leaves `out` untouched.
    JSONDocument parsed;
    if (!parseStream(stream, parsed) || !stream.endedCleanly())
    {
        return false;
    }
    JSONValue copy(parsed, out.GetAllocator());
    static_cast<JSONValue&>(out) = copy;
    return true;
}

std::wstring toJSONText(const JSONValue& value)
{
    rapidjson::GenericStringBuffer<JSONEncoding> buffer;
    rapidjson::Writer<rapidjson::GenericStringBuffer<JSONEncoding>, JSONEncoding, JSONEncoding> writer(buffer);
    value.Accept(writer);
    return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
}

bool writeJSONFile(const JSONValue& value, std::FILE* file)
{
    if (file == nullptr)
    {
        return false;
    }
    const std::wstring text = toJSONText(value);
    unsigned char bytes[256];
    std::size_t used = 0;
    for (wchar_t c : text)
    {
        const unsigned unit = static_cast<unsigned>(c) & 0xFFFFu;
        bytes[used++] = static_cast<unsigned char>(unit & 0xFFu);
        bytes[used++] = static_cast<unsigned char>(unit >> 8);
        if (used == sizeof(bytes))
        {
            if (std::fwrite(bytes, 1, used, file) != used)
            {
                return false;
            }
            used = 0;
        }
    }
    return std::fwrite(bytes, 1, used, file) == used && std::fflush(file) == 0;
}

JSONValue makeJSONString(const wchar_t* text, std::size_t length, JSONAllocator& allocator)
{
    return JSONValue(text, static_cast<rapidjson::SizeType>(length), allocator);
}

const JSONValue* findJSONMember(const JSONValue& root, const wchar_t* name, std::size_t length)
{
    if (!root.IsObject() || name == nullptr)
    {
        return nullptr;
    }
    const JSONValue key(rapidjson::StringRef(name, length));
    const auto it = root.FindMember(key);
    return it == root.MemberEnd() ? nullptr : &it->value;
}

JSONValue* findJSONMember(JSONValue& root, const wchar_t* name, std::size_t length)
{
    return const_cast<JSONValue*>(findJSONMember(static_cast<const JSONValue&>(root), name, length));
}

void setJSONMember(JSONValue& root, JSONValue& name, JSONValue& value, JSONAllocator& allocator)
{
    if (!name.IsString())
    {
        return;
    }
    if (!root.IsObject())
    {
        root.SetObject();
    }
    const auto existing = root.FindMember(name);
    if (existing != root.MemberEnd())
    {
        root.RemoveMember(existing);
    }
    root.AddMember(name, value, allocator);
}

JSONValue* arrayMemberForAppend(JSONValue& root, const wchar_t* name, std::size_t length, JSONAllocator& allocator)
{
    if (JSONValue* member = findJSONMember(root, name, length))
    {
        return member->IsArray() ? member : nullptr;
    }
    JSONValue key = makeJSONString(name, length, allocator);
    JSONValue array(rapidjson::kArrayType);
    setJSONMember(root, key, array, allocator);
    return findJSONMember(root, name, length);
}

} // namespace internal
} // namespace Norvan
