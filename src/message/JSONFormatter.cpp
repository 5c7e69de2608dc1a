#include "message/JSONFormatter.h"

#include <cmath>

namespace Norvan
{

using internal::JSONDocument;
using internal::JSONValue;

JSONFormatter::JSONFormatter()
{
    m_document.SetObject();
}

JSONFormatter::JSONFormatter(const JSONFormatter& other)
{
    internal::copyJSONValue(other.m_document, m_document);
}

JSONFormatter& JSONFormatter::operator=(const JSONFormatter& other)
{
    if (this != &other)
    {
        // A fresh document drops the old pool instead of growing it.
        JSONDocument copy;
        internal::copyJSONValue(other.m_document, copy);
        m_document.Swap(copy);
    }
    return *this;
}

JSONFormatter::JSONFormatter(JSONFormatter&& other) noexcept
{
    m_document.SetObject();
    m_document.Swap(other.m_document);
}

JSONFormatter& JSONFormatter::operator=(JSONFormatter&& other) noexcept
{
    m_document.Swap(other.m_document);
    return *this;
}

JSONFormatter::~JSONFormatter() = default;

bool JSONFormatter::parse(const std::wstring& text)
{
    JSONDocument parsed;
    if (!internal::parseJSONText(text.c_str(), text.size(), parsed))
    {
        return false;
    }
    m_document.Swap(parsed);
    return m_document.IsObject();
}

void JSONFormatter::toString(std::wstring& text) const
{
    text = internal::toJSONText(m_document);
}

const JSONValue* JSONFormatter::member(const std::wstring& name) const
{
    return internal::findJSONMember(m_document, name.c_str(), name.size());
}

// A missing member reads as an empty array. The first element for which `fits`
// does not hold ends the read with false, keeping what `add` took before it.
template <typename Add>
bool JSONFormatter::readArray(const std::wstring& name, bool (JSONValue::*fits)() const, Add add) const
{
    if (!m_document.IsObject())
    {
        return false;
    }
    const JSONValue* found = member(name);
    if (found == nullptr)
    {
        return true;
    }
    if (!found->IsArray())
    {
        return false;
    }
    for (const JSONValue& element : found->GetArray())
    {
        if (!(element.*fits)())
        {
            return false;
        }
        add(element);
    }
    return true;
}

bool JSONFormatter::getString(const std::wstring& name, std::wstring& value) const
{
    return internal::readJSONString(member(name), value);
}

bool JSONFormatter::getBool(const std::wstring& name, bool& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsBool, &JSONValue::GetBool);
}

bool JSONFormatter::getInt(const std::wstring& name, std::int32_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsInt, &JSONValue::GetInt);
}

bool JSONFormatter::getUint(const std::wstring& name, std::uint32_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsUint, &JSONValue::GetUint);
}

bool JSONFormatter::getInt64(const std::wstring& name, std::int64_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsInt64, &JSONValue::GetInt64);
}

bool JSONFormatter::getUint64(const std::wstring& name, std::uint64_t& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsUint64, &JSONValue::GetUint64);
}

bool JSONFormatter::getDouble(const std::wstring& name, double& value) const
{
    return internal::readJSONValue(member(name), value, &JSONValue::IsDouble, &JSONValue::GetDouble);
}

bool JSONFormatter::getStringArray(const std::wstring& name, std::vector<std::wstring>& values) const
{
    return readArray(name, &JSONValue::IsString,
                     [&values](const JSONValue& element)
                     { values.emplace_back(element.GetString(), element.GetStringLength()); });
}

bool JSONFormatter::getObject(const std::wstring& name, JSONFormatter& value) const
{
    const JSONValue* found = member(name);
    if (found == nullptr || !found->IsObject())
    {
        return false;
    }
    internal::copyJSONValue(*found, value.m_document);
    return true;
}

bool JSONFormatter::getObjectArray(const std::wstring& name, std::vector<JSONFormatter>& values) const
{
    return readArray(name, &JSONValue::IsObject,
                     [&values](const JSONValue& element)
                     {
                         JSONFormatter item;
                         internal::copyJSONValue(element, item.m_document);
                         values.push_back(std::move(item));
                     });
}

void JSONFormatter::setValue(const std::wstring& name, JSONValue& value)
{
    JSONValue key = internal::makeJSONString(name.c_str(), name.size(), m_document.GetAllocator());
    setMember(key, value);
}

void JSONFormatter::setString(const std::wstring& name, const std::wstring& value)
{
    JSONValue text = internal::makeJSONString(value.c_str(), value.size(), m_document.GetAllocator());
    setValue(name, text);
}

void JSONFormatter::setBool(const std::wstring& name, bool value)
{
    JSONValue v(value);
    setValue(name, v);
}

void JSONFormatter::setInt(const std::wstring& name, std::int32_t value)
{
    JSONValue v(value);
    setValue(name, v);
}

void JSONFormatter::setUint(const std::wstring& name, std::uint32_t value)
{
    JSONValue v(value);
    setValue(name, v);
}

void JSONFormatter::setInt64(const std::wstring& name, std::int64_t value)
{
    JSONValue v(value);
    setValue(name, v);
}

void JSONFormatter::setUint64(const std::wstring& name, std::uint64_t value)
{
    JSONValue v(value);
    setValue(name, v);
}

void JSONFormatter::setDouble(const std::wstring& name, double value)
{
    // The writer cannot write NaN or infinity and would stop mid-text.
    JSONValue v;
    if (std::isfinite(value))
    {
        v.SetDouble(value);
    }
    setValue(name, v);
}

void JSONFormatter::setStringArray(const std::wstring& name, const std::vector<std::wstring>& values)
{
    auto& allocator = m_document.GetAllocator();
    JSONValue array(rapidjson::kArrayType);
    array.Reserve(static_cast<rapidjson::SizeType>(values.size()), allocator);
    for (const std::wstring& text : values)
    {
        array.PushBack(internal::makeJSONString(text.c_str(), text.size(), allocator), allocator);
    }
    setValue(name, array);
}

void JSONFormatter::appendString(const std::wstring& name, const std::wstring& value)
{
    auto& allocator = m_document.GetAllocator();
    JSONValue item = internal::makeJSONString(value.c_str(), value.size(), allocator);
    internal::appendJSONArrayItem(m_document, name.c_str(), name.size(), item, allocator);
}

void JSONFormatter::setObject(const std::wstring& name, const JSONFormatter& value)
{
    JSONValue copy(value.m_document, m_document.GetAllocator());
    setValue(name, copy);
}

void JSONFormatter::setObjectArray(const std::wstring& name, const std::vector<JSONFormatter>& values)
{
    auto& allocator = m_document.GetAllocator();
    JSONValue array(rapidjson::kArrayType);
    array.Reserve(static_cast<rapidjson::SizeType>(values.size()), allocator);
    for (const JSONFormatter& item : values)
    {
        JSONValue copy(item.m_document, allocator);
        array.PushBack(copy, allocator);
    }
    setValue(name, array);
}

void JSONFormatter::appendObject(const std::wstring& name, const JSONFormatter& value)
{
    auto& allocator = m_document.GetAllocator();
    // Copy first: `value` may be this formatter, whose root is about to change.
    JSONValue copy(value.m_document, allocator);
    internal::appendJSONArrayItem(m_document, name.c_str(), name.size(), copy, allocator);
}

void JSONFormatter::setMember(JSONValue& name, JSONValue& value)
{
    internal::setJSONMember(m_document, name, value, m_document.GetAllocator());
}

} // namespace Norvan
