#include "message/JSONParser.h"

#include <cmath>
#include <cwchar>

namespace Norvan
{

using internal::JSONDocument;
using internal::JSONValue;

namespace
{

std::size_t lengthOf(const wchar_t* text)
{
    return std::wcslen(text);
}

bool readBool(const JSONValue* found, bool& value)
{
    if (found == nullptr || !found->IsBool())
    {
        return false;
    }
    value = found->GetBool();
    return true;
}

bool readString(const JSONValue* found, std::wstring& value)
{
    if (found == nullptr || !found->IsString())
    {
        return false;
    }
    value.assign(found->GetString(), found->GetStringLength());
    return true;
}

bool readInt(const JSONValue* found, std::int32_t& value)
{
    if (found == nullptr || !found->IsInt())
    {
        return false;
    }
    value = found->GetInt();
    return true;
}

bool readInt64(const JSONValue* found, std::int64_t& value)
{
    if (found == nullptr || !found->IsInt64())
    {
        return false;
    }
    value = found->GetInt64();
    return true;
}

bool readUint(const JSONValue* found, std::uint32_t& value)
{
    if (found == nullptr || !found->IsUint())
    {
        return false;
    }
    value = found->GetUint();
    return true;
}

bool readUint64(const JSONValue* found, std::uint64_t& value)
{
    if (found == nullptr || !found->IsUint64())
    {
        return false;
    }
    value = found->GetUint64();
    return true;
}

bool readDouble(const JSONValue* found, double& value)
{
    if (found == nullptr || !found->IsDouble())
    {
        return false;
    }
    value = found->GetDouble();
    return true;
}

// The value an array element contributes to a keyed or unkeyed array read:
// the element itself, or the member `key` of an object element.
const JSONValue* arrayItem(const JSONValue& element, const wchar_t* key, std::size_t keyLength)
{
    if (key == nullptr || keyLength == 0)
    {
        return &element;
    }
    return internal::findJSONMember(element, key, keyLength);
}

JSONValue finiteOrNull(double value)
{
    JSONValue v;
    if (std::isfinite(value))
    {
        v.SetDouble(value);
    }
    return v;
}

} // namespace

JSONParser::JSONParser() : m_document(std::make_shared<JSONDocument>())
{
}

JSONParser::~JSONParser() = default;

bool JSONParser::parse(const std::wstring& text)
{
    JSONDocument parsed;
    if (!internal::parseJSONText(text.c_str(), text.size(), parsed))
    {
        return false;
    }
    // Swapping keeps the document shared with copies and drops the old pool.
    m_document->Swap(parsed);
    return true;
}

bool JSONParser::parse(const wchar_t* text)
{
    if (text == nullptr)
    {
        return false;
    }
    JSONDocument parsed;
    if (!internal::parseJSONText(text, lengthOf(text), parsed))
    {
        return false;
    }
    m_document->Swap(parsed);
    return true;
}

bool JSONParser::parseFile(std::FILE* file)
{
    JSONDocument parsed;
    if (!internal::parseJSONFile(file, parsed))
    {
        return false;
    }
    m_document->Swap(parsed);
    return true;
}

void JSONParser::toString(std::wstring& text) const
{
    text = internal::toJSONText(*m_document);
}

bool JSONParser::writeFile(std::FILE* file) const
{
    return internal::writeJSONFile(*m_document, file);
}

const JSONValue* JSONParser::member(const wchar_t* name, std::size_t length) const
{
    return internal::findJSONMember(*m_document, name, length);
}

bool JSONParser::getBool(const std::wstring& name, bool& value) const
{
    return readBool(member(name.c_str(), name.size()), value);
}

bool JSONParser::getBool(const wchar_t* name, bool& value) const
{
    return name != nullptr && readBool(member(name, lengthOf(name)), value);
}

bool JSONParser::getString(const std::wstring& name, std::wstring& value) const
{
    return readString(member(name.c_str(), name.size()), value);
}

bool JSONParser::getString(const wchar_t* name, std::wstring& value) const
{
    return name != nullptr && readString(member(name, lengthOf(name)), value);
}

bool JSONParser::getInt(const std::wstring& name, std::int32_t& value) const
{
    return readInt(member(name.c_str(), name.size()), value);
}

bool JSONParser::getInt(const wchar_t* name, std::int32_t& value) const
{
    return name != nullptr && readInt(member(name, lengthOf(name)), value);
}

bool JSONParser::getInt64(const std::wstring& name, std::int64_t& value) const
{
    return readInt64(member(name.c_str(), name.size()), value);
}

bool JSONParser::getInt64(const wchar_t* name, std::int64_t& value) const
{
    return name != nullptr && readInt64(member(name, lengthOf(name)), value);
}

bool JSONParser::getUint(const std::wstring& name, std::uint32_t& value) const
{
    return readUint(member(name.c_str(), name.size()), value);
}

bool JSONParser::getUint(const wchar_t* name, std::uint32_t& value) const
{
    return name != nullptr && readUint(member(name, lengthOf(name)), value);
}

bool JSONParser::getUint64(const std::wstring& name, std::uint64_t& value) const
{
    return readUint64(member(name.c_str(), name.size()), value);
}

bool JSONParser::getUint64(const wchar_t* name, std::uint64_t& value) const
{
    return name != nullptr && readUint64(member(name, lengthOf(name)), value);
}

bool JSONParser::getDouble(const std::wstring& name, double& value) const
{
    return readDouble(member(name.c_str(), name.size()), value);
}

bool JSONParser::getDouble(const wchar_t* name, double& value) const
{
    return name != nullptr && readDouble(member(name, lengthOf(name)), value);
}

bool JSONParser::getStringArrayValue(const wchar_t* name, std::size_t length, std::vector<std::wstring>& values,
                                     const wchar_t* key, std::size_t keyLength) const
{
    const JSONValue* found = member(name, length);
    if (found == nullptr || !found->IsArray())
    {
        return false;
    }
    for (const JSONValue& element : found->GetArray())
    {
        const JSONValue* item = arrayItem(element, key, keyLength);
        if (item == nullptr || !item->IsString())
        {
            return false;
        }
        values.emplace_back(item->GetString(), item->GetStringLength());
    }
    return true;
}

bool JSONParser::getStringArray(const std::wstring& name, std::vector<std::wstring>& values,
                                const std::wstring& key) const
{
    return getStringArrayValue(name.c_str(), name.size(), values, key.c_str(), key.size());
}

bool JSONParser::getStringArray(const wchar_t* name, std::vector<std::wstring>& values, const wchar_t* key) const
{
    return name != nullptr &&
           getStringArrayValue(name, lengthOf(name), values, key, key == nullptr ? 0 : lengthOf(key));
}

bool JSONParser::getObjectArrayValue(const wchar_t* name, std::size_t length, std::vector<std::wstring>& values) const
{
    const JSONValue* found = member(name, length);
    if (found == nullptr || !found->IsArray())
    {
        return false;
    }
    for (const JSONValue& element : found->GetArray())
    {
        if (!element.IsObject())
        {
            return false;
        }
        // Rebuilt through the setters, so a name that occurs twice ends up
        // once, with its last value, at the end.
        JSONParser rebuilt;
        // An element without members is still an object, not the null of a new parser.
        rebuilt.m_document->SetObject();
        for (const auto& m : element.GetObject())
        {
            const std::wstring memberName(m.name.GetString(), m.name.GetStringLength());
            if (m.value.IsString())
            {
                rebuilt.setString(memberName, std::wstring(m.value.GetString(), m.value.GetStringLength()));
            }
            else
            {
                rebuilt.setJson(memberName, internal::toJSONText(m.value));
            }
        }
        std::wstring text;
        rebuilt.toString(text);
        values.push_back(std::move(text));
    }
    return true;
}

bool JSONParser::getObjectArray(const std::wstring& name, std::vector<std::wstring>& values) const
{
    return getObjectArrayValue(name.c_str(), name.size(), values);
}

bool JSONParser::getObjectArray(const wchar_t* name, std::vector<std::wstring>& values) const
{
    return name != nullptr && getObjectArrayValue(name, lengthOf(name), values);
}

bool JSONParser::getIntArrayValue(const wchar_t* name, std::size_t length, std::vector<std::int32_t>& values,
                                  const wchar_t* key, std::size_t keyLength) const
{
    const JSONValue* found = member(name, length);
    if (found == nullptr || !found->IsArray())
    {
        return false;
    }
    for (const JSONValue& element : found->GetArray())
    {
        const JSONValue* item = arrayItem(element, key, keyLength);
        if (item == nullptr || !item->IsInt())
        {
            return false;
        }
        values.push_back(item->GetInt());
    }
    return true;
}

bool JSONParser::getIntArray(const std::wstring& name, std::vector<std::int32_t>& values,
                             const std::wstring& key) const
{
    return getIntArrayValue(name.c_str(), name.size(), values, key.c_str(), key.size());
}

bool JSONParser::getIntArray(const wchar_t* name, std::vector<std::int32_t>& values, const wchar_t* key) const
{
    return name != nullptr && getIntArrayValue(name, lengthOf(name), values, key, key == nullptr ? 0 : lengthOf(key));
}

bool JSONParser::getValueTextValue(const wchar_t* name, std::size_t length, std::wstring& value) const
{
    const JSONValue* found = member(name, length);
    if (found == nullptr)
    {
        return false;
    }
    if (found->IsNull())
    {
        value.clear();
    }
    else if (found->IsString())
    {
        value.assign(found->GetString(), found->GetStringLength());
    }
    else
    {
        value = internal::toJSONText(*found);
    }
    return true;
}

bool JSONParser::getValueText(const std::wstring& name, std::wstring& value) const
{
    return getValueTextValue(name.c_str(), name.size(), value);
}

bool JSONParser::getValueText(const wchar_t* name, std::wstring& value) const
{
    return name != nullptr && getValueTextValue(name, lengthOf(name), value);
}

void JSONParser::setValue(const wchar_t* name, std::size_t length, JSONValue& value)
{
    auto& allocator = m_document->GetAllocator();
    JSONValue key = internal::makeJSONString(name, length, allocator);
    internal::setJSONMember(*m_document, key, value, allocator);
}

void JSONParser::setBool(const std::wstring& name, bool value)
{
    JSONValue v(value);
    setValue(name.c_str(), name.size(), v);
}

void JSONParser::setBool(const wchar_t* name, bool value)
{
    if (name != nullptr)
    {
        JSONValue v(value);
        setValue(name, lengthOf(name), v);
    }
}

void JSONParser::setStringValue(const wchar_t* name, std::size_t nameLength, const wchar_t* text,
                                std::size_t textLength)
{
    JSONValue v = internal::makeJSONString(text, textLength, m_document->GetAllocator());
    setValue(name, nameLength, v);
}

void JSONParser::setString(const std::wstring& name, const std::wstring& value)
{
    setStringValue(name.c_str(), name.size(), value.c_str(), value.size());
}

void JSONParser::setString(const std::wstring& name, const wchar_t* value)
{
    if (value != nullptr)
    {
        setStringValue(name.c_str(), name.size(), value, lengthOf(value));
    }
}

void JSONParser::setString(const wchar_t* name, const std::wstring& value)
{
    if (name != nullptr)
    {
        setStringValue(name, lengthOf(name), value.c_str(), value.size());
    }
}

void JSONParser::setString(const wchar_t* name, const wchar_t* value)
{
    if (name != nullptr && value != nullptr)
    {
        setStringValue(name, lengthOf(name), value, lengthOf(value));
    }
}

void JSONParser::setInt(const std::wstring& name, std::int32_t value)
{
    JSONValue v(value);
    setValue(name.c_str(), name.size(), v);
}

void JSONParser::setInt(const wchar_t* name, std::int32_t value)
{
    if (name != nullptr)
    {
        JSONValue v(value);
        setValue(name, lengthOf(name), v);
    }
}

void JSONParser::setInt64(const std::wstring& name, std::int64_t value)
{
    JSONValue v(value);
    setValue(name.c_str(), name.size(), v);
}

void JSONParser::setInt64(const wchar_t* name, std::int64_t value)
{
    if (name != nullptr)
    {
        JSONValue v(value);
        setValue(name, lengthOf(name), v);
    }
}

void JSONParser::setUint(const std::wstring& name, std::uint32_t value)
{
    JSONValue v(value);
    setValue(name.c_str(), name.size(), v);
}

void JSONParser::setUint(const wchar_t* name, std::uint32_t value)
{
    if (name != nullptr)
    {
        JSONValue v(value);
        setValue(name, lengthOf(name), v);
    }
}

void JSONParser::setUint64(const std::wstring& name, std::uint64_t value)
{
    JSONValue v(value);
    setValue(name.c_str(), name.size(), v);
}

void JSONParser::setUint64(const wchar_t* name, std::uint64_t value)
{
    if (name != nullptr)
    {
        JSONValue v(value);
        setValue(name, lengthOf(name), v);
    }
}

void JSONParser::setDouble(const std::wstring& name, double value)
{
    JSONValue v = finiteOrNull(value);
    setValue(name.c_str(), name.size(), v);
}

void JSONParser::setDouble(const wchar_t* name, double value)
{
    if (name != nullptr)
    {
        JSONValue v = finiteOrNull(value);
        setValue(name, lengthOf(name), v);
    }
}

void JSONParser::setIntArray(const std::wstring& name, const std::vector<std::int32_t>& values)
{
    auto& allocator = m_document->GetAllocator();
    JSONValue array(rapidjson::kArrayType);
    array.Reserve(static_cast<rapidjson::SizeType>(values.size()), allocator);
    for (std::int32_t number : values)
    {
        array.PushBack(number, allocator);
    }
    setValue(name.c_str(), name.size(), array);
}

void JSONParser::setIntArray(const wchar_t* name, const std::vector<std::int32_t>& values)
{
    if (name != nullptr)
    {
        setIntArray(std::wstring(name), values);
    }
}

void JSONParser::setStringArrayValue(const wchar_t* name, std::size_t length, const std::vector<std::wstring>& values)
{
    auto& allocator = m_document->GetAllocator();
    JSONValue array(rapidjson::kArrayType);
    array.Reserve(static_cast<rapidjson::SizeType>(values.size()), allocator);
    for (const std::wstring& text : values)
    {
        array.PushBack(internal::makeJSONString(text.c_str(), text.size(), allocator), allocator);
    }
    setValue(name, length, array);
}

void JSONParser::setStringArray(const std::wstring& name, const std::vector<std::wstring>& values)
{
    setStringArrayValue(name.c_str(), name.size(), values);
}

void JSONParser::setStringArray(const wchar_t* name, const std::vector<std::wstring>& values)
{
    if (name != nullptr)
    {
        setStringArrayValue(name, lengthOf(name), values);
    }
}

void JSONParser::setStringArray(const wchar_t* name, const std::vector<const wchar_t*>& values)
{
    if (name == nullptr)
    {
        return;
    }
    auto& allocator = m_document->GetAllocator();
    JSONValue array(rapidjson::kArrayType);
    for (const wchar_t* text : values)
    {
        if (text != nullptr)
        {
            array.PushBack(internal::makeJSONString(text, lengthOf(text), allocator), allocator);
        }
    }
    setValue(name, lengthOf(name), array);
}

void JSONParser::appendValue(const wchar_t* name, std::size_t length, JSONValue& value)
{
    auto& allocator = m_document->GetAllocator();
    if (JSONValue* array = internal::arrayMemberForAppend(*m_document, name, length, allocator))
    {
        array->PushBack(value, allocator);
    }
}

void JSONParser::appendStringItemValue(const wchar_t* name, std::size_t nameLength, const wchar_t* text,
                                       std::size_t textLength, const wchar_t* key, std::size_t keyLength)
{
    auto& allocator = m_document->GetAllocator();
    JSONValue item = internal::makeJSONString(text, textLength, allocator);
    if (key != nullptr && keyLength != 0)
    {
        JSONValue object(rapidjson::kObjectType);
        object.AddMember(internal::makeJSONString(key, keyLength, allocator), item, allocator);
        appendValue(name, nameLength, object);
    }
    else
    {
        appendValue(name, nameLength, item);
    }
}

void JSONParser::appendStringItem(const std::wstring& name, const std::wstring& text, const std::wstring& key)
{
    appendStringItemValue(name.c_str(), name.size(), text.c_str(), text.size(), key.c_str(), key.size());
}

void JSONParser::appendStringItem(const wchar_t* name, const wchar_t* text, const wchar_t* key)
{
    if (name != nullptr && text != nullptr)
    {
        appendStringItemValue(name, lengthOf(name), text, lengthOf(text), key, key == nullptr ? 0 : lengthOf(key));
    }
}

bool JSONParser::parseValue(const std::wstring& json, JSONDocument& parsed) const
{
    return internal::parseJSONText(json.c_str(), json.size(), parsed);
}

void JSONParser::setJson(const std::wstring& name, const std::wstring& json)
{
    // Parsed straight into this document's pool so the value can be moved in.
    JSONDocument parsed(&m_document->GetAllocator());
    if (parseValue(json, parsed))
    {
        setValue(name.c_str(), name.size(), parsed);
    }
}

void JSONParser::appendJson(const std::wstring& name, const std::wstring& json)
{
    JSONDocument parsed(&m_document->GetAllocator());
    if (parseValue(json, parsed))
    {
        appendValue(name.c_str(), name.size(), parsed);
    }
}

void JSONParser::clear()
{
    if (m_document->IsObject())
    {
        m_document->RemoveAllMembers();
    }
}

bool JSONParser::isEmpty() const
{
    return !(m_document->IsObject() && m_document->MemberCount() > 0);
}

} // namespace Norvan
