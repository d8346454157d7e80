// HashTable: string keys hashed into a fixed number of buckets, each bucket a chain
// that starts with a preallocated entry.
#include "store/foundation/hash_table.h"

#include <cstring>
#include <new>

#include "runtime/log.h"

HashEntry::~HashEntry() {
    std::unique_ptr<HashEntry> rest = std::move(next);
    while (rest) rest = std::move(rest->next);
}

std::int32_t HashBucketOf(const char* key, std::int32_t bucketCount) {
    if (!key || bucketCount <= 0) return 0;
    std::int64_t hash = 0;
    for (const char* p = key; *p; ++p) {
        const std::int64_t byte = static_cast<signed char>(*p);
        hash = (hash * 26 + byte) % bucketCount;
        // Bytes above 127 are negative as signed chars; fold the remainder into range.
        if (hash < 0) hash += bucketCount;
    }
    return static_cast<std::int32_t>(hash);
}

namespace {

HashEntry* FindEntry(const HashTable* table, const char* key) {
    if (!table || !key || table->buckets.empty()) return nullptr;
    const std::int32_t bucket = HashBucketOf(key, table->bucketCount);
    for (HashEntry* entry = table->buckets[bucket].get(); entry; entry = entry->next.get()) {
        if (entry->key && *entry->key == key) return entry;
    }
    return nullptr;
}

}  // namespace

bool InitHashTable(HashTable* table, std::int32_t bucketCount) {
    if (!table) return false;
    if (bucketCount <= 0) bucketCount = kDefaultHashBuckets;
    try {
        std::vector<std::unique_ptr<HashEntry>> buckets;
        buckets.reserve(bucketCount);
        for (std::int32_t i = 0; i < bucketCount; ++i) buckets.push_back(std::make_unique<HashEntry>());
        table->buckets = std::move(buckets);
        table->bucketCount = bucketCount;
        return true;
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
        return false;
    }
}

std::unique_ptr<HashTable> CreateHashTable(std::int32_t bucketCount) {
    try {
        auto table = std::make_unique<HashTable>();
        if (!InitHashTable(table.get(), bucketCount)) return nullptr;
        return table;
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
        return nullptr;
    }
}

bool HashPut(HashTable* table, const char* key, void* value) {
    if (!table || !key) return false;
    if (table->buckets.empty() && !InitHashTable(table, table->bucketCount)) return false;
    if (HashEntry* existing = FindEntry(table, key)) {
        existing->value = value;
        return true;
    }
    try {
        HashEntry* head = table->buckets[HashBucketOf(key, table->bucketCount)].get();
        if (!head->key) {
            head->key.emplace(key);
            head->value = value;
            return true;
        }
        HashEntry* tail = head;
        while (tail->next) tail = tail->next.get();
        auto entry = std::make_unique<HashEntry>();
        entry->key.emplace(key);
        entry->value = value;
        tail->next = std::move(entry);
        return true;
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
        return false;
    }
}

bool HashContains(const HashTable* table, const char* key) { return FindEntry(table, key) != nullptr; }

void* HashGet(const HashTable* table, const char* key) {
    HashEntry* entry = FindEntry(table, key);
    return entry ? entry->value : nullptr;
}

HashEntry* HashGetEntry(const HashTable* table, const char* key) { return FindEntry(table, key); }

bool HashRemove(HashTable* table, const char* key) {
    if (!table || !key || table->buckets.empty()) return false;
    std::unique_ptr<HashEntry>& head = table->buckets[HashBucketOf(key, table->bucketCount)];
    if (head->key && *head->key == key) {
        if (head->next) {
            // The successor becomes the bucket's first entry.
            std::unique_ptr<HashEntry> successor = std::move(head->next);
            head = std::move(successor);
        } else {
            head->key.reset();
            head->value = nullptr;
        }
        return true;
    }
    for (std::unique_ptr<HashEntry>* slot = &head->next; *slot; slot = &(*slot)->next) {
        if ((*slot)->key && *(*slot)->key == key) {
            std::unique_ptr<HashEntry> removed = std::move(*slot);
            *slot = std::move(removed->next);
            return true;
        }
    }
    return false;
}

std::int32_t HashCount(const HashTable* table) {
    if (!table) return 0;
    std::int32_t count = 0;
    for (const auto& head : table->buckets) {
        for (const HashEntry* entry = head.get(); entry; entry = entry->next.get()) {
            if (entry->key) ++count;
        }
    }
    return count;
}

std::vector<const char*> HashKeys(const HashTable* table) {
    std::vector<const char*> keys;
    if (table) {
        for (const auto& head : table->buckets) {
            for (const HashEntry* entry = head.get(); entry; entry = entry->next.get()) {
                if (entry->key) keys.push_back(entry->key->c_str());
            }
        }
    }
    keys.push_back(nullptr);
    return keys;
}

void FreeHashTable(HashTable* table) {
    if (!table) return;
    table->buckets.clear();
}

bool MergeHashTable(const HashTable* from, HashTable* into) {
    if (!from || !into) return false;
    for (const auto& head : from->buckets) {
        for (const HashEntry* entry = head.get(); entry; entry = entry->next.get()) {
            if (!entry->key || HashGet(into, entry->key->c_str())) continue;
            if (!HashPut(into, entry->key->c_str(), entry->value)) return false;
        }
    }
    return true;
}
