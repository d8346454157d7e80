// Row storage: the per-table value blocks, borrowed texts, and rows that are removed,
// updated, re-appended and torn down while their values live in the table's chunks.
#include <atomic>
#include <cstring>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/tests/store_fixture.h"

namespace {

using namespace storetest;

class RowStorageTest : public StoreTest {};

// Texts on both sides of the inline limit, with a zero byte inside, and NULL.
std::vector<std::string> SampleTexts() {
    return {"",
            "short",
            std::string(ValueBuffer::kInlineBytes, 'i'),
            std::string(ValueBuffer::kInlineBytes + 1, 'o'),
            std::string("zero\0inside-a-long-text", 23),
            std::string(300, 'L'),
            std::string(5000, 'H')};  // above the pooled block size
}

ColumnValue Bytes(const std::string& text) {
    return ColumnValue::FromBytes(text.data(), static_cast<std::uint32_t>(text.size()));
}

TEST(RowStorage, BlocksAreAlignedReusedBySizeClassAndClearedTogether) {
    RowStorage storage;
    struct Case {
        std::size_t bytes;
        std::size_t sameClassBytes;  // another request of the same 8-byte class
    };
    const Case cases[] = {{0, 1}, {1, 8}, {20, 24}, {100, 97}, {4096, 4089}, {4097, 5000}};
    // A block kept in use all along, so freed blocks stay in their lists.
    void* anchor = storage.Allocate(48);
    for (const Case& c : cases) {
        void* block = storage.Allocate(c.bytes);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % RowStorage::kGranule, 0u) << c.bytes;
        std::memset(block, 0x5a, c.bytes);
        storage.Free(block, c.bytes);
        void* again = storage.Allocate(c.sameClassBytes);
        storage.Free(again, c.sameClassBytes);
        if (c.bytes > RowStorage::kLargestPooled) continue;  // the heap's own business
        EXPECT_EQ(again, block) << "a freed block serves the next request of its class: " << c.bytes;
        // A request of another class never takes it.
        void* other = storage.Allocate(c.bytes + 2 * RowStorage::kGranule);
        EXPECT_NE(other, block) << c.bytes;
        storage.Free(other, c.bytes + 2 * RowStorage::kGranule);
    }
    // The last block given back gives the chunks back too.
    EXPECT_GT(storage.ChunkCount(), 0u);
    storage.Free(anchor, 48);
    EXPECT_EQ(storage.ChunkCount(), 0u);
    EXPECT_EQ(storage.FreeBlockCount(), 0u);
    // Many blocks: chunks grow, Clear gives every chunk back and the storage works again.
    std::vector<void*> blocks;
    for (int i = 0; i < 20000; ++i) blocks.push_back(storage.Allocate(160));
    EXPECT_GT(storage.ChunkCount(), 1u);
    EXPECT_LT(storage.ChunkCount(), 20u) << "chunks grow instead of staying small";
    storage.Clear();
    EXPECT_EQ(storage.ChunkCount(), 0u);
    EXPECT_EQ(storage.FreeBlockCount(), 0u);
    EXPECT_NE(storage.Allocate(160), nullptr);
}

TEST(RowStorage, BorrowedBytesAreNeverFreedAndCopiesOwnTheirOwn) {
    // Bytes on the stack: freeing them would be caught by the sanitizer build.
    const char text[] = "borrowed text longer than inline";
    const std::size_t count = sizeof text - 1;
    alignas(ValueBuffer::kCountedAlignment) char counted[ValueBuffer::CountedBytes(sizeof text - 1)];
    char* bytes = ValueBuffer::WriteCounted(counted, text, count);
    std::string copied;
    {
        ValueBuffer borrowed = ValueBuffer::Borrowing(bytes);
        EXPECT_TRUE(borrowed.borrowed());
        EXPECT_EQ(borrowed.data(), bytes);
        EXPECT_EQ(borrowed.view(), std::string_view(bytes, count));
        ValueBuffer copy = borrowed;
        EXPECT_FALSE(copy.borrowed());
        EXPECT_NE(copy.data(), bytes);
        ValueBuffer moved = std::move(borrowed);
        EXPECT_TRUE(moved.borrowed());
        EXPECT_EQ(moved.data(), bytes);
        bytes[0] = 'B';  // the copy does not follow the owner's bytes
        copied = std::string(copy.view());
        moved = std::string_view("replaced by an owned heap text");  // drops the borrow, frees nothing
        EXPECT_FALSE(moved.borrowed());
    }
    EXPECT_EQ(copied, "borrowed text longer than inline");
    EXPECT_EQ(bytes[0], 'B');
}

TEST_F(RowStorageTest, ValuesSurviveTheMoveIntoTheTable) {
    ASSERT_TRUE(CreateTable("Plain"));
    const std::vector<std::string> texts = SampleTexts();
    for (std::size_t i = 0; i < texts.size(); ++i) AddRow("Plain", {Int(static_cast<int>(i)), Bytes(texts[i]), ColumnValue::Null()});
    auto all = SelectRows("Plain", nullptr);
    ASSERT_EQ(all->rowCount(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const RowObject* row = all->entries[i];
        EXPECT_TRUE(row->values.InStorage());
        ASSERT_EQ(row->values.size(), 3u);
        EXPECT_EQ(IntOf(row->values[0]), static_cast<int>(i));
        const ColumnValue& text = row->values[1];
        EXPECT_EQ(text.length, texts[i].size());
        EXPECT_EQ(text.buffer.view(), texts[i]);
        EXPECT_EQ(text.data()[texts[i].size()], '\0') << "the zero byte after the bytes stays";
        EXPECT_TRUE(row->values[2].isNull());
    }
    // Criteria see the same bytes: texts end at their first zero byte.
    EXPECT_EQ(SelectRows("Plain", "B='zero'")->rowCount(), 1u);
    EXPECT_EQ(SelectRows("Plain", ("B='" + std::string(300, 'L') + "'").c_str())->rowCount(), 1u);
}

TEST_F(RowStorageTest, RemovedUpdatedAndReappendedRowsKeepTheirValues) {
    ASSERT_TRUE(CreateTable("Plain"));
    CloseLog();
    TableData* table = GetTableDataByName("Plain");
    auto text = [](int i) { return "row text number " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 7) * 9, '+'); };
    std::vector<RowObject*> rows;
    for (int i = 0; i < 600; ++i) rows.push_back(AddRow("Plain", {Int(i), Text(text(i).c_str()), ColumnValue::Null()}));
    // A copy of a stored value outlives its row.
    const ColumnValue kept = rows[10]->values[1];
    // Every third row leaves; its block goes back for reuse.
    for (int i = 0; i < 600; i += 3) ASSERT_TRUE(DeleteRowObject("Plain", rows[static_cast<std::size_t>(i)]));
    EXPECT_GT(table->rowStorage.FreeBlockCount(), 0u);
    const std::size_t chunksBefore = table->rowStorage.ChunkCount();
    // Updates replace stored texts by owned ones, in the block and out of it.
    for (int i = 1; i < 600; i += 3) {
        const std::string updated = "updated " + text(i);
        ASSERT_TRUE(UpdateRowObject("Plain", rows[static_cast<std::size_t>(i)], "B", updated.c_str(),
                                    static_cast<std::uint32_t>(updated.size() + 1)));
    }
    // New rows of the deleted rows' shapes take the freed blocks before any new chunk.
    for (int i = 600; i < 800; ++i) AddRow("Plain", {Int(i), Text(text(3 * (i - 600)).c_str()), ColumnValue::Null()});
    EXPECT_EQ(table->rowStorage.ChunkCount(), chunksBefore);
    EXPECT_EQ(table->rowStorage.FreeBlockCount(), 0u);
    EXPECT_EQ(std::string(kept.buffer.view()), text(10));

    auto all = SelectRows("Plain", nullptr);
    std::size_t checked = 0;
    for (const RowObject* row : all->entries) {
        const int id = IntOf(row->values[0]);
        ASSERT_NE(id % 3 == 0 && id < 600, true) << "deleted row " << id << " is still listed";
        std::string expected = id >= 600 ? text(3 * (id - 600)) : text(id);
        if (id < 600 && id % 3 == 1) expected = "updated " + expected;
        EXPECT_EQ(std::string(row->values[1].data()), expected) << id;
        ++checked;
    }
    EXPECT_EQ(checked, 600u);
    // Deleting everything hands all blocks back; the table is still usable after.
    ASSERT_TRUE(DeleteAllTableRowObjects("Plain"));
    EXPECT_EQ(GetLiveRowCount("Plain"), 0u);
    AddRow("Plain", {Int(1), Text("after everything left"), ColumnValue::Null()});
    EXPECT_EQ(SelectRows("Plain", "B='after everything left'")->rowCount(), 1u);
}

TEST_F(RowStorageTest, FreedTableTakesNewRowsAndAssignmentsKeepTheRowWidthRules) {
    ASSERT_TRUE(CreateTable("Plain"));
    TableData* table = GetTableDataByName("Plain");
    RowObject* row = AddRow("Plain", {Int(1), Text("a text beyond the inline bytes"), ColumnValue::Null()});
    // Same width: assigned in place, still in the table's block.
    row->values = std::vector<ColumnValue>{Int(2), Text("another text beyond the inline bytes"), Int(3)};
    EXPECT_TRUE(row->values.InStorage());
    EXPECT_EQ(std::string(row->values[1].data()), "another text beyond the inline bytes");
    // Another width: the row owns its values again.
    row->values = std::vector<ColumnValue>{Int(4)};
    EXPECT_FALSE(row->values.InStorage());
    ASSERT_EQ(row->values.size(), 1u);
    EXPECT_EQ(IntOf(row->values[0]), 4);
    // A table freed in place (still registered) starts over with empty storage.
    FreeTableData(table);
    EXPECT_EQ(table->rowStorage.ChunkCount(), 0u);
    AddRow("Plain", {Int(5), Text("filled again after the free"), ColumnValue::Null()});
    auto all = SelectRows("Plain", "A=5");
    ASSERT_EQ(all->rowCount(), 1u);
    EXPECT_EQ(std::string(all->entries[0]->values[1].data()), "filled again after the free");
}

// A loader's rows arrive with their values already in a storage of its own. A table whose
// storage is unused takes it over whole; a table holding rows gets the values copied into
// its own. Either way the values read back intact, the loader's storage ends unused, and
// the table's chunks go once its rows are gone.
TEST_F(RowStorageTest, RowsFilledInALoadersStorageJoinTheTable) {
    const std::vector<std::string> texts = SampleTexts();
    for (const bool tableHoldsRows : {false, true}) {
        SCOPED_TRACE(tableHoldsRows ? "table holds rows" : "table empty");
        ASSERT_TRUE(CreateTable("Plain"));
        TableData* table = GetTableDataByName("Plain");
        if (tableHoldsRows) AddRow("Plain", {Int(-1), Text("already there, longer than inline"), ColumnValue::Null()});
        RowStorage loader;
        std::vector<std::unique_ptr<RowObject>> rows;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            rows.push_back(CreateNewRowObject({Int(static_cast<int>(i)), Bytes(texts[i]), ColumnValue::Null()}));
            rows.back()->state = ROW_SAVED;
            rows.back()->values.MoveInto(loader);
        }
        const std::size_t loaderChunks = loader.ChunkCount();
        ASSERT_GT(loaderChunks, 0u);
        EXPECT_EQ(AddNewRows("Plain", rows, &loader), texts.size());
        EXPECT_TRUE(loader.Unused());
        if (!tableHoldsRows) {
            EXPECT_EQ(table->rowStorage.ChunkCount(), loaderChunks) << "taken over, not copied";
        }

        auto all = SelectRows("Plain", nullptr);
        const std::size_t first = tableHoldsRows ? 1 : 0;
        ASSERT_EQ(all->rowCount(), first + texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const RowObject* row = all->entries[first + i];
            EXPECT_TRUE(row->values.InStorage());
            EXPECT_EQ(IntOf(row->values[0]), static_cast<int>(i));
            EXPECT_EQ(row->values[1].buffer.view(), texts[i]);
            EXPECT_EQ(row->values[1].data()[texts[i].size()], '\0');
        }
        // Deleting a row gives its block back to the table's storage, never the loader's
        // (saved rows would only be marked).
        for (RowObject* row : all->entries) row->state = ROW_NEW;
        ASSERT_TRUE(DeleteAllTableRowObjects("Plain"));
        EXPECT_EQ(GetLiveRowCount("Plain"), 0u);
        EXPECT_EQ(table->rowStorage.ChunkCount(), 0u);
        FreeTableData(RemoveTableData("Plain").get());
    }
    // Rows the table refuses leave its storage as it was.
    ASSERT_TRUE(CreateTable("Plain"));
    RowStorage loader;
    std::vector<std::unique_ptr<RowObject>> narrow;
    narrow.push_back(CreateNewRowObject({Int(1), Text("two columns only, longer than inline")}));
    narrow.back()->values.MoveInto(loader);
    EXPECT_EQ(AddNewRows("Plain", narrow, &loader), 0u);
    EXPECT_TRUE(GetTableDataByName("Plain")->rowStorage.Unused());
}

std::uint64_t ResidentBytes() { return ProcessStatusKiB("VmRSS") * 1024; }

TEST_F(RowStorageTest, MemoryOfRowsThatAreGoneGoesBackToTheSystem) {
    CloseLog();
    ASSERT_TRUE(CreateTable("Plain"));
    const std::string text(40, 't');
    auto fill = [&] {
        for (int i = 0; i < 200000; ++i) AddRow("Plain", {Int(i), Text(text.c_str()), ColumnValue::Null()});
    };
    // No table is left from earlier tests, so at most the kept chunks are mapped; the fill
    // takes those first (one process may run every test, as under Wine).
    const std::size_t mappedBefore = MappedRowMemoryBytes();
    ASSERT_LE(mappedBefore, kKeptRowMemoryBytes);
    [[maybe_unused]] const std::uint64_t residentBefore = ResidentBytes();
    fill();
    const std::size_t mappedFull = MappedRowMemoryBytes();
    [[maybe_unused]] const std::uint64_t residentFull = ResidentBytes();
    EXPECT_GT(mappedFull, std::size_t{20} << 20);  // headers and values
    // Emptied but still registered: the table needs none of its chunks any more.
    ASSERT_TRUE(DeleteAllTableRowObjects("Plain"));
    EXPECT_LE(MappedRowMemoryBytes(), mappedBefore + kKeptRowMemoryBytes);
    EXPECT_EQ(GetTableDataByName("Plain")->rowStorage.ChunkCount(), 0u);
    // Filled again and freed for good.
    fill();
    FreeTableData(RemoveTableData("Plain").get());
    EXPECT_LE(MappedRowMemoryBytes(), mappedBefore + kKeptRowMemoryBytes);
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer keeps freed heap blocks on purpose
    // And the system has it back: what stays resident is at most the kept chunks and the
    // heap's own slack.
    EXPECT_LT(ResidentBytes(), residentBefore + kKeptRowMemoryBytes + (residentFull - residentBefore) / 4);
#endif
}

TEST_F(RowStorageTest, AppendsDeletesAndSelectsFromManyThreadsStayConsistent) {
    ASSERT_TRUE(CreateTable("Plain"));
    CloseLog();
    constexpr int kRows = 3000;
    auto text = [](int i) { return "value text of row " + std::to_string(i); };
    std::atomic<bool> done{false};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&, r] {
            while (!done) {
                auto result = SelectRows("Plain", r ? "A>=0" : nullptr);
                // The rows a select returns stay valid only while they stay in the table, so
                // readers check the values under the same lock a select takes.
                TableData* table = GetTableDataByName("Plain");
                std::shared_lock<std::shared_mutex> hold(table->rowsLock);
                for (const RowObject* row = table->firstRow.get(); row; row = row->next.get()) {
                    if (std::string(row->values[1].data()) != text(IntOf(row->values[0]))) ++mismatches;
                }
                hold.unlock();
                std::this_thread::yield();  // let the writers in
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (int i = w; i < kRows; i += 2) {
                RowObject* row = AddRow("Plain", {Int(i), Text(text(i).c_str()), ColumnValue::Null()});
                // Every fourth row leaves again, so blocks are reused while others append.
                if (i % 4 == w) {
                    EXPECT_TRUE(DeleteRowObject("Plain", row));
                }
            }
            // One deletion by criteria scans the table while the others work.
            DeleteRowObjectByCriteria("Plain", ("A=" + std::to_string(kRows + w)).c_str());
        });
    }
    for (auto& writer : writers) writer.join();
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(mismatches.load(), 0);
    std::size_t expected = 0;
    for (int i = 0; i < kRows; ++i) expected += i % 4 != i % 2;
    EXPECT_EQ(GetLiveRowCount("Plain"), expected);
}

}  // namespace
