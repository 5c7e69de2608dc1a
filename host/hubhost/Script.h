#pragma once

#include "Bus.h"
#include "Matching.h"
#include "ModuleHost.h"
#include "Observed.h"
#include "Output.h"

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hubhost
{

// Runs the command language, one line at a time, against the loaded modules
// and the bus.
class Script
{
public:
    Script(Output& output, Bus& bus, Observed& observed, std::vector<std::unique_ptr<LoadedModule>>& modules);

    // Reads until the end of the input or `quit`. False when a line could
    // not be understood (the rest is not run); failed checks only count.
    bool run(std::FILE* input);

    // One line, as read; exposed so that a line's fate does not depend on
    // where it came from.
    bool execute(const std::string& line, unsigned lineNumber);

    unsigned failures() const { return m_failures; }
    bool quitRequested() const { return m_quit; }

private:
    struct Command
    {
        std::string verb;
        std::map<std::string, std::string> options;
        std::vector<std::string> words; // positional words before the rest
        std::string rest;               // the remainder of the line, trimmed
    };

    bool parse(const std::string& line, std::size_t positional, Command& command);
    bool recordOptions(const Command& command, RecordOptions& record);
    bool statusOption(const Command& command, const char* key, bool& present, std::uint32_t& status);
    bool durationOption(const Command& command, const char* key, std::uint64_t fallback,
                        std::uint64_t& value);
    bool checkOptions(const Command& command, const std::vector<std::string>& allowed);
    LoadedModule* findModule(const std::string& reference);

    bool doPublish(const std::string& line);
    bool doRequest(const std::string& line);
    bool doExpectReply(const std::string& line);
    bool doDirect(const std::string& line);
    bool doExpect(const std::string& line, bool absent);
    bool doRespond(const std::string& line);
    bool doRespondOff(const std::string& line);
    bool doWait(const std::string& line);
    bool doUnload(const std::string& line);
    bool doStats(const std::string& line);

    void checkStatus(const std::string& what, bool expected, std::uint32_t want, std::uint32_t got,
                     bool failWhenNonZero);
    void fail(const std::string& text);
    void pass(const std::string& text);
    bool syntax(const std::string& text);

    Output& m_output;
    Bus& m_bus;
    Observed& m_observed;
    std::vector<std::unique_ptr<LoadedModule>>& m_modules;
    unsigned m_lineNumber = 0;
    unsigned m_failures = 0;
    bool m_quit = false;
    bool m_haveOutcome = false;
    RequestOutcome m_lastOutcome;
    bool m_haveStats = false;
    CourierStats m_stats{};
};

} // namespace hubhost
