// String-keyed hash table of the store: keys are owned copies compared case-sensitively,
// values are untyped pointers the table does not own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One key and its value in a bucket's chain.
struct HashEntry {
    std::optional<std::string> key;  // none while the bucket's first entry is empty
    void* value = nullptr;
    std::unique_ptr<HashEntry> next;

    HashEntry() = default;
    ~HashEntry();  // iterative, so long chains do not recurse
    HashEntry(const HashEntry&) = delete;
    HashEntry& operator=(const HashEntry&) = delete;
};

// A hash table of text keys to borrowed values, chained per bucket.
struct HashTable {
    // One preallocated first entry per bucket; further entries chain from it.
    std::vector<std::unique_ptr<HashEntry>> buckets;
    std::int32_t bucketCount = 0;
};

inline constexpr std::int32_t kDefaultHashBuckets = 10;
inline constexpr std::int32_t kStoreHashBuckets = 50;

// Bucket of a key: h = (h * 26 + byte) mod buckets over the key's signed bytes, kept in
// range for bytes above 127.
std::int32_t HashBucketOf(const char* key, std::int32_t bucketCount);

// 0 (or a negative count) gives 10 buckets. False when memory runs out.
bool InitHashTable(HashTable* table, std::int32_t bucketCount);
// A new table owned by the caller; null (logged) when memory runs out.
std::unique_ptr<HashTable> CreateHashTable(std::int32_t bucketCount);
// Replaces the value of an existing key, otherwise adds an entry. False for a null
// table or key, or when memory runs out.
bool HashPut(HashTable* table, const char* key, void* value);
// Whether the key is in the table (false for null).
bool HashContains(const HashTable* table, const char* key);
// The value, or null when the key is absent.
void* HashGet(const HashTable* table, const char* key);
// The key's entry, owned by the table; null when absent.
HashEntry* HashGetEntry(const HashTable* table, const char* key);
// False when the key is absent.
bool HashRemove(HashTable* table, const char* key);
// The number of keys (0 for null).
std::int32_t HashCount(const HashTable* table);
// The keys followed by a null; the texts are borrowed from the table.
std::vector<const char*> HashKeys(const HashTable* table);
// Frees entries and keys, not values; the table is empty (no buckets) afterwards.
void FreeHashTable(HashTable* table);
// Puts every key of the first table whose value the second lacks into the second.
bool MergeHashTable(const HashTable* from, HashTable* into);
