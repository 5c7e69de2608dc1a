#include "SettingsService.h"

#include "ContextRecord.h"
#include "Json.h"
#include "Text.h"

#include <set>

namespace hubhost
{

namespace
{
constexpr CourierStatus kDataError = 0x80000006u;
constexpr CourierStatus kUnknownException = 0x8000000Fu;
constexpr wchar_t kSource[] = L"SettingsManager";

constexpr wchar_t kSetProperty[] = L"SETTINGS_MANAGER_SET_PROPERTY";
constexpr wchar_t kGetProperty[] = L"SETTINGS_MANAGER_GET_PROPERTY";
constexpr wchar_t kRemoveProperty[] = L"SETTINGS_MANAGER_REMOVE_PROPERTY";
constexpr wchar_t kSetProperties[] = L"SettingsManager.SetProperties.Request";
constexpr wchar_t kGetProperties[] = L"SettingsManager.GetProperties.Request";
constexpr wchar_t kRemoveProperties[] = L"SettingsManager.RemoveProperties.Request";
const wchar_t* const kRequestNames[] = {kSetProperty,   kGetProperty,   kRemoveProperty,
                                        kSetProperties, kGetProperties, kRemoveProperties};

constexpr wchar_t kPropertySet[] = L"SETTINGS_MANAGER_PROPERTY_SET";
constexpr wchar_t kPropertyRemoved[] = L"SETTINGS_MANAGER_PROPERTY_REMOVED";
constexpr wchar_t kNotifySet[] = L"SettingsManager.Notify.Set.";
constexpr wchar_t kNotifyDelete[] = L"SettingsManager.Notify.Delete.";

// One item of an answer, written in the member order the requests use.
struct Item
{
    bool hasName = false;
    std::wstring name;
    bool status = false;
    bool hasValue = false;
    std::wstring value;
    std::string error;
};

void writeItem(WideWriter& writer, const Item& item)
{
    writer.StartObject();
    if (item.hasName)
    {
        writer.Key(L"name");
        writer.String(item.name.c_str(), static_cast<rapidjson::SizeType>(item.name.size()));
    }
    writer.Key(L"status");
    writer.Bool(item.status);
    if (item.hasValue)
    {
        writer.Key(L"value");
        writer.String(item.value.c_str(), static_cast<rapidjson::SizeType>(item.value.size()));
    }
    if (!item.error.empty())
    {
        const std::wstring error = fromUtf8(item.error);
        writer.Key(L"error");
        writer.String(error.c_str(), static_cast<rapidjson::SizeType>(error.size()));
    }
    writer.EndObject();
}

std::wstring singleReply(const Item& item)
{
    WideBuffer buffer;
    WideWriter writer(buffer);
    writeItem(writer, item);
    return textOf(buffer);
}

std::wstring listReply(const std::vector<Item>& items, const std::string& error)
{
    WideBuffer buffer;
    WideWriter writer(buffer);
    writer.StartObject();
    writer.Key(L"responses");
    writer.StartArray();
    for (const Item& item : items)
    {
        writeItem(writer, item);
    }
    writer.EndArray();
    if (!error.empty())
    {
        const std::wstring text = fromUtf8(error);
        writer.Key(L"error");
        writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    }
    writer.EndObject();
    return textOf(buffer);
}

std::wstring notificationPayload(const std::wstring& name, const SettingEntry* entry)
{
    WideBuffer buffer;
    WideWriter writer(buffer);
    writer.StartObject();
    writer.Key(L"name");
    writer.String(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
    if (entry != nullptr)
    {
        writer.Key(L"value");
        writer.String(entry->value.c_str(), static_cast<rapidjson::SizeType>(entry->value.size()));
        writer.Key(L"volatile");
        writer.Bool(entry->isVolatile);
    }
    writer.EndObject();
    return textOf(buffer);
}

// The notifications of the changes a batch made.
std::vector<SettingsNotification> notificationsFor(const std::vector<SettingChange>& changes)
{
    std::vector<SettingsNotification> notifications;
    for (const SettingChange& change : changes)
    {
        SettingEntry announced{change.value, change.isVolatile};
        const std::wstring payload = notificationPayload(change.name, change.remove ? nullptr : &announced);
        notifications.push_back({change.remove ? kPropertyRemoved : kPropertySet, payload});
        notifications.push_back({(change.remove ? kNotifyDelete : kNotifySet) + change.name, payload});
    }
    return notifications;
}

// Reads "name" of a request item into `item`; false with the item's error.
// Only prefixes of reads may be empty.
bool readName(const WideValue& request, Item& item, bool mayBeEmpty = false)
{
    if (!request.IsObject())
    {
        item.error = "the item is not an object";
        return false;
    }
    const auto name = request.FindMember(L"name");
    if (name == request.MemberEnd() || !name->value.IsString())
    {
        item.error = "the item has no name";
        return false;
    }
    item.hasName = true;
    item.name.assign(name->value.GetString(), name->value.GetStringLength());
    if ((item.name.empty() && !mayBeEmpty) || item.name.size() > SettingsService::kMaxNameLength)
    {
        item.error = "a name has 1 to " + std::to_string(SettingsService::kMaxNameLength) + " characters";
        return false;
    }
    return true;
}

// An optional boolean member; false with the item's error when it has
// another type.
bool readFlag(const WideValue& request, const wchar_t* member, bool& flag, Item& item)
{
    flag = false;
    const auto found = request.FindMember(member);
    if (found == request.MemberEnd())
    {
        return true;
    }
    if (!found->value.IsBool())
    {
        item.error = "\"" + toUtf8(member) + "\" is not a boolean";
        return false;
    }
    flag = found->value.GetBool();
    return true;
}

// A set item: its change, or false with the item's error.
bool readSet(const WideValue& request, Item& item, SettingChange& change)
{
    if (!readName(request, item))
    {
        return false;
    }
    const auto value = request.FindMember(L"value");
    if (value == request.MemberEnd() || !value->value.IsString())
    {
        item.error = "the value is missing or not text";
        return false;
    }
    if (value->value.GetStringLength() > SettingsService::kMaxValueLength)
    {
        item.error =
            "a value has at most " + std::to_string(SettingsService::kMaxValueLength) + " characters";
        return false;
    }
    if (!readFlag(request, L"volatile", change.isVolatile, item))
    {
        return false;
    }
    change.name = item.name;
    change.value.assign(value->value.GetString(), value->value.GetStringLength());
    return true;
}

bool startsWith(const std::wstring& name, const std::wstring& prefix)
{
    return name.compare(0, prefix.size(), prefix) == 0;
}

// Commits a batch and answers it: the changes announced when they were
// stored, else every confirmed item withdrawn.
SettingsAnswer committed(SettingsStore& store, const std::vector<SettingChange>& changes,
                         std::vector<Item>& items, bool list)
{
    SettingsAnswer answer;
    std::string error;
    if (changes.empty() || store.apply(changes, error))
    {
        answer.notifications = notificationsFor(changes);
    }
    else
    {
        for (Item& item : items)
        {
            if (item.status)
            {
                item.status = false;
                item.hasValue = false;
                item.error = "not stored: " + error;
            }
        }
    }
    answer.reply = list ? listReply(items, std::string()) : singleReply(items.front());
    return answer;
}

SettingsAnswer answerSet(SettingsStore& store, const WideDocument& request)
{
    Item item;
    SettingChange change;
    std::vector<SettingChange> changes;
    if (readSet(request, item, change))
    {
        item.status = true;
        changes.push_back(change);
    }
    std::vector<Item> items{item};
    return committed(store, changes, items, false);
}

SettingsAnswer answerGet(SettingsStore& store, const WideDocument& request)
{
    Item item;
    if (readName(request, item))
    {
        const SettingEntry* entry = store.find(item.name);
        item.status = entry != nullptr;
        item.hasValue = item.status;
        item.value = item.status ? entry->value : std::wstring();
    }
    SettingsAnswer answer;
    answer.reply = singleReply(item);
    return answer;
}

SettingsAnswer answerRemove(SettingsStore& store, const WideDocument& request)
{
    Item item;
    std::vector<SettingChange> changes;
    if (readName(request, item))
    {
        item.status = store.find(item.name) != nullptr;
        if (item.status)
        {
            changes.push_back(SettingChange{true, item.name, std::wstring(), false});
        }
        else
        {
            item.error = "no such property";
        }
    }
    std::vector<Item> items{item};
    return committed(store, changes, items, false);
}

// The items of a list request; false with the reason when there is no list.
bool listItems(const WideDocument& request, std::vector<const WideValue*>& items, std::string& error)
{
    const auto properties = request.FindMember(L"properties");
    if (properties == request.MemberEnd())
    {
        return true; // an empty list is sent without the member
    }
    if (!properties->value.IsArray())
    {
        error = "\"properties\" is not an array";
        return false;
    }
    for (const WideValue& item : properties->value.GetArray())
    {
        items.push_back(&item);
    }
    return true;
}

SettingsAnswer answerSetList(SettingsStore& store, const std::vector<const WideValue*>& requests)
{
    std::vector<Item> items;
    std::vector<SettingChange> changes;
    for (const WideValue* request : requests)
    {
        Item item;
        SettingChange change;
        if (readSet(*request, item, change))
        {
            item.status = true;
            changes.push_back(change);
        }
        items.push_back(item);
    }
    return committed(store, changes, items, true);
}

SettingsAnswer answerGetList(SettingsStore& store, const std::vector<const WideValue*>& requests)
{
    std::vector<Item> items;
    for (const WideValue* request : requests)
    {
        Item item;
        bool isPrefix = false;
        if (!readName(*request, item, true) || !readFlag(*request, L"isPrefix", isPrefix, item))
        {
            items.push_back(item);
            continue;
        }
        if (!isPrefix && item.name.empty())
        {
            item.error = "only a prefix may be empty";
            items.push_back(item);
            continue;
        }
        if (!isPrefix)
        {
            const SettingEntry* entry = store.find(item.name);
            item.status = item.hasValue = entry != nullptr;
            item.value = entry != nullptr ? entry->value : std::wstring();
            items.push_back(item);
            continue;
        }
        bool any = false;
        for (auto it = store.entries().lower_bound(item.name);
             it != store.entries().end() && startsWith(it->first, item.name); ++it)
        {
            Item found;
            found.hasName = found.status = found.hasValue = true;
            found.name = it->first;
            found.value = it->second.value;
            items.push_back(found);
            any = true;
        }
        if (!any)
        {
            items.push_back(item); // the prefix, status false: nothing matched
        }
    }
    SettingsAnswer answer;
    answer.reply = listReply(items, std::string());
    return answer;
}

SettingsAnswer answerRemoveList(SettingsStore& store, const std::vector<const WideValue*>& requests)
{
    std::vector<Item> items;
    std::vector<SettingChange> changes;
    // Names removed by earlier items of the same request.
    std::set<std::wstring> removed;
    const auto present = [&](const std::wstring& name)
    { return store.find(name) != nullptr && removed.count(name) == 0; };
    for (const WideValue* request : requests)
    {
        Item item;
        bool isPrefix = false;
        if (!readName(*request, item) || !readFlag(*request, L"isPrefix", isPrefix, item))
        {
            items.push_back(item);
            continue;
        }
        if (!isPrefix)
        {
            item.status = present(item.name);
            if (item.status)
            {
                removed.insert(item.name);
                changes.push_back(SettingChange{true, item.name, std::wstring(), false});
            }
            else
            {
                item.error = "no such property";
            }
            items.push_back(item);
            continue;
        }
        bool any = false;
        bool prefixIsAName = false;
        for (auto it = store.entries().lower_bound(item.name);
             it != store.entries().end() && startsWith(it->first, item.name); ++it)
        {
            if (!present(it->first))
            {
                continue;
            }
            removed.insert(it->first);
            changes.push_back(SettingChange{true, it->first, std::wstring(), false});
            Item gone;
            gone.hasName = gone.status = true;
            gone.name = it->first;
            items.push_back(gone);
            any = true;
            prefixIsAName = prefixIsAName || it->first == item.name;
        }
        if (!prefixIsAName)
        {
            item.status = any;
            item.error = any ? std::string() : "nothing has this prefix";
            items.push_back(item);
        }
    }
    return committed(store, changes, items, true);
}
} // namespace

SettingsService::SettingsService(Output& output, SettingsStore& store) : m_output(output), m_store(store) {}

SettingsService::~SettingsService()
{
    stop();
}

bool SettingsService::start(const CourierFunctionTable* table, CourierHandle handle, std::string& error)
{
    m_table = table;
    m_handle = handle;
    for (const wchar_t* name : kRequestNames)
    {
        const std::uint32_t id = m_table->subscribe(m_handle, this, &SettingsService::requestCallback, name);
        if (id == 0)
        {
            error = "the bus refused the settings service's subscription to " + toUtf8(name);
            stop();
            return false;
        }
        m_subscriptions.push_back(id);
    }
    return true;
}

void SettingsService::stop()
{
    for (const std::uint32_t id : m_subscriptions)
    {
        m_table->unsubscribe(m_handle, id);
    }
    m_subscriptions.clear();
}

SettingsAnswer SettingsService::answer(const std::wstring& requestName, const std::wstring& payload)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return answerLocked(requestName, payload);
}

SettingsAnswer SettingsService::answerLocked(const std::wstring& requestName, const std::wstring& payload)
{
    const bool list =
        requestName == kSetProperties || requestName == kGetProperties || requestName == kRemoveProperties;
    WideDocument request;
    if (!parseJson(payload, request) || !request.IsObject())
    {
        SettingsAnswer answer;
        const std::string error = "the request is not a JSON object";
        Item refusal;
        refusal.error = error;
        answer.reply = list ? listReply({}, error) : singleReply(refusal);
        answer.understood = false;
        return answer;
    }
    if (!list)
    {
        return requestName == kSetProperty   ? answerSet(m_store, request)
               : requestName == kGetProperty ? answerGet(m_store, request)
                                             : answerRemove(m_store, request);
    }
    std::vector<const WideValue*> items;
    std::string error;
    if (!listItems(request, items, error))
    {
        SettingsAnswer answer;
        answer.reply = listReply({}, error);
        answer.understood = false;
        return answer;
    }
    return requestName == kSetProperties   ? answerSetList(m_store, items)
           : requestName == kGetProperties ? answerGetList(m_store, items)
                                           : answerRemoveList(m_store, items);
}

bool SettingsService::set(const std::wstring& name, const std::wstring& value, bool isVolatile,
                          std::string& error)
{
    if (name.empty() || name.size() > kMaxNameLength || value.size() > kMaxValueLength)
    {
        error = "a name has 1 to " + std::to_string(kMaxNameLength) + " characters, a value at most " +
                std::to_string(kMaxValueLength);
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    const std::vector<SettingChange> changes{SettingChange{false, name, value, isVolatile}};
    if (!m_store.apply(changes, error))
    {
        return false;
    }
    announce(notificationsFor(changes));
    return true;
}

bool SettingsService::get(const std::wstring& name, SettingEntry& entry)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const SettingEntry* found = m_store.find(name);
    if (found != nullptr)
    {
        entry = *found;
    }
    return found != nullptr;
}

bool SettingsService::remove(const std::wstring& name, std::string& error)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_store.find(name) == nullptr)
    {
        error = "no such property";
        return false;
    }
    const std::vector<SettingChange> changes{SettingChange{true, name, std::wstring(), false}};
    if (!m_store.apply(changes, error))
    {
        return false;
    }
    announce(notificationsFor(changes));
    return true;
}

std::vector<std::pair<std::wstring, SettingEntry>> SettingsService::list(const std::wstring& prefix)
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::pair<std::wstring, SettingEntry>> found;
    for (auto it = m_store.entries().lower_bound(prefix);
         it != m_store.entries().end() && startsWith(it->first, prefix); ++it)
    {
        found.push_back(*it);
    }
    return found;
}

CourierStatus SettingsService::requestCallback(void* context, const void* record, const wchar_t* name,
                                               const wchar_t* source, const wchar_t* payload)
{
    static_cast<void>(source);
    try
    {
        return static_cast<SettingsService*>(context)->onRequest(record, name, payload);
    }
    catch (...)
    {
        return kUnknownException;
    }
}

CourierStatus SettingsService::onRequest(const void* record, const wchar_t* name, const wchar_t* payload)
{
    const RecordView view = readRecord(record);
    // Only requests get an answer: a plain publication of the same name has
    // nobody to route one to.
    if (!view.present || view.replyRouting == 0 || (view.flags & courier::kFlagReply) != 0 || name == nullptr)
    {
        return 0;
    }
    const std::wstring requestName = name;
    std::lock_guard<std::mutex> guard(m_lock);
    const SettingsAnswer result = answerLocked(requestName, payload != nullptr ? payload : L"");
    {
        const std::vector<unsigned char> reply = makeReplyRecord(record, requestName, kSource, result.reply);
        const CourierStatus status =
            m_table->publish(m_handle, reply.data(), requestName.c_str(), kSource, result.reply.c_str());
        if (status != 0)
        {
            Output::Json json("settings");
            json.str("request", requestName).status("status", status);
            m_output.emit("[settings] the answer to " + toUtf8(requestName) +
                              " was refused: " + statusText(status),
                          json.done());
        }
        announce(result.notifications);
    }
    return result.understood ? 0 : kDataError;
}

void SettingsService::announce(const std::vector<SettingsNotification>& notifications)
{
    for (const SettingsNotification& notification : notifications)
    {
        const CourierStatus status = m_table != nullptr
                                         ? m_table->publish(m_handle, nullptr, notification.name.c_str(),
                                                            kSource, notification.payload.c_str())
                                         : 0;
        if (status != 0)
        {
            Output::Json json("settings");
            json.str("notification", notification.name).status("status", status);
            m_output.emit("[settings] the notification " + toUtf8(notification.name) +
                              " was refused: " + statusText(status),
                          json.done());
        }
    }
}

} // namespace hubhost
