#include "SettingsHost.h"

#include "Script.h"
#include "Text.h"

#include <cstdlib>

namespace hubhost
{

const char kSettingsHelp[] =
    R"HELP(settings service: hubhost is also the host's settings manager. It answers the
settings requests on the bus (SETTINGS_MANAGER_SET_PROPERTY, _GET_PROPERTY,
_REMOVE_PROPERTY and SettingsManager.{Set,Get,Remove}Properties.Request) and
announces changes (SETTINGS_MANAGER_PROPERTY_SET / _REMOVED and
SettingsManager.Notify.{Set,Delete}.NAME). Persistent values are kept in
%ProgramData%\Hubframe\Settings\settings.json (UTF-16 JSON, replaced whole
by a rename, so a crash never leaves half a file); volatile ones only while
the host runs. One host per settings file.
  --settings FILE        keep persistent values in FILE instead
  --settings-in-memory   keep every value in memory only
  --no-settings          no settings service (a script may `respond` instead)

  setting-get [state=stored|volatile|missing] NAME [VALUE]
      prints the setting; with VALUE or state= it is a check.
  setting-set [volatile=yes] NAME [VALUE]
      sets it (VALUE: the rest of the line, may be empty) and announces it.
  setting-remove NAME
      removes it and announces it; a setting that is not there is a failure.
  setting-list [PREFIX]
      prints every setting whose name starts with PREFIX.
)HELP";

namespace
{
constexpr char kFaultVariable[] = "HUBHOST_SETTINGS_FAULT";

void emitSettings(Output& output, const std::string& text)
{
    Output::Json json("settings");
    json.str8("text", text);
    output.emit("[settings] " + text, json.done());
}
} // namespace

bool takeSettingsOption(int argc, wchar_t** argv, int& i, SettingsOptions& options, bool& ok,
                        std::string& error)
{
    const std::wstring arg = argv[i];
    ok = true;
    if (arg == L"--no-settings")
    {
        options.enabled = false;
        return true;
    }
    if (arg == L"--settings-in-memory")
    {
        options.inMemory = true;
        return true;
    }
    if (arg != L"--settings")
    {
        return false;
    }
    if (i + 1 >= argc || argv[i + 1][0] == L'\0')
    {
        ok = false;
        error = "--settings needs a file";
        return true;
    }
    options.path = argv[++i];
    return true;
}

SettingsHost::SettingsHost(Output& output, Bus& bus, SettingsOptions options)
    : m_output(output), m_bus(bus), m_options(std::move(options))
{
}

SettingsHost::~SettingsHost()
{
    stop();
}

bool SettingsHost::start(std::string& error)
{
    if (!m_options.enabled)
    {
        return true;
    }
    std::wstring path;
    if (!m_options.inMemory)
    {
        path = m_options.path.empty() ? SettingsStore::defaultPath() : m_options.path;
        if (path.empty())
        {
            error = "the ProgramData folder is unknown: give --settings FILE or --settings-in-memory";
            return false;
        }
    }
    m_store.reset(new SettingsStore(path));
    // Read once at start, before any other thread; nothing sets the environment.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char* fault = std::getenv(kFaultVariable);
    const std::string faultName = fault != nullptr ? fault : "";
    if (faultName == "torn-write")
    {
        m_store->injectFault(WriteFault::TornTemporary);
    }
    else if (faultName == "before-commit")
    {
        m_store->injectFault(WriteFault::BeforeCommit);
    }
    else if (!faultName.empty())
    {
        error = std::string(kFaultVariable) + " takes torn-write or before-commit";
        return false;
    }
    std::vector<std::string> notes;
    const bool opened = m_store->open(notes, error);
    for (const std::string& note : notes)
    {
        emitSettings(m_output, note);
    }
    if (!opened)
    {
        return false;
    }
    std::uint32_t status = 0;
    if (!m_bus.newHandle(m_handle, status))
    {
        error = "the bus refused the settings service a handle: " + statusText(status);
        return false;
    }
    m_bus.label(m_handle, L"SettingsManager");
    m_service.reset(new SettingsService(m_output, *m_store));
    if (!m_service->start(m_bus.table(), m_handle, error))
    {
        return false;
    }
    emitSettings(m_output, "service started; values " +
                               (path.empty() ? std::string("in memory only") : "stored in " + toUtf8(path)));
    return true;
}

void SettingsHost::stop()
{
    if (m_service)
    {
        m_service->stop();
    }
    if (m_handle != nullptr)
    {
        m_bus.releaseHandle(m_handle);
        m_handle = nullptr;
    }
    m_service.reset();
    m_store.reset();
}

void SettingsHost::addCommands(Script& script)
{
    script.addCommand("setting-get", [this](Script& s, const std::string& line) { return doGet(s, line); });
    script.addCommand("setting-set", [this](Script& s, const std::string& line) { return doSet(s, line); });
    script.addCommand("setting-remove",
                      [this](Script& s, const std::string& line) { return doRemove(s, line); });
    script.addCommand("setting-list", [this](Script& s, const std::string& line) { return doList(s, line); });
}

bool SettingsHost::running(Script& script)
{
    return m_service ? true : script.syntax("the settings service is not running (--no-settings)");
}

void SettingsHost::show(const std::string& verb, const std::wstring& name, const SettingEntry* entry)
{
    Output::Json json("settings");
    json.str8("command", verb).str("name", name);
    std::string text = toUtf8(name);
    if (entry == nullptr)
    {
        json.null("value");
        text += " is not set";
    }
    else
    {
        json.str("value", entry->value).boolean("volatile", entry->isVolatile);
        text += " = " + jsonQuote(entry->value) + (entry->isVolatile ? " (volatile)" : " (stored)");
    }
    m_output.emit("[settings] " + text, json.done());
}

bool SettingsHost::doGet(Script& script, const std::string& line)
{
    Script::Command command;
    if (!running(script) || !script.parse(line, 1, command) || !script.checkOptions(command, {"state"}))
    {
        return false;
    }
    const auto state = command.options.find("state");
    if (state != command.options.end() && state->second != "stored" && state->second != "volatile" &&
        state->second != "missing")
    {
        return script.syntax("state= takes stored, volatile or missing");
    }
    const std::wstring name = fromUtf8(command.words[0]);
    SettingEntry entry;
    const bool found = m_service->get(name, entry);
    show("get", name, found ? &entry : nullptr);

    const std::string what = "setting " + command.words[0];
    if (state != command.options.end())
    {
        const std::string actual = !found ? "missing" : entry.isVolatile ? "volatile" : "stored";
        if (actual == state->second)
        {
            script.pass(what + " is " + actual);
        }
        else
        {
            script.fail(what + " is " + actual + ", expected " + state->second);
        }
    }
    if (!command.rest.empty())
    {
        const std::wstring want = fromUtf8(command.rest);
        if (found && entry.value == want)
        {
            script.pass(what + " = " + jsonQuote(want));
        }
        else
        {
            script.fail(what + (found ? " = " + jsonQuote(entry.value) : std::string(" is not set")) +
                        ", expected " + jsonQuote(want));
        }
    }
    return true;
}

bool SettingsHost::doSet(Script& script, const std::string& line)
{
    Script::Command command;
    if (!running(script) || !script.parse(line, 1, command) || !script.checkOptions(command, {"volatile"}))
    {
        return false;
    }
    bool isVolatile = false;
    const auto flag = command.options.find("volatile");
    if (flag != command.options.end())
    {
        if (flag->second != "yes" && flag->second != "no")
        {
            return script.syntax("volatile= takes yes or no");
        }
        isVolatile = flag->second == "yes";
    }
    const std::wstring name = fromUtf8(command.words[0]);
    const std::wstring value = fromUtf8(command.rest);
    std::string error;
    if (!m_service->set(name, value, isVolatile, error))
    {
        script.fail("setting " + command.words[0] + " was not set: " + error);
        return true;
    }
    const SettingEntry entry{value, isVolatile};
    show("set", name, &entry);
    return true;
}

bool SettingsHost::doRemove(Script& script, const std::string& line)
{
    Script::Command command;
    if (!running(script) || !script.parse(line, 1, command) || !script.checkOptions(command, {}))
    {
        return false;
    }
    if (!command.rest.empty())
    {
        return script.syntax("setting-remove takes one name");
    }
    std::string error;
    if (!m_service->remove(fromUtf8(command.words[0]), error))
    {
        script.fail("setting " + command.words[0] + " was not removed: " + error);
        return true;
    }
    Output::Json json("settings");
    json.str8("command", "remove").str8("name", command.words[0]);
    m_output.emit("[settings] " + command.words[0] + " removed", json.done());
    return true;
}

bool SettingsHost::doList(Script& script, const std::string& line)
{
    Script::Command command;
    if (!running(script) || !script.parse(line, 0, command) || !script.checkOptions(command, {}))
    {
        return false;
    }
    const auto found = m_service->list(fromUtf8(command.rest));
    for (const auto& entry : found)
    {
        show("list", entry.first, &entry.second);
    }
    emitSettings(m_output, std::to_string(found.size()) + " setting(s)" +
                               (command.rest.empty() ? std::string() : " starting with " + command.rest));
    return true;
}

} // namespace hubhost
