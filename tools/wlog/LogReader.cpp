#include "LogReader.h"

#include "../common/Utf8.h"
#include "Logging/LogFileFormat.h"
#include "Logging/config/IniReader.h"
#include "wrappers/UniqueResource.h"

#include <algorithm>
#include <cwctype>

namespace wlog
{

namespace
{

constexpr DWORD kDefaultMaxEntries = 3;
constexpr DWORD kLowestMaxEntries = 2;
constexpr DWORD kHighestMaxEntries = 100;

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
    {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

std::wstring Trim(const std::wstring& text)
{
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
    {
        return std::wstring();
    }
    const size_t last = text.find_last_not_of(L" \t");
    return text.substr(first, last - first + 1);
}

std::wstring ParentOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring NameOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool ReadIniDword(const std::wstring& path, const wchar_t* key, DWORD& value)
{
    Plinth::CObfuscatedIniReader ini;
    return ini.Load(path.c_str()) && ini.ReadDword(ETWLogging::kLogIniSection, key, value);
}

// Reads digits from text at pos; false when there are none or too many.
bool Number(const std::wstring& text, size_t& pos, size_t maxDigits, unsigned& value)
{
    const size_t start = pos;
    value = 0;
    while (pos < text.size() && pos - start < maxDigits && text[pos] >= L'0' && text[pos] <= L'9')
    {
        value = value * 10 + static_cast<unsigned>(text[pos] - L'0');
        ++pos;
    }
    return pos > start;
}

bool Expect(const std::wstring& text, size_t& pos, const wchar_t* literal)
{
    const size_t length = wcslen(literal);
    if (text.compare(pos, length, literal) != 0)
    {
        return false;
    }
    pos += length;
    return true;
}

std::uint64_t Compose(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                      unsigned second)
{
    return ((((static_cast<std::uint64_t>(year) * 100 + month) * 100 + day) * 100 + hour) * 100 + minute) *
               100 +
           second;
}

bool PlausibleTime(unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second)
{
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour < 24 && minute < 60 && second < 60;
}

} // namespace

LogSet LogSet::InFolder(const std::wstring& folder, const std::wstring& logName)
{
    LogSet set;
    set.folder = folder;
    while (set.folder.size() > 3 && (set.folder.back() == L'\\' || set.folder.back() == L'/'))
    {
        set.folder.pop_back();
    }
    set.baseName = NameOf(set.folder);
    set.logName = logName;
    return set;
}

std::wstring LogSet::FileFor(DWORD index) const
{
    return ETWLogging::LogFilePath(folder, baseName, logName, index);
}

DWORD LogSet::CurrentIndex() const
{
    DWORD index = 0;
    return ReadCurrentIndex(index) ? index : 0;
}

bool LogSet::ReadCurrentIndex(DWORD& index) const
{
    return ReadIniDword(folder + L"\\" + ETWLogging::kLogIniFileName, ETWLogging::kLogIniLastIndex, index);
}

DWORD LogSet::MaxEntries() const
{
    auto valid = [](DWORD value) { return value >= kLowestMaxEntries && value <= kHighestMaxEntries; };
    DWORD value = 0;
    if (ReadIniDword(folder + L"\\" + ETWLogging::kLogIniFileName, ETWLogging::kLogIniMaxEntries, value) &&
        valid(value))
    {
        return value;
    }
    // The root log folder is the nearest "KVLOGS" above the set's folder.
    for (std::wstring up = ParentOf(folder); !up.empty(); up = ParentOf(up))
    {
        if (Lower(NameOf(up)) == L"kvlogs")
        {
            if (ReadIniDword(up + L"\\" + ETWLogging::kLogIniFileName, ETWLogging::kLogIniMaxEntries,
                             value) &&
                valid(value))
            {
                return value;
            }
            break;
        }
    }
    return kDefaultMaxEntries;
}

std::vector<DWORD> LogSet::IndicesOldestFirst() const
{
    std::wstring prefix = baseName + (logName.empty() ? L"" : L"_" + logName);
    std::vector<DWORD> indices;
    WIN32_FIND_DATAW found{};
    Norvan::unique_find search(::FindFirstFileW((folder + L"\\" + prefix + L"???.log").c_str(), &found));
    if (!search)
    {
        return indices;
    }
    do
    {
        const std::wstring name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || name.size() != prefix.size() + 7 ||
            Lower(name.substr(0, prefix.size())) != Lower(prefix))
        {
            continue;
        }
        size_t pos = prefix.size();
        unsigned index = 0;
        if (Number(name, pos, 3, index) && pos == prefix.size() + 3 && Lower(name.substr(pos)) == L".log")
        {
            indices.push_back(index);
        }
    } while (::FindNextFileW(search.get(), &found));

    const DWORD current = CurrentIndex();
    const DWORD entries = MaxEntries();
    // Newest last: the current file; before it the files round the rotation
    // from the one after it; before those, files beyond the rotation.
    auto key = [&](DWORD index) -> std::pair<int, DWORD>
    {
        if (index == current)
        {
            return {2, 0};
        }
        if (index >= entries || current >= entries)
        {
            return {0, index};
        }
        return {1, (index + entries - current - 1) % entries};
    };
    std::sort(indices.begin(), indices.end(), [&](DWORD a, DWORD b) { return key(a) < key(b); });
    return indices;
}

void LineDecoder::Reset()
{
    encoding_ = Encoding::Unknown;
    pending_.clear();
    line_.clear();
}

void LineDecoder::Append(wchar_t c, std::vector<std::wstring>& lines)
{
    if (c != L'\n')
    {
        line_ += c;
        return;
    }
    if (!line_.empty() && line_.back() == L'\r')
    {
        line_.pop_back();
    }
    lines.push_back(std::move(line_));
    line_.clear();
}

void LineDecoder::Feed(const std::uint8_t* data, size_t length, std::vector<std::wstring>& lines)
{
    pending_.insert(pending_.end(), data, data + length);
    size_t pos = 0;
    if (encoding_ == Encoding::Unknown)
    {
        const size_t have = pending_.size();
        if (have >= 2 && pending_[0] == 0xFF && pending_[1] == 0xFE)
        {
            encoding_ = Encoding::Utf16Le;
            pos = 2;
        }
        else if (have >= 2 && pending_[0] == 0xFE && pending_[1] == 0xFF)
        {
            encoding_ = Encoding::Utf16Be;
            pos = 2;
        }
        else if (have >= 3 && pending_[0] == 0xEF && pending_[1] == 0xBB && pending_[2] == 0xBF)
        {
            encoding_ = Encoding::Utf8;
            pos = 3;
        }
        else if (have >= 3 || (have == 2 && !(pending_[0] == 0xEF && pending_[1] == 0xBB)))
        {
            encoding_ = Encoding::Utf16Le;
        }
        else
        {
            return; // not enough to tell
        }
    }

    const size_t size = pending_.size();
    if (encoding_ == Encoding::Utf8)
    {
        while (pos < size)
        {
            const std::uint8_t lead = pending_[pos];
            const size_t need = lead < 0x80           ? 1
                                : (lead >> 5) == 0x6  ? 2
                                : (lead >> 4) == 0xE  ? 3
                                : (lead >> 3) == 0x1E ? 4
                                                      : 0;
            if (need == 0)
            {
                Append(0xFFFD, lines);
                ++pos;
                continue;
            }
            if (pos + need > size)
            {
                break; // the rest of the sequence comes later
            }
            std::uint32_t code = need == 1 ? lead : lead & (0x7F >> need);
            bool ok = true;
            for (size_t i = 1; i < need && ok; ++i)
            {
                ok = (pending_[pos + i] & 0xC0) == 0x80;
                code = (code << 6) | (pending_[pos + i] & 0x3F);
            }
            if (!ok)
            {
                Append(0xFFFD, lines);
                ++pos;
                continue;
            }
            pos += need;
            if (code >= 0x10000)
            {
                code -= 0x10000;
                Append(static_cast<wchar_t>(0xD800 + (code >> 10)), lines);
                Append(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)), lines);
            }
            else
            {
                Append(static_cast<wchar_t>(code), lines);
            }
        }
    }
    else
    {
        const bool little = encoding_ == Encoding::Utf16Le;
        for (; pos + 1 < size; pos += 2)
        {
            const unsigned first = pending_[pos];
            const unsigned second = pending_[pos + 1];
            Append(static_cast<wchar_t>(little ? (first | (second << 8)) : ((first << 8) | second)), lines);
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void LineDecoder::Finish(std::vector<std::wstring>& lines)
{
    if (encoding_ == Encoding::Utf8 && !pending_.empty())
    {
        line_ += static_cast<wchar_t>(0xFFFD);
    }
    pending_.clear();
    if (!line_.empty())
    {
        Append(L'\n', lines);
    }
}

std::string ToUtf8(const std::wstring& text)
{
    return ToolText::Utf16ToUtf8(text);
}

bool ParseHeader(const std::wstring& line, LineHeader& header)
{
    size_t pos = 0;
    unsigned month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (!Number(line, pos, 2, month) || !Expect(line, pos, L"/") || !Number(line, pos, 2, day) ||
        !Expect(line, pos, L"/") || !Number(line, pos, 5, year) || !Expect(line, pos, L" ") ||
        !Number(line, pos, 2, hour) || !Expect(line, pos, L":") || !Number(line, pos, 2, minute) ||
        !Expect(line, pos, L":") || !Number(line, pos, 2, second) || !Expect(line, pos, L" "))
    {
        return false;
    }
    const bool pm = Expect(line, pos, L"PM");
    if (!pm && !Expect(line, pos, L"AM"))
    {
        return false;
    }
    if (hour < 1 || hour > 12 || !Expect(line, pos, L"$ -- ("))
    {
        return false;
    }
    const size_t close = line.find(L")$", pos);
    if (close == std::wstring::npos)
    {
        return false;
    }
    hour = hour % 12 + (pm ? 12 : 0);
    if (!PlausibleTime(month, day, hour, minute, second))
    {
        return false;
    }
    header.time = Compose(year, month, day, hour, minute, second);
    header.level = line.substr(pos, close - pos);
    return true;
}

bool ParseTime(const std::wstring& input, std::uint64_t& time)
{
    const std::wstring text = Trim(input);
    size_t pos = 0;
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    // Every field at its full width, as ISO writes it.
    auto two = [&](unsigned& value)
    {
        const size_t start = pos;
        return Number(text, pos, 2, value) && pos == start + 2;
    };
    if (!Number(text, pos, 4, year) || pos != 4 || !Expect(text, pos, L"-") || !two(month) ||
        !Expect(text, pos, L"-") || !two(day))
    {
        return false;
    }
    if (pos < text.size())
    {
        if ((text[pos] != L' ' && text[pos] != L'T') || (++pos, !two(hour)) || !Expect(text, pos, L":") ||
            !two(minute))
        {
            return false;
        }
        if (pos < text.size() && (!Expect(text, pos, L":") || !two(second)))
        {
            return false;
        }
    }
    if (pos != text.size() || !PlausibleTime(month, day, hour, minute, second))
    {
        return false;
    }
    time = Compose(year, month, day, hour, minute, second);
    return true;
}

bool Filter::SetLevels(const std::wstring& list)
{
    std::set<std::wstring> levels;
    size_t start = 0;
    while (start <= list.size())
    {
        size_t comma = list.find(L',', start);
        if (comma == std::wstring::npos)
        {
            comma = list.size();
        }
        const std::wstring item = Lower(Trim(list.substr(start, comma - start)));
        if (item.size() == 1 && item[0] >= L'1' && item[0] <= L'6')
        {
            levels.insert(Lower(ETWLogging::LogLevelName(static_cast<DWORD>(item[0] - L'0'))));
        }
        else if (item == L"normal" || item == L"warning" || item == L"information" || item == L"error" ||
                 item == L"critical")
        {
            levels.insert(item);
        }
        else
        {
            return false;
        }
        start = comma + 1;
    }
    levels_ = std::move(levels);
    return true;
}

bool Filter::Accept(const std::wstring& line)
{
    if (!Active())
    {
        return true;
    }
    LineHeader header;
    if (!ParseHeader(line, header))
    {
        return lastVerdict_;
    }
    lastVerdict_ = (levels_.empty() || levels_.count(Lower(header.level)) != 0) &&
                   (since_ == 0 || header.time >= since_) && (until_ == 0 || header.time <= until_);
    return lastVerdict_;
}

Reader Reader::ForFile(const std::wstring& path)
{
    Reader reader(LogSet{});
    reader.single_ = true;
    reader.singlePath_ = path;
    return reader;
}

void Reader::StartFile(DWORD index)
{
    index_ = index;
    offset_ = 0;
    decoder_.Reset();
}

bool Reader::ReadFrom(const std::wstring& path, const LineSink& sink, bool finish)
{
    // Every sharing mode: the writer must be able to append and rotate while
    // we read.
    Norvan::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size))
    {
        return false;
    }
    if (static_cast<ULONGLONG>(size.QuadPart) < offset_)
    {
        // Created anew since the last look: what we read of it is gone.
        offset_ = 0;
        decoder_.Reset();
    }
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset_);
    ::SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN);

    std::vector<std::uint8_t> buffer(64 * 1024);
    std::vector<std::wstring> lines;
    for (;;)
    {
        DWORD got = 0;
        if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) ||
            got == 0)
        {
            break;
        }
        offset_ += got;
        decoder_.Feed(buffer.data(), got, lines);
        for (const std::wstring& line : lines)
        {
            sink(line);
        }
        lines.clear();
    }
    if (finish)
    {
        decoder_.Finish(lines);
        for (const std::wstring& line : lines)
        {
            sink(line);
        }
    }
    return true;
}

bool Reader::ReadAll(const LineSink& sink)
{
    if (single_)
    {
        StartFile(0);
        return ReadFrom(singlePath_, sink, false);
    }
    const std::vector<DWORD> indices = set_.IndicesOldestFirst();
    if (indices.empty())
    {
        StartFile(set_.CurrentIndex());
        return false;
    }
    for (size_t i = 0; i < indices.size(); ++i)
    {
        StartFile(indices[i]);
        ReadFrom(set_.FileFor(indices[i]), sink, i + 1 < indices.size());
    }
    return true;
}

void Reader::Finish(const LineSink& sink)
{
    std::vector<std::wstring> lines;
    decoder_.Finish(lines);
    for (const std::wstring& line : lines)
    {
        sink(line);
    }
}

void Reader::Poll(const LineSink& sink)
{
    if (single_)
    {
        ReadFrom(singlePath_, sink, false);
        return;
    }
    // A rotation creates the new file before it stores its index: an index
    // without its file, or none at all, is a "log.ini" caught mid-rewrite.
    DWORD current = index_;
    if (!set_.ReadCurrentIndex(current) ||
        ::GetFileAttributesW(set_.FileFor(current).c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        current = index_;
    }
    ReadFrom(set_.FileFor(index_), sink, current != index_);
    if (current == index_)
    {
        return;
    }
    // The writer rotates one file at a time: every file after ours up to
    // the current one was started since we last looked. It wraps to 0 only
    // past the last entry; a higher index means no wrap, whatever "MaxEntries"
    // a half-rewritten "log.ini" answers meanwhile.
    const DWORD entries = set_.MaxEntries();
    const bool wraps = current < index_;
    DWORD index = index_;
    for (DWORD step = 0; (!wraps || step < entries) && index != current; ++step)
    {
        index = wraps && index + 1 >= entries ? 0 : index + 1;
        StartFile(index);
        ReadFrom(set_.FileFor(index), sink, index != current);
    }
    if (index_ != current)
    {
        StartFile(current);
        ReadFrom(set_.FileFor(current), sink, false);
    }
}

} // namespace wlog
