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

// The member must be an array; every element (or, with a key, the member `key`
// of every element) must be there and `fits` must hold for it. The first that
// does not ends the read with false, keeping what `add` took before it.
template <typename Add>
bool readArrayItems(const JSONValue* found, const wchar_t* key, std::size_t keyLength,
                    bool (JSONValue::*fits)() const, Add add)
{
    if (found == nullptr || !found->IsArray())
    {
        return false;
    }
    for (const JSONValue& element : found->GetArray())
    {
        const JSONValue* item = arrayItem(element, key, keyLength);
        if (item == nullptr || !(item->*fits)())
        {
            return false;
        }
        add(*item);
    }
    return true;
}

bool readStringArray(const JSONValue* found, std::vector<std::wstring>& values, const wchar_t* key,
                     std::size_t keyLength)
{
    return readArrayItems(found, key, keyLength, &JSONValue::IsString,
                          [&values](const JSONValue& item)
                          { values.emplace_back(item.GetString(), item.GetStringLength()); });
}

bool readIntArray(const JSONValue* found, std::vector<std::int32_t>& values, const wchar_t* key,
                  std::size_t keyLength)
{
    return readArrayItems(found, key, keyLength, &JSONValue::IsInt,
                          [&values](const JSONValue& item) { values.push_back(item.GetInt()); });
}

// Null: the empty text; string: its text; anything else: its compact JSON.
bool readValueText(const JSONValue* found, std::wstring& value)
{
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

std::size_t keyLengthOf(const wchar_t* key)
{
    return key == nullptr ? 0 : lengthOf(key);
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

JSONParser::JSONParser() : m_document(internal::makeSharedJSONDocument()) {}

JSONParser::~JSONParser() = default;

bool JSONParser::parseText(const wchar_t* text, std::size_t length)
{
    // A null document whose pool is untouched has nothing that a failed parse
    // could lose, so the text goes straight into it (a message handler's
    // parser, made for one payload).
    if (m_document->IsNull() && m_document->GetAllocator().Size() == 0)
    {
        return internal::parseJSONText(text, length, *m_document);
    }
    JSONDocument parsed;
    if (!internal::parseJSONText(text, length, parsed))
    {
        return false;
    }
    // Swapping keeps the document shared with copies and drops the old pool.
    m_document->Swap(parsed);
    return true;
}

bool JSONParser::parse(const std::wstring& text)
{
    return parseText(text.c_str(), text.size());
}

bool JSONParser::parse(const wchar_t* text)
{
    return text != nullptr && parseText(text, lengthOf(text));
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

const JSONValue* JSONParser::member(const std::wstring& name) const
{
    return member(name.c_str(), name.size());
}

const JSONValue* JSONParser::member(const wchar_t* name) const
{
    return name == nullptr ? nullptr : member(name, lengthOf(name));
}

bool JSONParser::getBool(const std::wstring& name, bool& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsBool, &JSONValue::GetBool);
}

bool JSONParser::getBool(const wchar_t* name, bool& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsBool, &JSONValue::GetBool);
}

bool JSONParser::getString(const std::wstring& name, std::wstring& value) const
{
    return internal::readJSONString(member(name), value);
}

bool JSONParser::getString(const wchar_t* name, std::wstring& value) const
{
    return internal::readJSONString(member(name), value);
}

bool JSONParser::getInt(const std::wstring& name, std::int32_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsInt, &JSONValue::GetInt);
}

bool JSONParser::getInt(const wchar_t* name, std::int32_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsInt, &JSONValue::GetInt);
}

bool JSONParser::getInt64(const std::wstring& name, std::int64_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsInt64, &JSONValue::GetInt64);
}

bool JSONParser::getInt64(const wchar_t* name, std::int64_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsInt64, &JSONValue::GetInt64);
}

bool JSONParser::getUint(const std::wstring& name, std::uint32_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsUint, &JSONValue::GetUint);
}

bool JSONParser::getUint(const wchar_t* name, std::uint32_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsUint, &JSONValue::GetUint);
}

bool JSONParser::getUint64(const std::wstring& name, std::uint64_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsUint64, &JSONValue::GetUint64);
}

bool JSONParser::getUint64(const wchar_t* name, std::uint64_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsUint64, &JSONValue::GetUint64);
}

bool JSONParser::getDouble(const std::wstring& name, double& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsDouble, &JSONValue::GetDouble);
}

bool JSONParser::getDouble(const wchar_t* name, double& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsDouble, &JSONValue::GetDouble);
}

bool JSONParser::getStringArray(const std::wstring& name, std::vector<std::wstring>& values,
                                const std::wstring& key) const
{
    return readStringArray(member(name), values, key.c_str(), key.size());
}

bool JSONParser::getStringArray(const wchar_t* name, std::vector<std::wstring>& values,
                                const wchar_t* key) const
{
    return readStringArray(member(name), values, key, keyLengthOf(key));
}

bool JSONParser::readObjectArray(const JSONValue* found, std::vector<std::wstring>& values)
{
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
    return readObjectArray(member(name), values);
}

bool JSONParser::getObjectArray(const wchar_t* name, std::vector<std::wstring>& values) const
{
    return readObjectArray(member(name), values);
}

bool JSONParser::getIntArray(const std::wstring& name, std::vector<std::int32_t>& values,
                             const std::wstring& key) const
{
    return readIntArray(member(name), values, key.c_str(), key.size());
}

bool JSONParser::getIntArray(const wchar_t* name, std::vector<std::int32_t>& values, const wchar_t* key) const
{
    return readIntArray(member(name), values, key, keyLengthOf(key));
}

bool JSONParser::getValueText(const std::wstring& name, std::wstring& value) const
{
    return readValueText(member(name), value);
}

bool JSONParser::getValueText(const wchar_t* name, std::wstring& value) const
{
    return readValueText(member(name), value);
}

void JSONParser::setValue(const wchar_t* name, std::size_t length, JSONValue& value)
{
    auto& allocator = m_document->GetAllocator();
    JSONValue key = internal::makeJSONString(name, length, allocator);
    internal::setJSONMember(*m_document, key, value, allocator);
}

void JSONParser::setScalar(const wchar_t* name, std::size_t length, JSONValue value)
{
    setValue(name, length, value);
}

void JSONParser::setBool(const std::wstring& name, bool value)
{
    setScalar(name.c_str(), name.size(), JSONValue(value));
}

void JSONParser::setBool(const wchar_t* name, bool value)
{
    if (name != nullptr)
    {
        setScalar(name, lengthOf(name), JSONValue(value));
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
    setScalar(name.c_str(), name.size(), JSONValue(value));
}

void JSONParser::setInt(const wchar_t* name, std::int32_t value)
{
    if (name != nullptr)
    {
        setScalar(name, lengthOf(name), JSONValue(value));
    }
}

void JSONParser::setInt64(const std::wstring& name, std::int64_t value)
{
    setScalar(name.c_str(), name.size(), JSONValue(value));
}

void JSONParser::setInt64(const wchar_t* name, std::int64_t value)
{
    if (name != nullptr)
    {
        setScalar(name, lengthOf(name), JSONValue(value));
    }
}

void JSONParser::setUint(const std::wstring& name, std::uint32_t value)
{
    setScalar(name.c_str(), name.size(), JSONValue(value));
}

void JSONParser::setUint(const wchar_t* name, std::uint32_t value)
{
    if (name != nullptr)
    {
        setScalar(name, lengthOf(name), JSONValue(value));
    }
}

void JSONParser::setUint64(const std::wstring& name, std::uint64_t value)
{
    setScalar(name.c_str(), name.size(), JSONValue(value));
}

void JSONParser::setUint64(const wchar_t* name, std::uint64_t value)
{
    if (name != nullptr)
    {
        setScalar(name, lengthOf(name), JSONValue(value));
    }
}

void JSONParser::setDouble(const std::wstring& name, double value)
{
    setScalar(name.c_str(), name.size(), finiteOrNull(value));
}

void JSONParser::setDouble(const wchar_t* name, double value)
{
    if (name != nullptr)
    {
        setScalar(name, lengthOf(name), finiteOrNull(value));
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

void JSONParser::setStringArrayValue(const wchar_t* name, std::size_t length,
                                     const std::vector<std::wstring>& values)
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
    internal::appendJSONArrayItem(*m_document, name, length, value, m_document->GetAllocator());
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
        appendStringItemValue(name, lengthOf(name), text, lengthOf(text), key,
                              key == nullptr ? 0 : lengthOf(key));
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
