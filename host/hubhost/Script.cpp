#include "Script.h"

#include "Text.h"

#include "Matching.h"

#include <windows.h>

#include <chrono>
#include <cstring>

namespace hubhost
{

namespace
{
constexpr std::uint64_t kDefaultExpectMs = 2000;
constexpr std::uint64_t kDefaultAbsentMs = 500;
constexpr std::uint64_t kDefaultRequestMs = 5000;
// Longer than any test needs, short enough that a typo cannot hang a run.
constexpr std::uint64_t kLongestWaitMs = 600000;
constexpr std::uint32_t kSyncMs = 2000;

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

std::string trim(const std::string& text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpace(text[begin]))
    {
        ++begin;
    }
    while (end > begin && isSpace(text[end - 1]))
    {
        --end;
    }
    return text.substr(begin, end - begin);
}

// Reads the token starting at `pos` (after skipping blanks), moving `pos`
// past it.
std::string token(const std::string& line, std::size_t& pos)
{
    while (pos < line.size() && isSpace(line[pos]))
    {
        ++pos;
    }
    const std::size_t begin = pos;
    while (pos < line.size() && !isSpace(line[pos]))
    {
        ++pos;
    }
    return line.substr(begin, pos - begin);
}

bool isOption(const std::string& word)
{
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0)
    {
        return false;
    }
    for (std::size_t i = 0; i < eq; ++i)
    {
        const char c = word[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
        {
            return false;
        }
    }
    return true;
}

bool yesNo(const std::string& text, bool& value)
{
    if (text == "yes" || text == "1" || text == "true")
    {
        value = true;
        return true;
    }
    if (text == "no" || text == "0" || text == "false")
    {
        value = false;
        return true;
    }
    return false;
}

std::string describe(const BusEvent& event)
{
    std::string text =
        toUtf8(event.name) + " from \"" + toUtf8(event.source) + "\": " + toUtf8(event.payload);
    if (event.kind == EventKind::Handled)
    {
        text = "(handled by " + toUtf8(event.sender) + " -> " + statusText(event.status) + ") " + text;
    }
    else if (event.kind != EventKind::Publish)
    {
        text = std::string("(") + kindName(event.kind) + ") " + text;
    }
    return text;
}
} // namespace

Script::Script(Output& output, Bus& bus, Observed& observed,
               std::vector<std::unique_ptr<LoadedModule>>& modules)
    : m_output(output), m_bus(bus), m_observed(observed), m_modules(modules)
{
    // Counts for `stats` start with the script, not with the modules' start.
    m_haveStats = m_bus.stats(m_stats);
    addBuiltInCommands();
}

bool Script::run(std::FILE* input)
{
    std::string line;
    unsigned number = 0;
    int c;
    bool more = true;
    while (more && !m_quit)
    {
        line.clear();
        bool sawNul = false;
        while ((c = std::fgetc(input)) != EOF && c != '\n')
        {
            if (c == '\0')
            {
                sawNul = true;
            }
            line += static_cast<char>(c);
        }
        if (c == EOF)
        {
            more = false;
            if (line.empty())
            {
                break;
            }
        }
        ++number;
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
        {
            line.erase(0, 3); // editors on Windows like to start with a BOM
        }
        if (sawNul)
        {
            m_lineNumber = number;
            return syntax("the line contains a NUL character");
        }
        if (!execute(line, number))
        {
            return false;
        }
        // Traffic the command caused directly is shown before the next one
        // starts; what modules do in reaction may still come later.
        m_bus.sync(kSyncMs);
    }
    return true;
}

bool Script::execute(const std::string& rawLine, unsigned lineNumber)
{
    m_lineNumber = lineNumber;
    const std::string line = trim(rawLine);
    if (line.empty() || line[0] == '#')
    {
        return true;
    }
    std::size_t pos = 0;
    const std::string verb = token(line, pos);
    // echo's output line is its text; the command line would say it twice.
    if (verb != "echo")
    {
        Output::Json json("command");
        json.num("line", lineNumber).str8("text", line);
        m_output.emit("> " + line, json.done());
    }
    const auto command = m_commands.find(verb);
    if (command == m_commands.end())
    {
        return syntax("unknown command '" + verb + "' (see --help)");
    }
    return command->second(*this, line);
}

bool Script::addCommand(const std::string& verb, Handler handler)
{
    return m_commands.emplace(verb, std::move(handler)).second;
}

void Script::addBuiltInCommands()
{
    const auto member = [](bool (Script::*method)(const std::string&))
    { return [method](Script& script, const std::string& line) { return (script.*method)(line); }; };
    addCommand("publish", member(&Script::doPublish));
    addCommand("request", member(&Script::doRequest));
    addCommand("expect-reply", member(&Script::doExpectReply));
    addCommand("direct", member(&Script::doDirect));
    addCommand("expect",
               [](Script& script, const std::string& line) { return script.doExpect(line, false); });
    addCommand("expect-none",
               [](Script& script, const std::string& line) { return script.doExpect(line, true); });
    addCommand("respond", member(&Script::doRespond));
    addCommand("respond-off", member(&Script::doRespondOff));
    addCommand("wait", member(&Script::doWait));
    addCommand("unload", member(&Script::doUnload));
    addCommand("stats", member(&Script::doStats));
    addCommand("clear", member(&Script::doClear));
    addCommand("echo", member(&Script::doEcho));
    addCommand("quit", member(&Script::doQuit));
}

bool Script::doClear(const std::string& line)
{
    Command command;
    if (!parse(line, 0, command) || !checkOptions(command, {}) || !command.rest.empty())
    {
        return syntax("clear takes nothing");
    }
    m_observed.clear();
    return true;
}

bool Script::doEcho(const std::string& line)
{
    std::size_t pos = 0;
    token(line, pos);
    const std::string text = trim(line.substr(pos));
    Output::Json echo("echo");
    echo.str8("text", text);
    m_output.emit("[echo] " + text, echo.done());
    return true;
}

bool Script::doQuit(const std::string& line)
{
    std::size_t pos = 0;
    token(line, pos);
    if (!trim(line.substr(pos)).empty())
    {
        return syntax("quit takes nothing");
    }
    m_quit = true;
    return true;
}

bool Script::parse(const std::string& line, std::size_t positional, Command& command)
{
    std::size_t pos = 0;
    command.verb = token(line, pos);
    for (;;)
    {
        std::size_t next = pos;
        const std::string word = token(line, next);
        if (!isOption(word))
        {
            break;
        }
        const std::size_t eq = word.find('=');
        const std::string key = word.substr(0, eq);
        if (command.options.count(key) != 0)
        {
            return syntax("option '" + key + "' given twice");
        }
        command.options[key] = word.substr(eq + 1);
        pos = next;
    }
    for (std::size_t i = 0; i < positional; ++i)
    {
        const std::string word = token(line, pos);
        if (word.empty())
        {
            return syntax(command.verb + " needs " + std::to_string(positional) +
                          " word(s) before its payload");
        }
        command.words.push_back(word);
    }
    command.rest = trim(line.substr(pos));
    return true;
}

bool Script::checkOptions(const Command& command, const std::vector<std::string>& allowed)
{
    for (const auto& option : command.options)
    {
        bool known = false;
        for (const std::string& key : allowed)
        {
            known = known || key == option.first;
        }
        if (!known)
        {
            return syntax(command.verb + " has no option '" + option.first + "'");
        }
    }
    return true;
}

bool Script::recordOptions(const Command& command, RecordOptions& record)
{
    auto found = command.options.find("record");
    if (found != command.options.end())
    {
        if (found->second == "none")
        {
            record.present = false;
        }
        else if (found->second == "v1")
        {
            record.version = 1;
        }
        else if (found->second != "v2")
        {
            return syntax("record= takes none, v1 or v2");
        }
    }
    std::uint64_t value = 0;
    found = command.options.find("flags");
    if (found != command.options.end())
    {
        if (!parseUnsigned(found->second, value) || value > 0xFFFFFFFFull)
        {
            return syntax("flags= takes a 32-bit number");
        }
        record.flags = static_cast<std::uint32_t>(value);
    }
    found = command.options.find("session");
    if (found != command.options.end())
    {
        if (!parseUnsigned(found->second, value) || value > 0xFFFFFFFFull)
        {
            return syntax("session= takes a 32-bit number");
        }
        if (record.version != 2)
        {
            return syntax("session= needs the version 2 record");
        }
        record.session = static_cast<std::uint32_t>(value);
    }
    found = command.options.find("routing");
    if (found != command.options.end())
    {
        if (!parseUnsigned(found->second, value))
        {
            return syntax("routing= takes a 64-bit number");
        }
        record.replyRouting = value;
    }
    return true;
}

bool Script::statusOption(const Command& command, const char* key, bool& present, std::uint32_t& status)
{
    present = false;
    const auto found = command.options.find(key);
    if (found == command.options.end())
    {
        return true;
    }
    if (!parseStatus(found->second, status))
    {
        return syntax(std::string(key) +
                      "= takes a status: 0x80000006, 2147483654 or MODULE_STATUS_DATA_ERROR");
    }
    present = true;
    return true;
}

bool Script::durationOption(const Command& command, const char* key, std::uint64_t fallback,
                            std::uint64_t& value)
{
    value = fallback;
    const auto found = command.options.find(key);
    if (found == command.options.end())
    {
        return true;
    }
    if (!parseUnsigned(found->second, value))
    {
        return syntax(std::string(key) + "= takes milliseconds");
    }
    return true;
}

LoadedModule* Script::findModule(const std::string& reference)
{
    const std::wstring wanted = fromUtf8(reference);
    for (auto& module : m_modules)
    {
        if (module->name() == wanted)
        {
            return module.get();
        }
    }
    // "#1" is the first module on the command line.
    std::uint64_t index = 0;
    if (reference.size() > 1 && reference[0] == '#' && parseUnsigned(reference.substr(1), index) &&
        index >= 1 && index <= m_modules.size())
    {
        return m_modules[static_cast<std::size_t>(index - 1)].get();
    }
    return nullptr;
}

void Script::checkStatus(const std::string& what, bool expected, std::uint32_t want, std::uint32_t got,
                         bool failWhenNonZero)
{
    if (expected)
    {
        if (want == got)
        {
            pass(what + " returned " + statusText(got) + " as expected");
        }
        else
        {
            fail(what + " returned " + statusText(got) + ", expected " + statusText(want));
        }
    }
    else if (failWhenNonZero && got != 0)
    {
        fail(what + " failed with " + statusText(got));
    }
}

void Script::pass(const std::string& text)
{
    Output::Json json("check");
    json.boolean("ok", true).num("line", m_lineNumber).str8("text", text);
    m_output.emit("[check] ok: " + text, json.done());
}

void Script::fail(const std::string& text)
{
    ++m_failures;
    Output::Json json("check");
    json.boolean("ok", false).num("line", m_lineNumber).str8("text", text);
    m_output.emit("[check] FAILED (line " + std::to_string(m_lineNumber) + "): " + text, json.done());
}

bool Script::syntax(const std::string& text)
{
    Output::Json json("error");
    json.num("line", m_lineNumber).str8("text", text);
    m_output.emit("[error] line " + std::to_string(m_lineNumber) + ": " + text, json.done());
    return false;
}

bool Script::doPublish(const std::string& line)
{
    Command command;
    RecordOptions record;
    bool expected = false;
    std::uint32_t want = 0;
    if (!parse(line, 1, command) ||
        !checkOptions(command, {"source", "record", "flags", "session", "routing", "form", "expect"}) ||
        !recordOptions(command, record) || !statusOption(command, "expect", expected, want))
    {
        return false;
    }
    const auto form = command.options.find("form");
    if (form != command.options.end() && form->second != "ex" && form->second != "plain")
    {
        return syntax("form= takes plain or ex");
    }
    const bool extended = form != command.options.end() && form->second == "ex";
    const auto source = command.options.find("source");
    const std::wstring sourceText = fromUtf8(source != command.options.end() ? source->second : "hubhost");
    const std::wstring name = fromUtf8(command.words[0]);
    const std::uint32_t status = m_bus.publish(record, extended, name, sourceText, fromUtf8(command.rest));
    m_bus.sync(kSyncMs); // the message itself shows before its status

    Output::Json json("publish");
    json.str("name", name).boolean("extended", extended).status("status", status);
    m_output.emit("[publish] " + command.words[0] + " -> " + statusText(status), json.done());
    checkStatus("publish " + command.words[0], expected, want, status, false);
    return true;
}

bool Script::doRequest(const std::string& line)
{
    Command command;
    RecordOptions record;
    bool expected = false;
    std::uint32_t want = 0;
    std::uint64_t timeout = 0;
    if (!parse(line, 1, command) ||
        !checkOptions(command,
                      {"source", "record", "flags", "session", "routing", "form", "expect", "timeout"}) ||
        !recordOptions(command, record) || !statusOption(command, "expect", expected, want) ||
        !durationOption(command, "timeout", kDefaultRequestMs, timeout))
    {
        return false;
    }
    const auto form = command.options.find("form");
    if (form != command.options.end() && form->second != "ex" && form->second != "plain")
    {
        return syntax("form= takes plain or ex");
    }
    const bool extended = form != command.options.end() && form->second == "ex";
    const auto source = command.options.find("source");
    const std::wstring sourceText = fromUtf8(source != command.options.end() ? source->second : "hubhost");
    const std::wstring name = fromUtf8(command.words[0]);

    const RequestOutcome outcome =
        m_bus.request(record, extended, name, sourceText, fromUtf8(command.rest), timeout);
    m_lastOutcome = outcome;
    m_haveOutcome = true;
    m_bus.sync(kSyncMs);

    const std::string head = "[reply] #" + std::to_string(outcome.index) + " " + command.words[0];
    Output::Json json("reply");
    json.num("index", outcome.index).str("request", name).boolean("accepted", outcome.accepted);
    json.boolean("completed", outcome.completed);
    if (!outcome.accepted)
    {
        json.status("status", outcome.status);
        m_output.emit(head + " refused: " + statusText(outcome.status), json.done());
        checkStatus("request " + command.words[0], expected, want, outcome.status, false);
        return true;
    }
    if (!outcome.completed)
    {
        json.null("status");
        m_output.emit(head + ": no reply callback within " + std::to_string(timeout) + " ms + 1000 ms grace",
                      json.done());
        fail("request " + command.words[0] + " was accepted but the bus never reported its outcome");
        return true;
    }
    json.status("status", outcome.status);
    if (outcome.status == 0)
    {
        json.str("name", outcome.name).str("source", outcome.source).str("payload", outcome.payload);
        json.num("flags", outcome.record.flags).num("session", outcome.record.session);
        m_output.emit(head + " -> " + statusText(outcome.status) + ": " + toUtf8(outcome.name) + " from \"" +
                          toUtf8(outcome.source) + "\": " + toUtf8(outcome.payload),
                      json.done());
    }
    else
    {
        m_output.emit(head + " -> " + statusText(outcome.status), json.done());
    }
    checkStatus("request " + command.words[0], expected, want, outcome.status, false);
    return true;
}

bool Script::doExpectReply(const std::string& line)
{
    Command command;
    bool expected = false;
    std::uint32_t want = 0;
    if (!parse(line, 0, command) || !checkOptions(command, {"status", "name", "source"}) ||
        !statusOption(command, "status", expected, want))
    {
        return false;
    }
    if (!m_haveOutcome)
    {
        return syntax("expect-reply needs a request before it");
    }
    const RequestOutcome& outcome = m_lastOutcome;
    const std::string what = "reply #" + std::to_string(outcome.index);
    if (!outcome.accepted || !outcome.completed)
    {
        if (expected && !outcome.accepted && outcome.status == want)
        {
            pass(what + " was refused with " + statusText(want) + " as expected");
        }
        else
        {
            fail(what +
                 (outcome.accepted ? " never completed" : " was refused with " + statusText(outcome.status)));
        }
        return true;
    }
    // By default a reply is expected to be a real answer.
    const std::uint32_t wantStatus = expected ? want : 0;
    if (outcome.status != wantStatus)
    {
        fail(what + " ended with " + statusText(outcome.status) + ", expected " + statusText(wantStatus));
        return true;
    }
    const auto name = command.options.find("name");
    if (name != command.options.end() && !nameMatches(fromUtf8(name->second), outcome.name))
    {
        fail(what + " is named " + toUtf8(outcome.name) + ", expected " + name->second);
        return true;
    }
    const auto source = command.options.find("source");
    if (source != command.options.end() && fromUtf8(source->second) != outcome.source)
    {
        fail(what + " comes from \"" + toUtf8(outcome.source) + "\", expected \"" + source->second + "\"");
        return true;
    }
    if (outcome.status == 0 && !payloadMatches(fromUtf8(command.rest), outcome.payload))
    {
        fail(what + " carries " + toUtf8(outcome.payload) + ", expected " + command.rest);
        return true;
    }
    pass(what + " as expected (" + statusText(outcome.status) + ")");
    return true;
}

bool Script::doDirect(const std::string& line)
{
    Command command;
    RecordOptions record;
    bool expected = false;
    std::uint32_t want = 0;
    if (!parse(line, 2, command) ||
        !checkOptions(command, {"source", "record", "flags", "session", "routing", "expect"}) ||
        !recordOptions(command, record) || !statusOption(command, "expect", expected, want))
    {
        return false;
    }
    LoadedModule* module = findModule(command.words[0]);
    if (module == nullptr)
    {
        return syntax("no module named '" + command.words[0] + "' (use its name or #1, #2...)");
    }
    const auto source = command.options.find("source");
    const std::wstring sourceText = fromUtf8(source != command.options.end() ? source->second : "hubhost");
    const std::wstring name = fromUtf8(command.words[1]);
    std::uint32_t status = 0;
    if (!module->direct(record, name, sourceText, fromUtf8(command.rest), status))
    {
        fail("direct to " + command.words[0] + ": the module is not running");
        return true;
    }
    m_bus.sync(kSyncMs);
    Output::Json json("module");
    json.str("module", module->name())
        .str8("function", "DirectMessage")
        .str("name", name)
        .status("status", status);
    m_output.emit("[module] " + toUtf8(module->name()) + " DirectMessage " + command.words[1] + " -> " +
                      statusText(status),
                  json.done());
    checkStatus("DirectMessage " + command.words[1], expected, want, status, true);
    return true;
}

bool Script::doExpect(const std::string& line, bool absent)
{
    Command command;
    std::uint64_t within = 0;
    if (!parse(line, 1, command) ||
        !checkOptions(command, absent
                                   ? std::vector<std::string>{"within", "source", "kind", "session", "status"}
                                   : std::vector<std::string>{"within", "source", "kind", "session", "status",
                                                              "next"}) ||
        !durationOption(command, "within", absent ? kDefaultAbsentMs : kDefaultExpectMs, within))
    {
        return false;
    }
    bool checkStatus = false;
    std::uint32_t status = 0;
    if (!statusOption(command, "status", checkStatus, status))
    {
        return false;
    }
    if (within > kLongestWaitMs)
    {
        return syntax("within= is limited to " + std::to_string(kLongestWaitMs) + " ms");
    }
    bool next = false;
    bool anyKind = false;
    // Only handled reports carry a status, so asking for one asks for them.
    EventKind kind = checkStatus ? EventKind::Handled : EventKind::Publish;
    bool checkSession = false;
    std::uint64_t session = 0;
    auto found = command.options.find("next");
    if (found != command.options.end() && !yesNo(found->second, next))
    {
        return syntax("next= takes yes or no");
    }
    found = command.options.find("kind");
    if (found != command.options.end())
    {
        anyKind = found->second == "any";
        if (!anyKind && !parseKind(found->second, kind))
        {
            return syntax("kind= takes publish, request, reply, reply-dropped, timeout, no-subscribers, "
                          "handled or any");
        }
    }
    found = command.options.find("session");
    if (found != command.options.end())
    {
        checkSession = true;
        if (!parseUnsigned(found->second, session) || session > 0xFFFFFFFFull)
        {
            return syntax("session= takes a 32-bit number");
        }
    }
    const auto sourceOption = command.options.find("source");
    const bool checkSource = sourceOption != command.options.end();
    const std::wstring source = checkSource ? fromUtf8(sourceOption->second) : std::wstring();
    const std::wstring name = fromUtf8(command.words[0]);
    const std::wstring payload = fromUtf8(command.rest);

    const Observed::Match match = [&](const BusEvent& event)
    {
        if (!nameMatches(name, event.name) || !payloadMatches(payload, event.payload))
        {
            return false;
        }
        if (checkSource && event.source != source)
        {
            return false;
        }
        if (!anyKind && event.kind != kind)
        {
            return false;
        }
        if (checkStatus && (event.kind != EventKind::Handled || event.status != status))
        {
            return false;
        }
        return !checkSession || event.record.session == session;
    };
    std::string wanted = command.words[0] + (command.rest.empty() ? "" : " " + command.rest);
    if (checkStatus)
    {
        wanted = "handled " + wanted + " -> " + statusText(status);
    }
    BusEvent event;
    if (absent)
    {
        if (m_observed.absent(match, std::chrono::milliseconds(within), event))
        {
            pass("no " + wanted + " within " + std::to_string(within) + " ms");
        }
        else
        {
            fail("unexpected " + describe(event));
        }
        return true;
    }
    if (m_observed.take(match, std::chrono::milliseconds(within), next, event))
    {
        pass("saw " + describe(event));
    }
    else if (next && event.sequence != 0)
    {
        fail("expected " + wanted + " next, but the next message was " + describe(event));
    }
    else
    {
        fail("no " + wanted + " within " + std::to_string(within) + " ms");
    }
    return true;
}

bool Script::doRespond(const std::string& line)
{
    Command command;
    if (!parse(line, 1, command) || !checkOptions(command, {"source"}))
    {
        return false;
    }
    const auto source = command.options.find("source");
    const std::wstring sourceText = fromUtf8(source != command.options.end() ? source->second : "hubhost");
    std::uint32_t status = 0;
    if (!m_bus.respond(fromUtf8(command.words[0]), sourceText, fromUtf8(command.rest), status))
    {
        fail("the bus refused the subscription for responding to " + command.words[0]);
    }
    return true;
}

bool Script::doRespondOff(const std::string& line)
{
    Command command;
    if (!parse(line, 1, command) || !checkOptions(command, {}) || !command.rest.empty())
    {
        return syntax("respond-off takes one message name");
    }
    if (!m_bus.stopResponding(fromUtf8(command.words[0])))
    {
        return syntax("nothing responds to " + command.words[0]);
    }
    return true;
}

bool Script::doWait(const std::string& line)
{
    Command command;
    std::uint64_t ms = 0;
    if (!parse(line, 1, command) || !checkOptions(command, {}) || !command.rest.empty() ||
        !parseUnsigned(command.words[0], ms))
    {
        return syntax("wait takes a number of milliseconds");
    }
    if (ms > kLongestWaitMs)
    {
        return syntax("wait is limited to " + std::to_string(kLongestWaitMs) + " ms");
    }
    Sleep(static_cast<DWORD>(ms));
    return true;
}

bool Script::doUnload(const std::string& line)
{
    Command command;
    if (!parse(line, 1, command) || !checkOptions(command, {}) || !command.rest.empty())
    {
        return syntax("unload takes one module");
    }
    LoadedModule* module = findModule(command.words[0]);
    if (module == nullptr)
    {
        return syntax("no module named '" + command.words[0] + "'");
    }
    if (!module->running())
    {
        fail("unload " + command.words[0] + ": the module is not running");
        return true;
    }
    module->stop(m_failures);
    return true;
}

} // namespace hubhost

namespace hubhost
{

bool Script::doStats(const std::string& line)
{
    Command command;
    std::uint64_t within = 0;
    if (!parse(line, 0, command) ||
        !checkOptions(command, {"delivered", "failed", "thrown", "replies", "within"}) ||
        !durationOption(command, "within", kDefaultExpectMs, within) || !command.rest.empty())
    {
        return command.rest.empty() ? false : syntax("stats takes only options");
    }
    if (within > kLongestWaitMs)
    {
        return syntax("within= is limited to " + std::to_string(kLongestWaitMs) + " ms");
    }
    struct Check
    {
        const char* key;
        std::uint64_t CourierStats::*field;
        bool wanted;
        std::uint64_t value;
    };
    Check checks[] = {{"delivered", &CourierStats::delivered, false, 0},
                      {"failed", &CourierStats::failedCallbacks, false, 0},
                      {"thrown", &CourierStats::thrownCallbacks, false, 0},
                      {"replies", &CourierStats::repliesDelivered, false, 0}};
    for (Check& check : checks)
    {
        const auto found = command.options.find(check.key);
        if (found != command.options.end())
        {
            if (!parseUnsigned(found->second, check.value))
            {
                return syntax(std::string(check.key) + "= takes a count");
            }
            check.wanted = true;
        }
    }
    CourierStats now{};
    if (!m_haveStats || !m_bus.stats(now))
    {
        fail("the bus library reports no counters (no CourierGetStats export)");
        return true;
    }
    // Counts grow as the bus's workers finish callbacks: give a wanted count
    // the time to be reached, then judge what is there.
    const DWORD start = GetTickCount();
    for (;;)
    {
        bool reached = true;
        for (const Check& check : checks)
        {
            reached = reached && (!check.wanted || now.*check.field - m_stats.*check.field >= check.value);
        }
        if (reached || GetTickCount() - start >= within)
        {
            break;
        }
        Sleep(10);
        m_bus.stats(now);
    }
    Output::Json json("stats");
    std::string text = "[stats] since the last stats:";
    for (const Check& check : checks)
    {
        const std::uint64_t change = now.*check.field - m_stats.*check.field;
        json.num(check.key, change);
        text += std::string(" ") + check.key + " +" + std::to_string(change);
    }
    json.num("workers", now.workers).num("handles", now.liveHandles);
    text += " (workers " + std::to_string(now.workers) + ", handles " + std::to_string(now.liveHandles) + ")";
    m_output.emit(text, json.done());
    for (const Check& check : checks)
    {
        const std::uint64_t change = now.*check.field - m_stats.*check.field;
        if (!check.wanted)
        {
            continue;
        }
        if (change == check.value)
        {
            pass(std::string(check.key) + " grew by " + std::to_string(change));
        }
        else
        {
            fail(std::string(check.key) + " grew by " + std::to_string(change) + ", expected " +
                 std::to_string(check.value));
        }
    }
    m_stats = now;
    return true;
}

} // namespace hubhost
