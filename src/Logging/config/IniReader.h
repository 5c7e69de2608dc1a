#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace Plinth
{

// Reader of one INI file, loaded whole into memory and parsed into
// (section, key, value) entries.
//
// Load accepts these encodings:
// - UTF-16LE with the byte-order mark FF FE (what our tools and the log-file
//   writer create), UTF-16BE with FE FF;
// - UTF-8 with the mark EF BB BF;
// - without a mark: UTF-8 when the bytes are valid UTF-8 and hold at least
//   one non-ASCII character, otherwise the ANSI code page (the profile APIs
//   create new files in the ANSI code page).
// Invalid sequences become U+FFFD; they never stop the parse.
//
// Line rules: lines end at CR, LF or CRLF (or the end of the file, with or
// without a final line end); white space at the end of a line is removed and
// white space at its start is kept; a line whose first character is ';' is a
// comment; a line that starts with '[' and ends with ']' opens the section
// named by the text between them, and "[]" leaves the current section
// unchanged; any other line holding '=' is an entry whose key is the text
// before the first '=' and whose value the text after it; other lines are
// ignored. Entries before the first section belong to the section "".
//
// Lookups compare section and key names without regard to case; the first
// matching entry in file order wins. Leading white space is part of a key
// (" Enable=1" does not define "Enable").
class CBaseIniReader
{
public:
    // Larger files are refused by Load: nothing is loaded.
    static constexpr unsigned long long kMaxFileBytes = 4ull * 1024 * 1024;

    CBaseIniReader() = default;
    virtual ~CBaseIniReader() = default;
    CBaseIniReader(const CBaseIniReader&) = default;
    CBaseIniReader& operator=(const CBaseIniReader&) = default;

    // Forgets earlier entries, remembers the path for WriteDword, and loads
    // the file. False (no entries) when the path is null or empty, the file
    // is missing or unreadable, larger than kMaxFileBytes, or memory runs
    // out. An empty file loads as true with no entries. After a false
    // result WriteDword still writes to the remembered path, creating the
    // file if needed.
    virtual bool Load(const wchar_t* path);

    // Parses text that is already in memory, replacing earlier entries.
    void Parse(const std::wstring& content);

    // The value as decimal: optional leading spaces or tabs, then one or
    // more digits and nothing else, at most 4294967295. False, with value
    // unchanged, when the entry is missing, unreadable or not such a number.
    virtual bool ReadDword(const wchar_t* section, const wchar_t* key, DWORD& value) const;

    // The value's text as loaded. False when the entry is missing or
    // unreadable.
    virtual bool ReadString(const wchar_t* section, const wchar_t* key, std::wstring& value) const;

    // Writes the value to the file and, when that succeeds, to the loaded
    // entries. False without writing when no path is known, when section or
    // key is null or empty, when the key holds '=' or the section ']', or
    // when the file cannot be written. The profile functions that write
    // rewrite the whole file from their own reading of it, which differs from
    // this reader's in corners (encodings, white space around keys, NULs,
    // where a byte-order mark may stand); when what they wrote no longer
    // reads, for this reader, as the file before with this one value
    // changed, the file is put back as it was and the result is false. A
    // file that is there but cannot be read back (larger than kMaxFileBytes,
    // say) is not written.
    virtual bool WriteDword(const wchar_t* section, const wchar_t* key, DWORD value);

    const std::wstring& Path() const noexcept { return path_; }
    std::size_t EntryCount() const noexcept { return entries_.size(); }

protected:
    // What a value declares itself to be. Plain text reads as either type; a
    // scrambled value names its type and reads only as that type, as the
    // registry reader does.
    enum class ValueType
    {
        Plain,
        Dword,
        String,
    };

    struct Entry
    {
        std::wstring section;
        std::wstring key;
        std::wstring value;
        bool readable = true;
        ValueType type = ValueType::Plain;
    };

    // Called for each value as it is parsed; the derived reader unscrambles.
    virtual void PrepareEntry(Entry& entry);
    // Writes the value's file form; true on success.
    virtual bool WriteToFile(const wchar_t* section, const wchar_t* key, DWORD value);
    // The type a value written by WriteToFile declares in the file.
    virtual ValueType WrittenType() const { return ValueType::Plain; }

    const Entry* Find(const wchar_t* section, const wchar_t* key) const;

private:
    std::vector<Entry> ParseEntries(const std::wstring& content);
    // True when `after` answers every lookup as `before` does, except that
    // section/key now reads as the DWORD value.
    bool ReadsAsWritten(const std::vector<Entry>& before, const std::vector<Entry>& after,
                        const wchar_t* section, const wchar_t* key, DWORD value) const;
    void SetEntry(const wchar_t* section, const wchar_t* key, const std::wstring& value, ValueType type);

    std::wstring path_;
    std::vector<Entry> entries_;
};

// The INI reader that also understands values in the scrambled form of the
// product's tools (see ScrambledValue.h). Such values are unscrambled when
// the file is loaded: a DWORD becomes its decimal text, a string its text,
// and each reads only as its own type (ReadDword gives false for a scrambled
// string, ReadString for a scrambled DWORD). A value of the scrambled shape
// that fails its checks is unreadable: ReadDword and ReadString give false
// for it. Any other value is kept as plain text. WriteDword writes the value
// scrambled, through WritePrivateProfileStructW, so the file holds its text
// form.
class CObfuscatedIniReader : public CBaseIniReader
{
protected:
    void PrepareEntry(Entry& entry) override;
    bool WriteToFile(const wchar_t* section, const wchar_t* key, DWORD value) override;
    ValueType WrittenType() const override { return ValueType::Dword; }
};

} // namespace Plinth
