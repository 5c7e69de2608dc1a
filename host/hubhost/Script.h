#pragma once

#include "Bus.h"
#include "Matching.h"
#include "ModuleHost.h"
#include "Observed.h"
#include "Output.h"

#include <cstdio>
#include <functional>
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

    // Command families kept in units of their own add their verbs here; the
    // handler gets the whole line and returns false when it could not be
    // understood. False when the verb is taken.
    using Handler = std::function<bool(Script& script, const std::string& line)>;
    bool addCommand(const std::string& verb, Handler handler);

    // What such a handler works with.
    struct Command
    {
        std::string verb;
        std::map<std::string, std::string> options;
        std::vector<std::string> words; // positional words before the rest
        std::string rest;               // the remainder of the line, trimmed
    };
    // Options (key=value) after the verb, then `positional` words, then the
    // rest of the line.
    bool parse(const std::string& line, std::size_t positional, Command& command);
    bool checkOptions(const Command& command, const std::vector<std::string>& allowed);
    Output& output() { return m_output; }
    // A failed check counts against the run; a syntax error stops the script
    // (the handler returns its false).
    void fail(const std::string& text);
    void pass(const std::string& text);
    bool syntax(const std::string& text);

private:
    void addBuiltInCommands();
    bool recordOptions(const Command& command, RecordOptions& record);
    bool statusOption(const Command& command, const char* key, bool& present, std::uint32_t& status);
    bool durationOption(const Command& command, const char* key, std::uint64_t fallback,
                        std::uint64_t& value);
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

    bool doClear(const std::string& line);
    bool doEcho(const std::string& line);
    bool doQuit(const std::string& line);

    void checkStatus(const std::string& what, bool expected, std::uint32_t want, std::uint32_t got,
                     bool failWhenNonZero);

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
    std::map<std::string, Handler> m_commands;
};

} // namespace hubhost
