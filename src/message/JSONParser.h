#pragma once

#include "message/JSONDocument.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace Norvan
{

// A JSON payload reader and writer addressed by top-level member name. A new
// parser holds null; the first setter turns the root into an empty object.
// Copies share one document.
//
// Most operations come as a pair: wide strings, and NUL-terminated pointers.
// Pointer forms return false (getters) or do nothing (setters) for a null
// name. The string forms keep the full length of their texts, so a string
// value may hold embedded NULs.
class JSONParser
{
public:
    JSONParser();
    virtual ~JSONParser();

    // True when the text parsed (any root). A failure keeps the document.
    virtual bool parse(const std::wstring& text);
    virtual bool parse(const wchar_t* text);
    // Reads UTF-16LE (an optional byte-order mark first) to the end of the
    // file; the whole rest of the file must be the JSON text.
    virtual bool parseFile(std::FILE* file);
    virtual void toString(std::wstring& text) const;
    // Writes the compact text as UTF-16LE without a byte-order mark; true when
    // every byte was written.
    virtual bool writeFile(std::FILE* file) const;

    virtual bool getBool(const std::wstring& name, bool& value) const;
    virtual bool getBool(const wchar_t* name, bool& value) const;
    virtual bool getString(const std::wstring& name, std::wstring& value) const;
    virtual bool getString(const wchar_t* name, std::wstring& value) const;
    virtual bool getInt(const std::wstring& name, std::int32_t& value) const;
    virtual bool getInt(const wchar_t* name, std::int32_t& value) const;
    virtual bool getInt64(const std::wstring& name, std::int64_t& value) const;
    virtual bool getInt64(const wchar_t* name, std::int64_t& value) const;
    virtual bool getUint(const std::wstring& name, std::uint32_t& value) const;
    virtual bool getUint(const wchar_t* name, std::uint32_t& value) const;
    virtual bool getUint64(const std::wstring& name, std::uint64_t& value) const;
    virtual bool getUint64(const wchar_t* name, std::uint64_t& value) const;
    // Only numbers stored as floating point.
    virtual bool getDouble(const std::wstring& name, double& value) const;
    virtual bool getDouble(const wchar_t* name, double& value) const;

    // The member must be an array. Without a key every element must be a
    // string; with a key every element must be an object whose member `key`
    // is a string. The first element that does not fit ends the read with
    // false, keeping what was appended.
    virtual bool getStringArray(const std::wstring& name, std::vector<std::wstring>& values,
                                const std::wstring& key = std::wstring()) const;
    virtual bool getStringArray(const wchar_t* name, std::vector<std::wstring>& values,
                                const wchar_t* key = nullptr) const;
    // Each object element, rebuilt member by member in a new parser, as text.
    virtual bool getObjectArray(const std::wstring& name, std::vector<std::wstring>& values) const;
    virtual bool getObjectArray(const wchar_t* name, std::vector<std::wstring>& values) const;
    // As getStringArray, for int32 values.
    virtual bool getIntArray(const std::wstring& name, std::vector<std::int32_t>& values,
                             const std::wstring& key = std::wstring()) const;
    virtual bool getIntArray(const wchar_t* name, std::vector<std::int32_t>& values,
                             const wchar_t* key = nullptr) const;
    // Null: the empty text; string: its text; anything else: its compact JSON.
    virtual bool getValueText(const std::wstring& name, std::wstring& value) const;
    virtual bool getValueText(const wchar_t* name, std::wstring& value) const;

    virtual void setBool(const std::wstring& name, bool value);
    virtual void setBool(const wchar_t* name, bool value);
    virtual void setString(const std::wstring& name, const std::wstring& value);
    virtual void setString(const std::wstring& name, const wchar_t* value);
    virtual void setString(const wchar_t* name, const std::wstring& value);
    // A null value changes nothing.
    virtual void setString(const wchar_t* name, const wchar_t* value);
    virtual void setInt(const std::wstring& name, std::int32_t value);
    virtual void setInt(const wchar_t* name, std::int32_t value);
    virtual void setInt64(const std::wstring& name, std::int64_t value);
    virtual void setInt64(const wchar_t* name, std::int64_t value);
    virtual void setUint(const std::wstring& name, std::uint32_t value);
    virtual void setUint(const wchar_t* name, std::uint32_t value);
    virtual void setUint64(const std::wstring& name, std::uint64_t value);
    virtual void setUint64(const wchar_t* name, std::uint64_t value);
    // JSON has no NaN or infinity: such a value is stored as null.
    virtual void setDouble(const std::wstring& name, double value);
    virtual void setDouble(const wchar_t* name, double value);
    virtual void setIntArray(const std::wstring& name, const std::vector<std::int32_t>& values);
    virtual void setIntArray(const wchar_t* name, const std::vector<std::int32_t>& values);
    virtual void setStringArray(const std::wstring& name, const std::vector<std::wstring>& values);
    virtual void setStringArray(const wchar_t* name, const std::vector<std::wstring>& values);
    // Null entries are skipped.
    virtual void setStringArray(const wchar_t* name, const std::vector<const wchar_t*>& values);
    // With a non-empty key appends {key: text}, otherwise the text. A missing
    // member is created as an array; a member that is not an array is left
    // as it is.
    virtual void appendStringItem(const std::wstring& name, const std::wstring& text,
                                  const std::wstring& key = std::wstring());
    virtual void appendStringItem(const wchar_t* name, const wchar_t* text, const wchar_t* key = nullptr);
    // Sets the member to the parsed value; a text that does not parse changes nothing.
    virtual void setJson(const std::wstring& name, const std::wstring& json);
    // Appends the parsed value to the array member (as appendStringItem); a
    // text that does not parse changes nothing.
    virtual void appendJson(const std::wstring& name, const std::wstring& json);
    // Removes every member when the root is an object.
    virtual void clear();
    // False only for an object with at least one member.
    virtual bool isEmpty() const;

private:
    bool parseText(const wchar_t* text, std::size_t length);
    const internal::JSONValue* member(const wchar_t* name, std::size_t length) const;
    const internal::JSONValue* member(const std::wstring& name) const;
    // Null for a null name.
    const internal::JSONValue* member(const wchar_t* name) const;
    void setValue(const wchar_t* name, std::size_t length, internal::JSONValue& value);
    void setScalar(const wchar_t* name, std::size_t length, internal::JSONValue value);
    void setStringValue(const wchar_t* name, std::size_t nameLength, const wchar_t* text,
                        std::size_t textLength);
    void setStringArrayValue(const wchar_t* name, std::size_t length,
                             const std::vector<std::wstring>& values);
    void appendValue(const wchar_t* name, std::size_t length, internal::JSONValue& value);
    void appendStringItemValue(const wchar_t* name, std::size_t nameLength, const wchar_t* text,
                               std::size_t textLength, const wchar_t* key, std::size_t keyLength);
    bool parseValue(const std::wstring& json, internal::JSONDocument& parsed) const;
    static bool readObjectArray(const internal::JSONValue* found, std::vector<std::wstring>& values);

    std::shared_ptr<internal::JSONDocument> m_document;
};

} // namespace Norvan
