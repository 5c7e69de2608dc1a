#pragma once

#include "message/JSONDocument.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Norvan
{

// A JSON object payload addressed by top-level member name. Getters write
// their result only when they return true. Copies are deep.
//
// After parse() of a valid text whose root is not an object, getters return
// false and the first setter replaces that root with an empty object.
class JSONFormatter
{
public:
    JSONFormatter();
    JSONFormatter(const JSONFormatter& other);
    JSONFormatter& operator=(const JSONFormatter& other);
    // Moves hand the document and its memory pool over (the source keeps an
    // empty object, or this formatter's old document). Without them every
    // push into a vector of formatters, and every growth of one, would copy
    // each document into a new pool chunk of its own.
    JSONFormatter(JSONFormatter&& other) noexcept;
    JSONFormatter& operator=(JSONFormatter&& other) noexcept;
    virtual ~JSONFormatter();

    // True when the text parsed and its root is an object. A parse error keeps
    // the previous document; a valid non-object root replaces it.
    virtual bool parse(const std::wstring& text);
    virtual void toString(std::wstring& text) const;

    virtual bool getString(const std::wstring& name, std::wstring& value) const;
    virtual bool getBool(const std::wstring& name, bool& value) const;
    virtual bool getInt(const std::wstring& name, std::int32_t& value) const;
    virtual bool getUint(const std::wstring& name, std::uint32_t& value) const;
    virtual bool getInt64(const std::wstring& name, std::int64_t& value) const;
    virtual bool getUint64(const std::wstring& name, std::uint64_t& value) const;
    // Only numbers stored as floating point (written with a fraction or an
    // exponent, or set as double).
    virtual bool getDouble(const std::wstring& name, double& value) const;
    // A missing member gives true with nothing appended. The first element that
    // is not a string ends the read with false, keeping what was appended.
    virtual bool getStringArray(const std::wstring& name, std::vector<std::wstring>& values) const;
    virtual bool getObject(const std::wstring& name, JSONFormatter& value) const;
    // As getStringArray, for object elements.
    virtual bool getObjectArray(const std::wstring& name, std::vector<JSONFormatter>& values) const;

    // Setting a name that exists moves the last member into its place and
    // appends the new one, so the member order changes.
    virtual void setString(const std::wstring& name, const std::wstring& value);
    virtual void setBool(const std::wstring& name, bool value);
    virtual void setInt(const std::wstring& name, std::int32_t value);
    virtual void setUint(const std::wstring& name, std::uint32_t value);
    virtual void setInt64(const std::wstring& name, std::int64_t value);
    virtual void setUint64(const std::wstring& name, std::uint64_t value);
    // JSON has no NaN or infinity: such a value is stored as null.
    virtual void setDouble(const std::wstring& name, double value);
    virtual void setStringArray(const std::wstring& name, const std::vector<std::wstring>& values);
    // Appending creates the array member when it is missing, and changes
    // nothing when the member exists and is not an array.
    virtual void appendString(const std::wstring& name, const std::wstring& value);
    virtual void setObject(const std::wstring& name, const JSONFormatter& value);
    virtual void setObjectArray(const std::wstring& name, const std::vector<JSONFormatter>& values);
    virtual void appendObject(const std::wstring& name, const JSONFormatter& value);
    // The common setting step. Both values are moved from; strings they hold
    // must be allocated in this formatter's document or outlive it.
    virtual void setMember(internal::JSONValue& name, internal::JSONValue& value);

private:
    const internal::JSONValue* member(const std::wstring& name) const;
    template <typename Add>
    bool readArray(const std::wstring& name, bool (internal::JSONValue::*fits)() const, Add add) const;
    void setValue(const std::wstring& name, internal::JSONValue& value);

    internal::JSONDocument m_document;
};

} // namespace Norvan
