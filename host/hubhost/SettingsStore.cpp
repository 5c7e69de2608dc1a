#include "SettingsStore.h"

#include "Json.h"
#include "Text.h"
#include "common/Path.h"
#include "wrappers/PathAPI.h"
#include "wrappers/UniqueResource.h"

#include <rapidjson/prettywriter.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <cstring>

namespace hubhost
{

namespace
{
constexpr unsigned kFormat = 1;
constexpr wchar_t kFormatMember[] = L"format";
constexpr wchar_t kPropertiesMember[] = L"properties";
constexpr wchar_t kByteOrderMark = 0xFEFF;
// Far beyond any real settings file; a bigger one is not read into memory.
constexpr LONGLONG kLargestFile = 256ll * 1024 * 1024;

std::string windowsError(const char* what, const std::wstring& path, DWORD error)
{
    return std::string(what) + " " + toUtf8(path) + " (Windows error " + std::to_string(error) + ")";
}

// Ends the process the way a crash would: no handler of ours runs, no file is
// closed in order.
[[noreturn]] void crashNow()
{
    RaiseException(0xE0005E77u, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;)
    {
    }
}

std::wstring serialise(const SettingsStore::Entries& entries)
{
    WideBuffer buffer;
    rapidjson::PrettyWriter<WideBuffer, rapidjson::UTF16<wchar_t>, rapidjson::UTF16<wchar_t>> writer(buffer);
    writer.StartObject();
    writer.Key(kFormatMember);
    writer.Uint(kFormat);
    writer.Key(kPropertiesMember);
    writer.StartObject();
    for (const auto& entry : entries)
    {
        if (!entry.second.isVolatile)
        {
            writer.Key(entry.first.c_str(), static_cast<rapidjson::SizeType>(entry.first.size()));
            writer.String(entry.second.value.c_str(),
                          static_cast<rapidjson::SizeType>(entry.second.value.size()));
        }
    }
    writer.EndObject();
    writer.EndObject();
    return std::wstring(1, kByteOrderMark) + textOf(buffer);
}

bool writeAll(HANDLE file, const void* data, DWORD size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0)
    {
        DWORD written = 0;
        if (!WriteFile(file, bytes, size, &written, nullptr) || written == 0)
        {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

// A free name beside the file for a copy that is kept, not read.
std::wstring asideName(const std::wstring& path)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t stamp[32];
    _snwprintf_s(stamp, _countof(stamp), _TRUNCATE, L".damaged-%04u%02u%02u-%02u%02u%02u", now.wYear,
                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    std::wstring name = path + stamp;
    for (unsigned n = 2; GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES; ++n)
    {
        name = path + stamp + L"-" + std::to_wstring(n);
    }
    return name;
}

enum class Parsed
{
    Good,
    Damaged,
    NewerFormat
};

Parsed parseFile(const std::wstring& text, SettingsStore::Entries& entries, std::string& why)
{
    if (text.empty() || text[0] != kByteOrderMark)
    {
        why = "it does not start with the UTF-16 byte order mark";
        return Parsed::Damaged;
    }
    WideDocument document;
    if (!parseJson(text.substr(1), document) || !document.IsObject())
    {
        why = "it is not a JSON object";
        return Parsed::Damaged;
    }
    const auto format = document.FindMember(kFormatMember);
    if (format == document.MemberEnd() || !format->value.IsUint())
    {
        why = "it has no format number";
        return Parsed::Damaged;
    }
    if (format->value.GetUint() > kFormat)
    {
        why = "it was written in format " + std::to_string(format->value.GetUint()) +
              ", newer than this host's " + std::to_string(kFormat);
        return Parsed::NewerFormat;
    }
    const auto properties = document.FindMember(kPropertiesMember);
    if (properties == document.MemberEnd() || !properties->value.IsObject())
    {
        why = "it has no properties object";
        return Parsed::Damaged;
    }
    for (const auto& member : properties->value.GetObject())
    {
        if (!member.value.IsString())
        {
            why = "the property " + toUtf8(member.name.GetString()) + " has a value that is not text";
            return Parsed::Damaged;
        }
        SettingEntry& entry = entries[std::wstring(member.name.GetString(), member.name.GetStringLength())];
        entry.value.assign(member.value.GetString(), member.value.GetStringLength());
    }
    return Parsed::Good;
}
} // namespace

std::wstring SettingsStore::defaultPath()
{
    Norvan::unique_cotaskmem_string folder;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, folder.put())) || !folder)
    {
        return std::wstring();
    }
    return std::wstring(folder.get()) + L"\\Hubframe\\Settings\\settings.json";
}

SettingsStore::SettingsStore(std::wstring path) : path_(std::move(path)) {}

SettingsStore::~SettingsStore()
{
    if (lock_ != INVALID_HANDLE_VALUE)
    {
        CloseHandle(lock_);
    }
}

bool SettingsStore::open(std::vector<std::string>& notes, std::string& error)
{
    if (path_.empty())
    {
        return true;
    }
    const std::wstring folder = Norvan::internal::folderOf(path_);
    DWORD code = 0;
    if (!folder.empty() && !Norvan::PathAPI().createDirectory(folder.c_str(), code))
    {
        error = windowsError("cannot create the folder", folder, code);
        return false;
    }
    const std::wstring lockPath = path_ + L".lock";
    lock_ = CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (lock_ == INVALID_HANDLE_VALUE)
    {
        code = GetLastError();
        error = code == ERROR_SHARING_VIOLATION
                    ? "the settings file " + toUtf8(path_) + " is in use by another host"
                    : windowsError("cannot lock", lockPath, code);
        return false;
    }
    // Whatever is there was never confirmed to anyone: the write it belongs
    // to ended before its rename.
    const std::wstring temporary = path_ + L".tmp";
    if (DeleteFileW(temporary.c_str()))
    {
        notes.push_back("removed " + toUtf8(temporary) + ", left by a write that did not finish");
    }
    return load(notes, error);
}

bool SettingsStore::load(std::vector<std::string>& notes, std::string& error)
{
    Norvan::unique_hfile file(CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND)
        {
            return true;
        }
        error = windowsError("cannot read", path_, code);
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kLargestFile)
    {
        error =
            "cannot read " + toUtf8(path_) + ": it is larger than " + std::to_string(kLargestFile) + " bytes";
        return false;
    }
    std::wstring text(static_cast<std::size_t>(size.QuadPart / 2), L'\0');
    DWORD read = 0;
    const DWORD bytes = static_cast<DWORD>(text.size() * 2);
    if (bytes != 0 && (!ReadFile(file.get(), &text[0], bytes, &read, nullptr) || read != bytes))
    {
        error = windowsError("cannot read", path_, GetLastError());
        return false;
    }
    file.reset();

    Entries loaded;
    std::string why;
    const Parsed parsed =
        size.QuadPart % 2 != 0 ? (why = "its size is odd", Parsed::Damaged) : parseFile(text, loaded, why);
    if (parsed == Parsed::NewerFormat)
    {
        error = "cannot use " + toUtf8(path_) + ": " + why;
        return false;
    }
    if (parsed == Parsed::Damaged)
    {
        // Kept for whoever wants to look at it; this host starts afresh.
        const std::wstring aside = asideName(path_);
        if (!MoveFileExW(path_.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH))
        {
            error = toUtf8(path_) + " is not a settings file (" + why +
                    ") and cannot be moved aside: Windows error " + std::to_string(GetLastError());
            return false;
        }
        notes.push_back(toUtf8(path_) + " is not a settings file (" + why + "); moved aside to " +
                        toUtf8(aside));
        return true;
    }
    entries_ = std::move(loaded);
    notes.push_back("loaded " + std::to_string(entries_.size()) + " setting(s) from " + toUtf8(path_));
    return true;
}

const SettingEntry* SettingsStore::find(const std::wstring& name) const
{
    const auto found = entries_.find(name);
    return found == entries_.end() ? nullptr : &found->second;
}

bool SettingsStore::apply(const std::vector<SettingChange>& changes, std::string& error)
{
    Entries next = entries_;
    bool touchesFile = false;
    for (const SettingChange& change : changes)
    {
        const auto found = next.find(change.name);
        const bool wasStored = found != next.end() && !found->second.isVolatile;
        if (change.remove)
        {
            if (found != next.end())
            {
                touchesFile = touchesFile || wasStored;
                next.erase(found);
            }
            continue;
        }
        touchesFile = touchesFile || wasStored || !change.isVolatile;
        SettingEntry& entry = next[change.name];
        entry.value = change.value;
        entry.isVolatile = change.isVolatile;
    }
    if (touchesFile && !write(next, error))
    {
        return false;
    }
    entries_.swap(next);
    return true;
}

bool SettingsStore::write(const Entries& entries, std::string& error)
{
    if (path_.empty())
    {
        return true;
    }
    const std::wstring text = serialise(entries);
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const std::wstring temporary = path_ + L".tmp";
    {
        Norvan::unique_hfile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
        {
            error = windowsError("cannot create", temporary, GetLastError());
            return false;
        }
        if (fault_ == WriteFault::TornTemporary)
        {
            writeAll(file.get(), text.data(), bytes / 2);
            FlushFileBuffers(file.get());
            crashNow();
        }
        if (!writeAll(file.get(), text.data(), bytes) || !FlushFileBuffers(file.get()))
        {
            error = windowsError("cannot write", temporary, GetLastError());
            file.reset();
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
    if (fault_ == WriteFault::BeforeCommit)
    {
        crashNow();
    }
    if (!MoveFileExW(temporary.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    {
        error = windowsError("cannot replace", path_, GetLastError());
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace hubhost
