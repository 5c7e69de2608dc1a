#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

// Reading a rotating log set the way a person wants it: oldest line first,
// one set at a time, decoded to text, filtered, and followed as it grows.
namespace wlog
{

// One set: "<folder>\<prefix>NNN.log" with "<folder>\log.ini" holding the
// rotation state. The writer names its folder after the module, and its
// files after the module plus an optional "_<log name>".
struct LogSet
{
    std::wstring folder;
    std::wstring baseName;
    std::wstring logName; // empty: none

    // The set a folder holds: files named after the folder itself.
    static LogSet InFolder(const std::wstring& folder, const std::wstring& logName = std::wstring());

    std::wstring FileFor(DWORD index) const;
    // "LastLogIdx" of the folder's "log.ini" (0 when missing), the file the
    // writer appends to now.
    DWORD CurrentIndex() const;
    // The same, false when there is no value to read: the writer rewrites
    // "log.ini" whole, and a reader can catch it empty.
    bool ReadCurrentIndex(DWORD& index) const;
    // "MaxEntries" as the writer reads it: the folder's "log.ini", then the
    // root's, then 3.
    DWORD MaxEntries() const;
    // Indices whose files exist, oldest first: those beyond the maximum
    // entries (left over from a larger setting), then the one after the
    // current index round to the current one.
    std::vector<DWORD> IndicesOldestFirst() const;
};

// Splits the bytes of a log file into lines as they arrive. The byte-order
// mark at the start of a file decides the encoding (UTF-16 LE or BE, UTF-8);
// without one the file is taken as UTF-16 LE, the writer's encoding. Lines
// end at a line feed; a CR before it is dropped.
class LineDecoder
{
public:
    // Next bytes of the file; complete lines are appended to lines.
    void Feed(const std::uint8_t* data, size_t length, std::vector<std::wstring>& lines);
    // The end of the file: a last line without a line feed, if any.
    void Finish(std::vector<std::wstring>& lines);
    void Reset();

private:
    enum class Encoding
    {
        Unknown,
        Utf16Le,
        Utf16Be,
        Utf8,
    };
    Encoding encoding_ = Encoding::Unknown;
    std::vector<std::uint8_t> pending_; // bytes before the mark is known, or an odd byte / partial sequence
    std::wstring line_;
    void Append(wchar_t c, std::vector<std::wstring>& lines);
};

// UTF-8 of UTF-16 text; unpaired surrogates become U+FFFD.
std::string ToUtf8(const std::wstring& text);

// What the line header says: "MM/DD/YYYY hh:mm:ss AM$ -- (Level)$".
struct LineHeader
{
    // YYYYMMDDhhmmss with a 24-hour clock, comparable as a number.
    std::uint64_t time = 0;
    std::wstring level;
};
bool ParseHeader(const std::wstring& line, LineHeader& header);

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" ('T' between
// date and time also works) as YYYYMMDDhhmmss; false when it is none of them.
// A time left out counts from the start of the day or minute.
bool ParseTime(const std::wstring& text, std::uint64_t& time);

// Which lines to print. A line without a header (the rest of a message that
// held line feeds) goes with the line before it.
class Filter
{
public:
    // Names ("error", case does not matter) or level numbers 1 to 6, comma
    // separated; false for anything else.
    bool SetLevels(const std::wstring& list);
    void SetSince(std::uint64_t time) { since_ = time; }
    void SetUntil(std::uint64_t time) { until_ = time; }
    bool Active() const { return !levels_.empty() || since_ != 0 || until_ != 0; }

    bool Accept(const std::wstring& line);

private:
    std::set<std::wstring> levels_; // lower case
    std::uint64_t since_ = 0;
    std::uint64_t until_ = 0;
    bool lastVerdict_ = false;
};

using LineSink = std::function<void(const std::wstring&)>;

// Reads a set, or a single file, and follows it.
class Reader
{
public:
    explicit Reader(LogSet set) : set_(std::move(set)) {}
    // Only this file, no rotation.
    static Reader ForFile(const std::wstring& path);

    // Every whole line there is now, oldest first. False when the set has
    // no file.
    bool ReadAll(const LineSink& sink);
    // A last line without its line feed, when nothing more will be read.
    void Finish(const LineSink& sink);
    // After ReadAll: the lines written since, across rotations. A rotation
    // ends the file being read and continues with each file rotated to, in
    // turn; a file that shrank was started again and is read from its start.
    void Poll(const LineSink& sink);

private:
    // Reads from the remembered offset to the end; true when the file was there.
    bool ReadFrom(const std::wstring& path, const LineSink& sink, bool finish);
    void StartFile(DWORD index);

    LogSet set_;
    bool single_ = false;
    std::wstring singlePath_;
    DWORD index_ = 0;
    ULONGLONG offset_ = 0;
    LineDecoder decoder_;
};

} // namespace wlog
