#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Plinth
{

// Reader of a file's version resource. One reader loads one file, once.
class FileVersionInfo
{
public:
    FileVersionInfo() = default;
    virtual ~FileVersionInfo() = default;
    FileVersionInfo(const FileVersionInfo&) = delete;
    FileVersionInfo& operator=(const FileVersionInfo&) = delete;

    // Reads the version resource of the file. False when the file has none,
    // cannot be read, or this reader has already loaded one.
    virtual bool Load(const std::wstring& path);
    // The string of that name ("FileVersion", "ProductVersion", ...) in the
    // first translation that has it; empty when nothing is loaded, the
    // resource lists no translation, or none has the string.
    virtual void GetString(std::wstring& value, const std::wstring& key);

private:
    std::vector<BYTE> buffer_;
    bool loaded_ = false;
};

} // namespace Plinth
