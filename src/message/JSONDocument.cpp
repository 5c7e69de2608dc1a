#include "message/JSONDocument.h"

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>

namespace Norvan
{
namespace internal
{
namespace
{

void* runtimeAllocate(std::size_t size)
{
    return std::malloc(size);
}

void* runtimeReallocate(void* block, std::size_t size)
{
    return std::realloc(block, size);
}

const JSONHeapFunctions kRuntimeHeap = {&runtimeAllocate, &runtimeReallocate};
std::atomic<const JSONHeapFunctions*> g_heap{&kRuntimeHeap};

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

    explicit CheckedHandler(JSONDocument& document) : m_document(document) {}

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
    JSONHeapAllocator heap;
    rapidjson::GenericReader<JSONEncoding, JSONEncoding, JSONHeapAllocator> reader(&heap);
    bool parsed = false;
    auto generator = [&](JSONDocument& document)
    {
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

    BoundedTextStream(const wchar_t* text, std::size_t length) : m_text(text), m_length(length) {}

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

// Room for the members and longer strings of a small payload. Every parser
// carries it, so it stays small; it saves the pool's usual first chunk
// (64 KB), which a message handler would otherwise take from the heap and give
// back for every message.
constexpr std::size_t kFirstChunkBytes = 1024;
// The chunk size RapidJSON's pool uses by default.
constexpr std::size_t kLaterChunkBytes = 64 * 1024;
// The first size of a document's parse stack, RapidJSON's default.
constexpr std::size_t kParseStackBytes = 1024;

// Destroyed in reverse: the document, then the pool (which gives back the
// chunks it added through `base`), then `base`.
struct SharedDocumentBlock
{
    SharedDocumentBlock()
        : allocator(firstChunk, sizeof(firstChunk), kLaterChunkBytes, &base),
          document(&allocator, kParseStackBytes, &base)
    {
    }
    SharedDocumentBlock(const SharedDocumentBlock&) = delete;
    SharedDocumentBlock& operator=(const SharedDocumentBlock&) = delete;

    JSONHeapAllocator base;
    alignas(std::max_align_t) unsigned char firstChunk[kFirstChunkBytes];
    JSONAllocator allocator;
    JSONDocument document;
};

} // namespace

void* JSONHeapAllocator::Malloc(std::size_t size)
{
    if (size == 0)
    {
        return nullptr;
    }
    void* block = g_heap.load()->allocate(size);
    if (block == nullptr)
    {
        throw std::bad_alloc();
    }
    return block;
}

void* JSONHeapAllocator::Realloc(void* block, std::size_t, std::size_t newSize)
{
    if (newSize == 0)
    {
        std::free(block);
        return nullptr;
    }
    void* grown = g_heap.load()->reallocate(block, newSize);
    if (grown == nullptr)
    {
        throw std::bad_alloc();
    }
    return grown;
}

void JSONHeapAllocator::Free(void* block) noexcept
{
    std::free(block);
}

const JSONHeapFunctions* setJSONHeapFunctionsForTest(const JSONHeapFunctions* functions) noexcept
{
    return g_heap.exchange(functions != nullptr ? functions : &kRuntimeHeap);
}

void copyJSONValue(const JSONValue& source, JSONDocument& out)
{
    auto generator = [&source](JSONDocument& document) { return source.Accept(document); };
    out.Populate(generator);
}

std::shared_ptr<JSONDocument> makeSharedJSONDocument()
{
    auto block = std::make_shared<SharedDocumentBlock>();
    return std::shared_ptr<JSONDocument>(block, &block->document);
}

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
    using Buffer = rapidjson::GenericStringBuffer<JSONEncoding, JSONHeapAllocator>;
    JSONHeapAllocator heap;
    Buffer buffer(&heap);
    rapidjson::Writer<Buffer, JSONEncoding, JSONEncoding, JSONHeapAllocator> writer(buffer, &heap);
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
    if (root.IsObject())
    {
        const auto existing = root.FindMember(name);
        if (existing != root.MemberEnd())
        {
            // The removal leaves room, so the append allocates nothing.
            root.RemoveMember(existing);
            root.AddMember(name, value, allocator);
            return;
        }
    }
    // RapidJSON raises an object's capacity before it allocates the larger
    // member array: an append whose allocation throws would leave the object
    // claiming room it does not have, and the next append would write past
    // its array. So the larger object is allocated aside, filled with
    // placeholders, and the members move into it once nothing can fail.
    const rapidjson::SizeType count = root.IsObject() ? root.MemberCount() : 0;
    JSONValue grown(rapidjson::kObjectType);
    for (rapidjson::SizeType i = 0; i <= count; ++i)
    {
        JSONValue placeholderName(rapidjson::kStringType);
        JSONValue placeholderValue;
        grown.AddMember(placeholderName, placeholderValue, allocator);
    }
    auto target = grown.MemberBegin();
    if (root.IsObject())
    {
        for (auto& member : root.GetObject())
        {
            target->name = member.name;
            target->value = member.value;
            ++target;
        }
    }
    target->name = name;
    target->value = value;
    root = grown;
}

void appendJSONArrayItem(JSONValue& root, const wchar_t* name, std::size_t length, JSONValue& value,
                         JSONAllocator& allocator)
{
    if (JSONValue* member = findJSONMember(root, name, length))
    {
        // An array raises its capacity only once the larger array is allocated.
        if (member->IsArray())
        {
            member->PushBack(value, allocator);
        }
        return;
    }
    // Built whole before it is set: a failure adds no empty array.
    JSONValue array(rapidjson::kArrayType);
    array.PushBack(value, allocator);
    JSONValue key = makeJSONString(name, length, allocator);
    setJSONMember(root, key, array, allocator);
}

} // namespace internal
} // namespace Norvan
