#pragma once

#include "Bus.h"
#include "Output.h"
#include "SettingsService.h"
#include "SettingsStore.h"

#include <memory>
#include <string>

namespace hubhost
{

class Script;

// How the settings service is set up from the command line.
struct SettingsOptions
{
    bool enabled = true;
    bool inMemory = false;
    std::wstring path; // empty: SettingsStore::defaultPath()
};

// The help text of the settings options and commands.
extern const char kSettingsHelp[];

// True when argv[i] is a settings option; it is then consumed (with its
// value, moving i), or `error` says what is wrong with it.
bool takeSettingsOption(int argc, wchar_t** argv, int& i, SettingsOptions& options, bool& ok,
                        std::string& error);

// The settings service as part of hubhost: the store it keeps, a bus handle
// of its own, and the script commands that read and change settings.
class SettingsHost
{
public:
    SettingsHost(Output& output, Bus& bus, SettingsOptions options);
    ~SettingsHost();
    SettingsHost(const SettingsHost&) = delete;
    SettingsHost& operator=(const SettingsHost&) = delete;

    // Opens the store and starts answering. Disabled by the options: does
    // nothing and succeeds. HUBHOST_SETTINGS_FAULT=torn-write|before-commit
    // makes the first file write crash the host at that point (for tests).
    bool start(std::string& error);
    // Ends the service and gives its handle back; before the bus closes.
    void stop();

    // setting-get, setting-set, setting-remove, setting-list.
    void addCommands(Script& script);

private:
    bool doGet(Script& script, const std::string& line);
    bool doSet(Script& script, const std::string& line);
    bool doRemove(Script& script, const std::string& line);
    bool doList(Script& script, const std::string& line);
    bool running(Script& script);
    void show(const std::string& verb, const std::wstring& name, const SettingEntry* entry);

    Output& m_output;
    Bus& m_bus;
    SettingsOptions m_options;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<SettingsService> m_service;
    CourierHandle m_handle = nullptr;
};

} // namespace hubhost
