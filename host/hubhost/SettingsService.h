#pragma once

#include "Output.h"
#include "SettingsStore.h"
#include "courier/CourierApi.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace hubhost
{

// A message the service publishes after a change.
struct SettingsNotification
{
    std::wstring name;
    std::wstring payload;
};

// What the service makes of one request: the reply payload and the change
// notifications to publish once the reply is out.
struct SettingsAnswer
{
    std::wstring reply;
    std::vector<SettingsNotification> notifications;
    bool understood = true; // false: the payload was not a request at all
};

// The host's settings manager on the bus. It answers, on a bus handle of its
// own:
//   "SETTINGS_MANAGER_SET_PROPERTY"   {"name","value","volatile"} -> {"name","status"}
//   "SETTINGS_MANAGER_GET_PROPERTY"   {"name"} -> {"name","status","value"}
//   "SETTINGS_MANAGER_REMOVE_PROPERTY" {"name"} -> {"name","status"}
//   "SettingsManager.SetProperties.Request", ".GetProperties.Request",
//   ".RemoveProperties.Request" with {"properties":[items]} -> {"responses":[items]}
// List items may say "isPrefix": true (get and remove): a get then answers
// one item per property whose name starts with the prefix (or the prefix
// with status false when none does); a remove answers one item per removed
// property and, unless a property has the prefix as its whole name, one for
// the prefix itself, true when anything was removed. An empty prefix reads
// everything and removes nothing.
//
// Every request gets an answer. A request that cannot be carried out gets
// status false and an "error" text; one that is not JSON gets
// {"status":false,"error":...}. Names are 1 to kMaxNameLength code units,
// values at most kMaxValueLength. A list request is stored as a whole:
// when its write fails, none of its items is confirmed.
//
// After a change it publishes "SETTINGS_MANAGER_PROPERTY_SET" and
// "SettingsManager.Notify.Set." + name with {"name","value","volatile"}, or
// "SETTINGS_MANAGER_PROPERTY_REMOVED" and "SettingsManager.Notify.Delete." +
// name with {"name"}. Requests are handled one at a time, in the order the
// bus delivers them.
class SettingsService
{
public:
    static constexpr std::size_t kMaxNameLength = 512;
    static constexpr std::size_t kMaxValueLength = 1024 * 1024;

    SettingsService(Output& output, SettingsStore& store);
    ~SettingsService();
    SettingsService(const SettingsService&) = delete;
    SettingsService& operator=(const SettingsService&) = delete;

    // Subscribes the six request names on `handle`, which stays the
    // caller's. False with a reason when the bus refuses one.
    bool start(const CourierFunctionTable* table, CourierHandle handle, std::string& error);
    // Ends the subscriptions; no request is answered after it returned.
    void stop();

    // What a request of that name and payload gets, changes included.
    SettingsAnswer answer(const std::wstring& requestName, const std::wstring& payload);

    // The same operations for the host's own commands; changes are announced
    // as for requests.
    bool set(const std::wstring& name, const std::wstring& value, bool isVolatile, std::string& error);
    bool get(const std::wstring& name, SettingEntry& entry);
    bool remove(const std::wstring& name, std::string& error);
    std::vector<std::pair<std::wstring, SettingEntry>> list(const std::wstring& prefix);

private:
    static CourierStatus requestCallback(void* context, const void* record, const wchar_t* name,
                                         const wchar_t* source, const wchar_t* payload);
    CourierStatus onRequest(const void* record, const wchar_t* name, const wchar_t* payload);
    SettingsAnswer answerLocked(const std::wstring& requestName, const std::wstring& payload);
    void announce(const std::vector<SettingsNotification>& notifications);

    Output& m_output;
    SettingsStore& m_store;
    // One request at a time: a reply and its notifications leave in the
    // order of the changes they report.
    std::mutex m_lock;
    const CourierFunctionTable* m_table = nullptr;
    CourierHandle m_handle = nullptr;
    std::vector<std::uint32_t> m_subscriptions;
};

} // namespace hubhost
