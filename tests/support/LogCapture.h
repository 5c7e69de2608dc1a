#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

namespace WardlineTest
{

// One log call as the log manager handed it to its implementation.
struct LogLine
{
    DWORD level = 0;
    std::wstring file;
    std::wstring function;
    int line = 0;
    std::wstring text;
};

// Installs a recording logging implementation in the process's log manager
// for its lifetime and puts the previous one back afterwards. Every level is
// enabled unless setSeverity says otherwise. Thread-safe: bus threads log too.
//
// extended == false records through WritePreformatted, so WriteLog formats the
// text itself (and applies its 4160/2080 cut); extended == true presents the
// extended interface and records what WriteFormattedEx formats.
class LogCapture
{
public:
    explicit LogCapture(bool extended = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    // Lines whose text contains the fragment.
    std::vector<LogLine> find(const std::wstring& fragment) const;
    // Lines whose text equals the text exactly.
    std::vector<LogLine> exactly(const std::wstring& text) const;
    std::size_t count() const;
    void clear();

    // Lowest enabled level (1 = everything, the default).
    void setSeverity(DWORD level);

    class Impl;

private:
    Impl* impl_;
};

} // namespace WardlineTest
