#include "Logging/config/IniReader.h"

#include "Logging/config/ScrambledValue.h"
#include "wrappers/UniqueResource.h"

#include <algorithm>
#include <map>
#include <new>

namespace Plinth
{
namespace
{

bool IsTrailingSpace(wchar_t c) noexcept
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

bool SameName(const std::wstring& a, const wchar_t* b) noexcept
{
    const int length = lstrlenW(b);
    if (a.size() != static_cast<std::size_t>(length))
    {
        return false;
    }
    return length == 0 || ::CompareStringOrdinal(a.c_str(), length, b, length, TRUE) == CSTR_EQUAL;
}

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>& bytes)
{
    Norvan::unique_hfile file(::CreateFileW(path, GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > CBaseIniReader::kMaxFileBytes)
    {
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size())
    {
        DWORD got = 0;
        if (!::ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got,
                        nullptr))
        {
            return false;
        }
        if (got == 0)
        {
            break; // the file shrank meanwhile: take what is there
        }
        done += got;
    }
    bytes.resize(done);
    return true;
}

std::wstring FromMultiByte(UINT codePage, DWORD flags, const BYTE* data, std::size_t length, bool& ok)
{
    ok = true;
    std::wstring text;
    if (length == 0)
    {
        return text;
    }
    const char* source = reinterpret_cast<const char*>(data);
    const int chars = ::MultiByteToWideChar(codePage, flags, source, static_cast<int>(length), nullptr, 0);
    if (chars <= 0)
    {
        ok = false;
        return text;
    }
    text.resize(static_cast<std::size_t>(chars));
    if (::MultiByteToWideChar(codePage, flags, source, static_cast<int>(length), &text[0], chars) != chars)
    {
        ok = false;
        text.clear();
    }
    return text;
}

std::wstring FromUtf16(const BYTE* data, std::size_t length, bool bigEndian)
{
    std::wstring text;
    text.reserve(length / 2);
    for (std::size_t i = 0; i + 1 < length; i += 2)
    {
        const unsigned lo = bigEndian ? data[i + 1] : data[i];
        const unsigned hi = bigEndian ? data[i] : data[i + 1];
        text.push_back(static_cast<wchar_t>(lo | (hi << 8)));
    }
    return text;
}

std::wstring Decode(const std::vector<BYTE>& bytes)
{
    const BYTE* data = bytes.data();
    const std::size_t size = bytes.size();
    bool ok = true;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE)
    {
        return FromUtf16(data + 2, size - 2, false);
    }
    if (size >= 2 && data[0] == 0xFE && data[1] == 0xFF)
    {
        return FromUtf16(data + 2, size - 2, true);
    }
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF)
    {
        return FromMultiByte(CP_UTF8, 0, data + 3, size - 3, ok);
    }
    bool ascii = true;
    for (std::size_t i = 0; i < size && ascii; ++i)
    {
        ascii = data[i] < 0x80;
    }
    if (!ascii)
    {
        std::wstring text = FromMultiByte(CP_UTF8, MB_ERR_INVALID_CHARS, data, size, ok);
        if (ok)
        {
            return text;
        }
    }
    return FromMultiByte(CP_ACP, 0, data, size, ok);
}

bool ParseDecimal(const std::wstring& text, DWORD& value) noexcept
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || text[i] == L'\t'))
    {
        ++i;
    }
    if (i == text.size())
    {
        return false;
    }
    unsigned long long result = 0;
    for (; i < text.size(); ++i)
    {
        if (text[i] < L'0' || text[i] > L'9')
        {
            return false;
        }
        result = result * 10 + static_cast<unsigned>(text[i] - L'0');
        if (result > 0xFFFFFFFFull)
        {
            return false;
        }
    }
    value = static_cast<DWORD>(result);
    return true;
}

bool FileExists(const wchar_t* path) noexcept
{
    return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Puts a file back as it was before a write: its bytes, or no file.
void RestoreFile(const wchar_t* path, bool existed, const std::vector<BYTE>& bytes) noexcept
{
    if (!existed)
    {
        ::DeleteFileW(path);
        return;
    }
    Norvan::unique_hfile file(
        ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file && !bytes.empty())
    {
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
}

// Section and key as the lookups compare them: without regard to case.
std::pair<std::wstring, std::wstring> LookupName(const std::wstring& section, const std::wstring& key)
{
    std::pair<std::wstring, std::wstring> name(section, key);
    if (!name.first.empty())
    {
        ::CharUpperBuffW(&name.first[0], static_cast<DWORD>(name.first.size()));
    }
    if (!name.second.empty())
    {
        ::CharUpperBuffW(&name.second[0], static_cast<DWORD>(name.second.size()));
    }
    return name;
}

} // namespace

bool CBaseIniReader::Load(const wchar_t* path)
{
    entries_.clear();
    path_.clear();
    if (path == nullptr || *path == L'\0')
    {
        return false;
    }
    try
    {
        path_ = path;
        std::vector<BYTE> bytes;
        if (!ReadWholeFile(path, bytes))
        {
            return false;
        }
        Parse(Decode(bytes));
        return true;
    }
    catch (const std::bad_alloc&)
    {
        entries_.clear();
        return false;
    }
}

void CBaseIniReader::Parse(const std::wstring& content)
{
    entries_.clear();
    entries_ = ParseEntries(content);
}

std::vector<CBaseIniReader::Entry> CBaseIniReader::ParseEntries(const std::wstring& content)
{
    std::vector<Entry> entries;
    std::wstring section;
    std::size_t start = 0;
    while (start <= content.size())
    {
        std::size_t end = content.find_first_of(L"\r\n", start);
        if (end == std::wstring::npos)
        {
            end = content.size();
        }
        std::size_t last = end;
        while (last > start && IsTrailingSpace(content[last - 1]))
        {
            --last;
        }
        const std::size_t length = last - start;
        if (length > 0 && content[start] != L';')
        {
            if (content[start] == L'[' && content[last - 1] == L']' && length >= 2)
            {
                if (length > 2)
                {
                    section.assign(content, start + 1, length - 2);
                }
            }
            else
            {
                // Only within the line: a search to the end of the file for
                // every line would make many short lines quadratic.
                const wchar_t* line = content.data() + start;
                const wchar_t* found = std::find(line, line + length, L'=');
                const std::size_t equals = start + static_cast<std::size_t>(found - line);
                if (found != line + length)
                {
                    Entry entry;
                    entry.section = section;
                    entry.key.assign(content, start, equals - start);
                    entry.value.assign(content, equals + 1, last - equals - 1);
                    PrepareEntry(entry);
                    entries.push_back(std::move(entry));
                }
            }
        }
        start = end + 1;
    }
    return entries;
}

void CBaseIniReader::PrepareEntry(Entry&) {}

const CBaseIniReader::Entry* CBaseIniReader::Find(const wchar_t* section, const wchar_t* key) const
{
    if (section == nullptr || key == nullptr)
    {
        return nullptr;
    }
    for (const Entry& entry : entries_)
    {
        if (SameName(entry.section, section) && SameName(entry.key, key))
        {
            return &entry;
        }
    }
    return nullptr;
}

bool CBaseIniReader::ReadDword(const wchar_t* section, const wchar_t* key, DWORD& value) const
{
    const Entry* entry = Find(section, key);
    return entry != nullptr && entry->readable && entry->type != ValueType::String &&
           ParseDecimal(entry->value, value);
}

bool CBaseIniReader::ReadString(const wchar_t* section, const wchar_t* key, std::wstring& value) const
{
    const Entry* entry = Find(section, key);
    if (entry == nullptr || !entry->readable || entry->type == ValueType::Dword)
    {
        return false;
    }
    try
    {
        value = entry->value;
        return true;
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

bool CBaseIniReader::WriteDword(const wchar_t* section, const wchar_t* key, DWORD value)
{
    // Null names would make the profile API delete a whole section or key.
    if (path_.empty() || section == nullptr || *section == L'\0' || key == nullptr || *key == L'\0' ||
        wcschr(key, L'=') != nullptr || wcschr(section, L']') != nullptr)
    {
        return false;
    }
    try
    {
        // A file that is there but cannot be read back could not be checked
        // or put back: it is not written.
        const bool existed = FileExists(path_.c_str());
        std::vector<BYTE> original;
        if (existed && !ReadWholeFile(path_.c_str(), original))
        {
            return false;
        }
        if (!WriteToFile(section, key, value))
        {
            return false;
        }
        std::vector<BYTE> rewritten;
        if (!ReadWholeFile(path_.c_str(), rewritten) ||
            !ReadsAsWritten(ParseEntries(Decode(original)), ParseEntries(Decode(rewritten)), section, key,
                            value))
        {
            RestoreFile(path_.c_str(), existed, original);
            return false;
        }
        SetEntry(section, key, std::to_wstring(value), WrittenType());
        return true;
    }
    catch (const std::bad_alloc&)
    {
        // Nothing was compared: the file is left as the profile functions
        // wrote it (if they did), and the next Load reads what is there.
        return false;
    }
}

bool CBaseIniReader::ReadsAsWritten(const std::vector<Entry>& before, const std::vector<Entry>& after,
                                    const wchar_t* section, const wchar_t* key, DWORD value) const
{
    // The entry each lookup finds: the first of its name in file order.
    using Lookups = std::map<std::pair<std::wstring, std::wstring>, const Entry*>;
    const auto lookups = [](const std::vector<Entry>& entries)
    {
        Lookups found;
        for (const Entry& entry : entries)
        {
            found.emplace(LookupName(entry.section, entry.key), &entry);
        }
        return found;
    };
    const Lookups was = lookups(before);
    const Lookups is = lookups(after);
    const auto written = LookupName(section, key);

    const auto target = is.find(written);
    DWORD read = 0;
    if (target == is.end() || !target->second->readable || target->second->type == ValueType::String ||
        !ParseDecimal(target->second->value, read) || read != value)
    {
        return false;
    }
    const auto same = [](const Entry& a, const Entry& b)
    { return a.readable == b.readable && a.type == b.type && a.value == b.value; };
    for (const auto& lookup : was)
    {
        if (lookup.first == written)
        {
            continue;
        }
        const auto now = is.find(lookup.first);
        if (now == is.end() || !same(*lookup.second, *now->second))
        {
            return false;
        }
    }
    // Nothing may have appeared either (a line the profile functions read
    // differently that now defines a value).
    for (const auto& lookup : is)
    {
        if (lookup.first != written && was.find(lookup.first) == was.end())
        {
            return false;
        }
    }
    return true;
}

bool CBaseIniReader::WriteToFile(const wchar_t* section, const wchar_t* key, DWORD value)
{
    wchar_t text[16];
    _ultow_s(value, text, 10);
    return ::WritePrivateProfileStringW(section, key, text, path_.c_str()) != FALSE;
}

void CBaseIniReader::SetEntry(const wchar_t* section, const wchar_t* key, const std::wstring& value,
                              ValueType type)
{
    for (Entry& entry : entries_)
    {
        if (SameName(entry.section, section) && SameName(entry.key, key))
        {
            entry.value = value;
            entry.readable = true;
            entry.type = type;
            return;
        }
    }
    Entry entry;
    entry.section = section;
    entry.key = key;
    entry.value = value;
    entry.type = type;
    entries_.push_back(std::move(entry));
}

void CObfuscatedIniReader::PrepareEntry(Entry& entry)
{
    if (!CScrambledValue::LooksLikeText(entry.value.c_str(), entry.value.size()))
    {
        return;
    }
    CScrambledValue decoded;
    if (CScrambledValue::DecodeText(entry.value.c_str(), entry.value.size(), decoded) != 0)
    {
        entry.readable = false;
        return;
    }
    if (decoded.type == CScrambledValue::TypeDword)
    {
        entry.value = std::to_wstring(decoded.dword);
        entry.type = ValueType::Dword;
    }
    else
    {
        entry.value.swap(decoded.text);
        entry.type = ValueType::String;
    }
}

bool CObfuscatedIniReader::WriteToFile(const wchar_t* section, const wchar_t* key, DWORD value)
{
    std::vector<BYTE> blob;
    if (!CScrambledValue::EncodeDword(value, blob))
    {
        return false;
    }
    return ::WritePrivateProfileStructW(section, key, blob.data(), static_cast<UINT>(blob.size()),
                                        Path().c_str()) != FALSE;
}

} // namespace Plinth
