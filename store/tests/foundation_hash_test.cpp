// HashTable: bucket count, replacement, the removal rules of a bucket's chain, keys
// outside ASCII, key listing and merging.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "store/store.h"

namespace {

// Keys that share bucket 0 of a 10-bucket table: h = (h * 26 + c) mod 10.
std::vector<std::string> KeysInBucketZero(int wanted) {
    std::vector<std::string> keys;
    for (char a = 'A'; a <= 'z' && static_cast<int>(keys.size()) < wanted; ++a) {
        for (char b = 'A'; b <= 'z' && static_cast<int>(keys.size()) < wanted; ++b) {
            const std::string key{a, b};
            if (HashBucketOf(key.c_str(), 10) == 0) keys.push_back(key);
        }
    }
    return keys;
}

}  // namespace

TEST(FoundationHash, BucketCountDefaultsAndHashFunction) {
    auto table = CreateHashTable(0);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->bucketCount, 10);
    EXPECT_EQ(table->buckets.size(), 10u);
    auto storeTable = CreateHashTable(kStoreHashBuckets);
    EXPECT_EQ(storeTable->bucketCount, 50);
    struct Case {
        const char* key;
        int buckets;
        int bucket;
    } cases[] = {
        {"", 10, 0},
        {"A", 10, 5},    // 65 mod 10
        {"AB", 10, 6},   // (5 * 26 + 66) mod 10 = 196 mod 10
        {"AB", 50, 6},   // (15 * 26 + 66) mod 50 = 456 mod 50
    };
    for (const Case& c : cases) EXPECT_EQ(HashBucketOf(c.key, c.buckets), c.bucket) << c.key;
}

TEST(FoundationHash, KeysAboveAsciiLandInRange) {
    auto table = CreateHashTable(7);
    const char* keys[] = {"\xff", "caf\xc3\xa9", "\x80\x80\x80", "\xe2\x82\xac-sign"};
    int values[4] = {1, 2, 3, 4};
    for (int i = 0; i < 4; ++i) {
        const int bucket = HashBucketOf(keys[i], 7);
        EXPECT_GE(bucket, 0);
        EXPECT_LT(bucket, 7);
        ASSERT_TRUE(HashPut(table.get(), keys[i], &values[i]));
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(HashGet(table.get(), keys[i]), &values[i]);
    EXPECT_EQ(HashCount(table.get()), 4);
}

TEST(FoundationHash, PutReplacesWithoutAddingAndKeysAreCaseSensitive) {
    auto table = CreateHashTable(0);
    int first = 1, second = 2, third = 3;
    ASSERT_TRUE(HashPut(table.get(), "Key", &first));
    ASSERT_TRUE(HashPut(table.get(), "Key", &second));
    EXPECT_EQ(HashCount(table.get()), 1);
    EXPECT_EQ(HashGet(table.get(), "Key"), &second);
    EXPECT_EQ(HashGet(table.get(), "key"), nullptr);
    ASSERT_TRUE(HashPut(table.get(), "key", &third));
    EXPECT_EQ(HashCount(table.get()), 2);
    EXPECT_TRUE(HashContains(table.get(), "key"));
    EXPECT_FALSE(HashContains(table.get(), "KEY"));
    EXPECT_FALSE(HashPut(table.get(), nullptr, &first));
    EXPECT_EQ(HashGet(table.get(), nullptr), nullptr);
    ASSERT_TRUE(HashGetEntry(table.get(), "Key"));
    EXPECT_EQ(*HashGetEntry(table.get(), "Key")->key, "Key");
}

TEST(FoundationHash, RemovalFromEveryPlaceOfTheChain) {
    const std::vector<std::string> keys = KeysInBucketZero(4);
    ASSERT_EQ(keys.size(), 4u);
    int values[4] = {0, 1, 2, 3};
    // Remove the head with a successor, a middle entry, the tail, and the lone head.
    for (const std::vector<int>& order : {std::vector<int>{0, 2, 3, 1}, std::vector<int>{3, 1, 0, 2},
                                           std::vector<int>{1, 0, 3, 2}}) {
        HashTable table;
        ASSERT_TRUE(InitHashTable(&table, 10));
        std::map<std::string, int*> model;
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(HashPut(&table, keys[i].c_str(), &values[i]));
            model[keys[i]] = &values[i];
        }
        for (int index : order) {
            EXPECT_TRUE(HashRemove(&table, keys[index].c_str()));
            EXPECT_FALSE(HashRemove(&table, keys[index].c_str()));
            model.erase(keys[index]);
            EXPECT_EQ(HashCount(&table), static_cast<int>(model.size()));
            for (const auto& [key, value] : model) EXPECT_EQ(HashGet(&table, key.c_str()), value) << key;
        }
        // The emptied bucket takes new keys again.
        ASSERT_TRUE(HashPut(&table, keys[2].c_str(), &values[2]));
        EXPECT_EQ(HashGet(&table, keys[2].c_str()), &values[2]);
        EXPECT_EQ(HashCount(&table), 1);
    }
}

TEST(FoundationHash, MatchesAReferenceMapUnderRandomOperations) {
    std::mt19937 random(7);
    HashTable table;
    ASSERT_TRUE(InitHashTable(&table, 13));
    std::map<std::string, void*> model;
    for (int step = 0; step < 5000; ++step) {
        const std::string key = "k" + std::to_string(random() % 200);
        void* value = reinterpret_cast<void*>(static_cast<std::uintptr_t>(random() % 1000 + 1));
        if (random() % 3 == 0) {
            EXPECT_EQ(HashRemove(&table, key.c_str()), model.erase(key) == 1);
        } else {
            ASSERT_TRUE(HashPut(&table, key.c_str(), value));
            model[key] = value;
        }
    }
    EXPECT_EQ(HashCount(&table), static_cast<int>(model.size()));
    std::vector<const char*> keys = HashKeys(&table);
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys.back(), nullptr);
    EXPECT_EQ(keys.size(), model.size() + 1);
    for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
        ASSERT_TRUE(model.count(keys[i])) << keys[i];
        EXPECT_EQ(HashGet(&table, keys[i]), model[keys[i]]);
    }
    FreeHashTable(&table);
    EXPECT_EQ(HashCount(&table), 0);
    EXPECT_EQ(HashGet(&table, "k1"), nullptr);
    EXPECT_FALSE(HashRemove(&table, "k1"));
}

TEST(FoundationHash, MergeFillsOnlyWhatTheSecondLacks) {
    auto from = CreateHashTable(0);
    auto into = CreateHashTable(50);
    int a = 1, b = 2, c = 3;
    ASSERT_TRUE(HashPut(from.get(), "a", &a));
    ASSERT_TRUE(HashPut(from.get(), "b", &b));
    ASSERT_TRUE(HashPut(into.get(), "b", &c));
    ASSERT_TRUE(MergeHashTable(from.get(), into.get()));
    EXPECT_EQ(HashGet(into.get(), "a"), &a);
    EXPECT_EQ(HashGet(into.get(), "b"), &c);
    EXPECT_EQ(HashCount(into.get()), 2);
    EXPECT_EQ(HashCount(from.get()), 2);
    EXPECT_FALSE(MergeHashTable(nullptr, into.get()));
}
