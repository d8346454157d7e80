// Change-notification listeners and their dispatch.
#include "store/notify/notify.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "runtime/log.h"
#include "store/foundation/text_utils.h"

namespace {

struct Listener {
    std::string name;
    std::vector<std::string> tables;  // sorted by CompareNoCase
    std::atomic<bool> enabled{true};
    BYTE eventKind = 0;
    NotificationCallback callback;
};

using ListenerList = std::vector<std::shared_ptr<Listener>>;

// Copy on write: dispatch walks the list it took, so callbacks and other threads may add
// or remove listeners meanwhile.
struct ListenerRegistry {
    std::mutex mutex;
    std::shared_ptr<const ListenerList> listeners = std::make_shared<const ListenerList>();
    std::atomic<std::size_t> count{0};
};

ListenerRegistry& Listeners() {
    static ListenerRegistry registry;
    return registry;
}

std::shared_ptr<const ListenerList> Snapshot() {
    ListenerRegistry& registry = Listeners();
    std::lock_guard<std::mutex> hold(registry.mutex);
    return registry.listeners;
}

std::shared_ptr<Listener> FindListener(const ListenerList& list, const char* name) {
    for (const auto& listener : list) {
        if (CompareNoCase(listener->name.c_str(), name) == 0) return listener;
    }
    return nullptr;
}

bool EventMatches(BYTE kind, BYTE flags) {
    if (kind == 0) return true;
    return flags == kind || flags == (kind | ROW_DELETED) || flags == (kind | ROW_UPDATED) ||
           flags == (kind | ROW_SAVED);
}

}  // namespace

bool AddNotificationListener(const char* name, BYTE eventKind, NotificationCallback callback, bool enabled,
                             std::vector<std::string> tableNames) {
    LogTrace("In Add notification Listener\n");
    if (!name) return false;
    ListenerRegistry& registry = Listeners();
    std::lock_guard<std::mutex> hold(registry.mutex);
    if (FindListener(*registry.listeners, name)) {
        LogError("Listener with same name exists %s\n", name);
        return true;
    }
    auto listener = std::make_shared<Listener>();
    listener->name = name;
    std::stable_sort(tableNames.begin(), tableNames.end(),
                     [](const std::string& a, const std::string& b) { return CompareNoCase(a.c_str(), b.c_str()) < 0; });
    listener->tables = std::move(tableNames);
    listener->enabled = enabled;
    listener->eventKind = eventKind;
    listener->callback = std::move(callback);
    auto updated = std::make_shared<ListenerList>(*registry.listeners);
    updated->push_back(std::move(listener));
    registry.listeners = std::move(updated);
    registry.count = registry.listeners->size();
    LogDebug("Listener with name %s added\n", name);
    return true;
}

bool DisableNotification(const char* name) {
    LogTrace("In Disable notification\n");
    std::shared_ptr<const ListenerList> list = Snapshot();
    if (list->empty() || !name) return false;
    std::shared_ptr<Listener> listener = FindListener(*list, name);
    if (!listener) {
        LogError("Listener with name %s doesn't exists\n", name);
        return false;
    }
    listener->enabled = false;
    LogDebug("Listener with name %s disabled\n", name);
    return true;
}

bool RemoveNotification(const char* name) {
    LogTrace("In Remove notification\n");
    ListenerRegistry& registry = Listeners();
    std::lock_guard<std::mutex> hold(registry.mutex);
    if (registry.listeners->empty() || !name) return false;
    auto updated = std::make_shared<ListenerList>(*registry.listeners);
    auto found = std::find_if(updated->begin(), updated->end(), [name](const std::shared_ptr<Listener>& listener) {
        return CompareNoCase(listener->name.c_str(), name) == 0;
    });
    if (found == updated->end()) {
        LogError("Listener with name %s doesn't exists\n", name);
        return false;
    }
    updated->erase(found);
    registry.listeners = std::move(updated);
    registry.count = registry.listeners->size();
    LogDebug("Listener with name %s removed\n", name);
    return true;
}

void DeInitNotification() {
    LogTrace("In DeInit notification\n");
    ListenerRegistry& registry = Listeners();
    std::lock_guard<std::mutex> hold(registry.mutex);
    for (const auto& listener : *registry.listeners) LogTrace("Listener with name %s removed\n", listener->name);
    registry.listeners = std::make_shared<const ListenerList>();
    registry.count = 0;
}

bool HasNotificationListeners() { return Listeners().count.load() != 0; }

std::unique_ptr<IMDSNotification> CreateIMDSNotification(const RowObject* row, const char* tableName) {
    LogTrace("In CreateIMDSNotification \n");
    if (!row || !GetTableDataByName(tableName)) return nullptr;
    auto notification = std::make_unique<IMDSNotification>();
    notification->tableName = tableName;
    // The row's own values: a row narrower than its table is never read beyond its end.
    notification->row.values = row->values;
    notification->row.state = row->state;
    notification->timeStamp = GetCurrentHylDateTime();
    return notification;
}

void SendNotification(const RowObject* row, const char* tableName) {
    LogTrace("In send notification\n");
    if (!HasNotificationListeners()) return;
    std::unique_ptr<IMDSNotification> notification = CreateIMDSNotification(row, tableName);
    if (notification) DispatchNotification(*notification);
}

void DispatchNotification(const IMDSNotification& notification) {
    std::shared_ptr<const ListenerList> list = Snapshot();
    for (const auto& listener : *list) {
        if (!listener->enabled) {
            LogDebug("Listener %s  disabled\n", listener->name);
            continue;
        }
        if (!IsListContains(listener->tables, notification.tableName.c_str())) {
            LogDebug("Listener not registered for %s table\n", notification.tableName);
            continue;
        }
        if (!EventMatches(listener->eventKind, notification.row.state)) {
            LogDebug("Listener not registered for Eventype %d\n", static_cast<int>(notification.row.state));
            continue;
        }
        if (listener->callback) listener->callback(notification, listener->name);
    }
}

bool IsListContains(const std::vector<std::string>& sortedNames, const char* name) {
    LogTrace("@@@ Inside IsListContains @@@\n");
    if (name) {
        std::int64_t low = 1;
        std::int64_t high = static_cast<std::int64_t>(sortedNames.size());
        while (low <= high) {
            const std::int64_t probe = (low + high) / 2;
            const int order = CompareNoCase(sortedNames[static_cast<std::size_t>(probe - 1)].c_str(), name);
            if (order == 0) return true;
            if (order > 0) high = probe - 1;
            else low = probe + 1;
        }
    }
    LogDebug("List doesn't contains key \n");
    return false;
}
