// Change notifications and identifier sequences of the store.
//
// Listeners register a callback per set of tables and event kind; every row insertion,
// update and removal is offered to them as a snapshot of the row, on the thread that
// changed it, after the store has released its own locks. Dispatch walks a snapshot of
// the listeners, so a callback may add or remove listeners; a removal applies to later
// notifications.
//
// Event matching follows the store's rule: a listener of kind k (0 = every event) gets a
// row whose flags f are k, k|8, k|4 or k|1. So a kind-2 listener also hears updates of
// unsaved rows (flags 6) and the removal of an unsaved row (flags 2), and a kind-4
// listener does not hear the update of an unsaved row.
//
// Sequences hand out 32-bit identifiers per generator name, reserved in batches of 300 in
// the table "SeqGenState" through the installed SequenceDataSource.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/win/types.h"
#include "store/datetime/hyl_datetime.h"
#include "store/sequence_data_source.h"
#include "store/tables/tables.h"

// What a listener receives about a changed row.
struct IMDSNotification {
    std::string tableName;
    // A copy of the row's values and flags; no successor.
    RowObject row;
    std::optional<HylDateTime> timeStamp;
};

// A listener: called with each notification and the listener's own name.
using NotificationCallback = std::function<void(const IMDSNotification& notification,
                                                const std::string& listenerName)>;

// True when added and also when a listener of that name (case-insensitive) exists already
// (then nothing is added). The table names are copied and sorted.
bool AddNotificationListener(const char* name, BYTE eventKind, NotificationCallback callback,
                             bool enabled, std::vector<std::string> tableNames);
// DisableNotification stops, RemoveNotification removes the named listener; false when
// there is none.
bool DisableNotification(const char* name);
bool RemoveNotification(const char* name);
// Removes every listener.
void DeInitNotification();
// True when any listener is registered (lets writers skip building snapshots).
bool HasNotificationListeners();
// Builds the notification; null when the table is not registered.
std::unique_ptr<IMDSNotification> CreateIMDSNotification(const RowObject* row, const char* tableName);
// Offers the row to every matching listener.
void SendNotification(const RowObject* row, const char* tableName);
// Offers an already built notification to every matching listener.
void DispatchNotification(const IMDSNotification& notification);
// Binary search, case-insensitive, in names sorted by the same comparison.
bool IsListContains(const std::vector<std::string>& sortedNames, const char* name);

inline constexpr std::int32_t SEQUENCE_BATCH_SIZE = 300;

// InitSequenceState, ReleaseSequenceState: prepare and release the sequence state.
void InitSequenceState();
void ReleaseSequenceState();
// Reserves a first batch for every generator column of the dictionary; false at the
// first definition without columns. A generator named by several columns reserves one
// batch per column; the last one is handed out.
bool SequenceGenerator();
// Reserves the next batch of one generator in "SeqGenState".
bool UpdateSeqGen(const char* tableName, const char* generatorName);
// The next identifier of the column's generator; -1 when none can be had (no state for
// the generator, or its batch cannot be refilled).
std::int32_t GenerateID(const char* tableName, const ColumnDefn* column);
// As GenerateID, but above `floor`: the highest identifier the table already holds in the
// column (rows loaded or inserted with their own), so none is handed out twice. A batch
// reserved for it starts above `floor`.
std::int32_t GenerateIDAbove(const char* tableName, const ColumnDefn* column, std::int64_t floor);
// The next identifier of the generator "INSTANCE_ID"; -1 when none can be had.
std::int32_t GenerateInstanceID();
