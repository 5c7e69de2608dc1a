#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace hubhost
{

struct SettingEntry
{
    std::wstring value;
    bool isVolatile = false;
};

// One change of a batch that the store applies as a whole.
struct SettingChange
{
    bool remove = false;
    std::wstring name;
    std::wstring value;
    bool isVolatile = false;
};

// Points in a file write where a test can make the host die, to show that
// no step of a write can lose or corrupt what was stored before.
enum class WriteFault
{
    None,
    TornTemporary, // half of the new file written, then the process crashes
    BeforeCommit,  // the new file complete and flushed, not yet in place
};

// The settings manager's values. Persistent ones live in memory and in one
// file, UTF-16 JSON ({"format":1,"properties":{name: value}}); volatile ones
// in memory only, so they are gone when the host ends. A name holds one
// value: setting it volatile drops its stored copy, setting it persistent
// ends its volatile life.
//
// A write never touches the file in place: the new contents go to
// "<file>.tmp", are flushed, and replace the file in one rename. A crash at
// any point leaves either the old file or the new one, and the leftover
// temporary file is removed at the next start. A write is confirmed only
// after the rename.
//
// One host per file: the store holds "<file>.lock" open while it lives. Not
// thread-safe; the settings service serialises its calls.
class SettingsStore
{
public:
    using Entries = std::map<std::wstring, SettingEntry>;

    // Where a Windows host keeps machine-wide data of its own:
    // %ProgramData%\Hubframe\Settings\settings.json. Empty when the folder
    // cannot be found.
    static std::wstring defaultPath();

    // An empty path keeps every value in memory only.
    explicit SettingsStore(std::wstring path);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // Takes the file for this process, creating its folder, and loads it.
    // A file that is not a settings file is moved aside, with a note naming
    // where, and the store starts empty; one written by a newer format is
    // refused. False with a reason when the file cannot be used.
    bool open(std::vector<std::string>& notes, std::string& error);

    const std::wstring& path() const { return path_; }
    const Entries& entries() const { return entries_; }
    const SettingEntry* find(const std::wstring& name) const;

    // In order, all or nothing: when the file cannot be written, nothing
    // changes. Removing a name that is not there is no change.
    bool apply(const std::vector<SettingChange>& changes, std::string& error);

    void injectFault(WriteFault fault) { fault_ = fault; }

private:
    bool load(std::vector<std::string>& notes, std::string& error);
    bool write(const Entries& entries, std::string& error);

    std::wstring path_;
    HANDLE lock_ = INVALID_HANDLE_VALUE;
    Entries entries_;
    WriteFault fault_ = WriteFault::None;
};

} // namespace hubhost
