// Identifier sequences: batches of 300 reserved in "SeqGenState" through the installed
// data source, handed out one by one per generator name.
#include <algorithm>
#include <limits>
#include <mutex>
#include <unordered_map>

#include <fmt/printf.h>

#include "runtime/log.h"
#include "store/notify/notify.h"

namespace {

constexpr const char* kInstanceGenerator = "INSTANCE_ID";

struct SequenceEntry {
    std::mutex lock;  // held from the check to the increment, refill included
    bool hasPair = false;
    std::int64_t next = 0;
    std::int64_t last = 0;
};

// The map's structure has its own mutex; each generator's counters have theirs.
struct SequenceState {
    std::mutex mapMutex;
    std::unordered_map<std::string, std::unique_ptr<SequenceEntry>> entries;
    std::mutex wholeStateLock;  // SequenceGenerator's reservations
    std::mutex sourceMutex;
    std::shared_ptr<SequenceDataSource> source;
};

SequenceState& State() {
    static SequenceState state;
    return state;
}

SequenceEntry* FindEntry(const std::string& generator, bool create) {
    SequenceState& state = State();
    std::lock_guard<std::mutex> hold(state.mapMutex);
    auto found = state.entries.find(generator);
    if (found != state.entries.end()) return found->second.get();
    if (!create) return nullptr;
    return state.entries.emplace(generator, std::make_unique<SequenceEntry>()).first->second.get();
}

// The last batch start that keeps a whole batch within 32 bits.
constexpr std::int64_t kHighestBatchStart = std::numeric_limits<std::int32_t>::max() - SEQUENCE_BATCH_SIZE;

// Single quotes doubled, so a generator name cannot end the SQL literal.
std::string QuoteSql(const char* text) {
    std::string quoted;
    for (const char* c = text; *c; ++c) {
        quoted += *c;
        if (*c == '\'') quoted += '\'';
    }
    return quoted;
}

// A 4- or 8-byte integer cell; none for NULL or anything else.
std::optional<std::int64_t> ReadInteger(const ColumnValue* cell) {
    if (!cell || cell->isNull()) return std::nullopt;
    if (cell->length == 4) return cell->As<std::int32_t>();
    if (cell->length == 8) return cell->As<std::int64_t>();
    return std::nullopt;
}

// Reserves the next batch in the database; the first and last identifiers of it. The
// batch starts above `floor`, an identifier the caller's table already holds.
bool ReserveBatchOnce(const char* tableName, const char* generator, std::int64_t floor, std::int64_t* first,
                      std::int64_t* last) {
    LogTrace("Inside UpdateSeqGen \n");
    const std::string quoted = QuoteSql(generator);
    const std::string query = fmt::sprintf("select * from SeqGenState where SEQNAME = '%s';", quoted);
    LogTrace("Query %s\n", query);
    std::shared_ptr<SequenceDataSource> source = GetSequenceDataSource();
    std::unique_ptr<QueryResultSet> result = source ? source->ExecuteQuery(tableName, query) : nullptr;
    if (!result) {
        LogError("Table doesn't Exists for UpdateSeqGen\n");
        return false;
    }
    // A generator with a row continues after its stored batch end; one without starts at 0.
    const bool stored = NextResultRow(result.get());
    std::int64_t batchEnd = 0;
    if (stored) {
        const std::optional<std::int64_t> end = ReadInteger(GetResultCellByName(result.get(), "CURRENTBATCHEND"));
        // The next batch must stay within 32 bits.
        if (!end || *end < 0 || *end > kHighestBatchStart) {
            LogError("Invalid CURRENTBATCHEND for %s\n", generator);
            return false;
        }
        batchEnd = *end;
    }
    const std::int64_t start = std::max(batchEnd, floor);
    if (start > kHighestBatchStart) {
        LogError("No identifiers of %s are left above %lld\n", generator, static_cast<long long>(floor));
        return false;
    }
    const int newEnd = static_cast<int>(start + SEQUENCE_BATCH_SIZE);
    if (stored) {
        const std::string update =
            fmt::sprintf("update SeqGenState set CURRENTBATCHEND = %d where SEQNAME = '%s';", newEnd, quoted);
        LogTrace("Update Query %s\n", update);
        if (!source->ExecuteUpdate(tableName, update)) {
            LogError("ExecuteUpdate Failed for update\n");
            return false;
        }
    } else {
        const std::string insert = fmt::sprintf("insert into SeqGenState values ('%s',%d);", quoted, newEnd);
        LogTrace("Insert Query %s\n", insert);
        if (!source->ExecuteUpdate(tableName, insert)) {
            LogError("ExecuteUpdate Failed for insert\n");
            return false;
        }
    }
    *first = start + 1;
    *last = start + SEQUENCE_BATCH_SIZE;
    return true;
}

// Reservations that lose a lock conflict with another process are tried again.
constexpr int kReservationAttempts = 5;

bool ReserveBatch(const char* tableName, const char* generator, std::int64_t floor, std::int64_t* first,
                  std::int64_t* last) {
    std::shared_ptr<SequenceDataSource> source = GetSequenceDataSource();
    if (!source) return ReserveBatchOnce(tableName, generator, floor, first, last);
    for (int attempt = 0; attempt < kReservationAttempts; ++attempt) {
        if (!source->BeginReservation(tableName, generator)) return false;
        const bool reserved = ReserveBatchOnce(tableName, generator, floor, first, last);
        if (source->EndReservation(tableName, reserved)) return reserved;
        LogError("Reservation of a batch for %s failed, tried again\n", generator);
    }
    return false;
}

std::int32_t NextIdentifier(const char* tableName, const char* generator, std::int64_t floor) {
    SequenceEntry* entry = FindEntry(generator, false);
    // An entry whose first reservation failed holds no batch: the generator has no state
    // yet, which is no error of the row asking (the failed reservation logged its own).
    std::unique_lock<std::mutex> hold;
    if (entry) hold = std::unique_lock<std::mutex>(entry->lock);
    if (!entry || !entry->hasPair) {
        LogTrace("Cannot generate ID for key %s.\n", generator);
        return -1;
    }
    if (entry->last < entry->next || entry->last <= floor) {
        std::int64_t first = 0, last = 0;
        // A failed refill ends here; retrying would spin for as long as the database fails.
        if (!ReserveBatch(tableName, generator, floor, &first, &last)) return -1;
        entry->next = first;
        entry->last = last;
    }
    entry->next = std::max(entry->next, floor + 1);
    const std::int64_t id = entry->next++;
    LogTrace("AutoGenerated Value %d \n", static_cast<int>(id));
    return static_cast<std::int32_t>(id);
}

}  // namespace

std::shared_ptr<SequenceDataSource> SetSequenceDataSource(std::shared_ptr<SequenceDataSource> source) {
    SequenceState& state = State();
    std::lock_guard<std::mutex> hold(state.sourceMutex);
    std::swap(state.source, source);
    return source;
}

std::shared_ptr<SequenceDataSource> GetSequenceDataSource() {
    SequenceState& state = State();
    std::lock_guard<std::mutex> hold(state.sourceMutex);
    return state.source;
}

void InitSequenceState() { ReleaseSequenceState(); }

void ReleaseSequenceState() {
    SequenceState& state = State();
    std::lock_guard<std::mutex> whole(state.wholeStateLock);
    std::lock_guard<std::mutex> hold(state.mapMutex);
    state.entries.clear();
}

bool SequenceGenerator() {
    LogTrace("Inside SequenceGenerator\n");
    for (VectorNode* node = gv_dataDictionary.first.get(); node; node = node->next.get()) {
        const TableDefn* defn = ElementOf<TableDefn>(node);
        if (!defn || defn->columns.empty()) return false;
        for (const auto& column : defn->columns) {
            if (!column->generatorName) continue;
            std::lock_guard<std::mutex> whole(State().wholeStateLock);
            UpdateSeqGen(defn->name.c_str(), column->generatorName->c_str());
        }
    }
    return true;
}

bool UpdateSeqGen(const char* tableName, const char* generatorName) {
    if (!generatorName) return false;
    SequenceEntry* entry = FindEntry(generatorName, true);
    std::lock_guard<std::mutex> hold(entry->lock);
    std::int64_t first = 0, last = 0;
    if (!ReserveBatch(tableName, generatorName, 0, &first, &last)) return false;
    entry->next = first;
    entry->last = last;
    entry->hasPair = true;
    return true;
}

std::int32_t GenerateID(const char* tableName, const ColumnDefn* column) { return GenerateIDAbove(tableName, column, 0); }

std::int32_t GenerateIDAbove(const char* tableName, const ColumnDefn* column, std::int64_t floor) {
    LogTrace("Inside GenerateID \n");
    if (!column || !column->generatorName) return -1;
    LogTrace("AutoId Key %s\n", *column->generatorName);
    return NextIdentifier(tableName, column->generatorName->c_str(), std::max<std::int64_t>(floor, 0));
}

std::int32_t GenerateInstanceID() {
    LogTrace("Inside GenerateID \n");
    LogTrace("AutoId Key %s\n", kInstanceGenerator);
    return NextIdentifier(nullptr, kInstanceGenerator, 0);
}
