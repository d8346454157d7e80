// Running out of memory inside the table operations: every allocation an operation makes
// is failed in turn, and the operation must give its failure result (never throw), log
// its line, and leave the table as it was, or succeed completely.
//
// The seam: this test program replaces the global operator new. A thread may arm it to
// fail its N-th allocation from now (once); unarmed it is the plain allocator.
#include <cstdlib>
#include <new>
#ifdef _WIN32
#include <malloc.h>
#endif

#include "store/tests/store_fixture.h"

namespace {

thread_local long t_allocationsBeforeFailure = -1;  // -1: not armed
thread_local bool t_failed = false;

// The Windows C runtime has no aligned_alloc, and its aligned blocks need their own free.
void* AllocateAligned(std::size_t bytes, std::size_t alignment) {
#ifdef _WIN32
    return _aligned_malloc(bytes, alignment);
#else
    return alignment <= alignof(std::max_align_t)
               ? std::malloc(bytes)
               : std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
#endif
}
void FreeAligned(void* memory) noexcept {
#ifdef _WIN32
    _aligned_free(memory);
#else
    std::free(memory);
#endif
}

void* Allocate(std::size_t bytes, std::size_t alignment) {
    if (t_allocationsBeforeFailure >= 0 && t_allocationsBeforeFailure-- == 0) {
        t_failed = true;
        throw std::bad_alloc();
    }
    if (bytes == 0) bytes = 1;
    void* memory = alignment == 0 ? std::malloc(bytes) : AllocateAligned(bytes, alignment);
    if (!memory) throw std::bad_alloc();
    return memory;
}

void* AllocateNoThrow(std::size_t bytes, std::size_t alignment) noexcept {
    try {
        return Allocate(bytes, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t bytes) { return Allocate(bytes, 0); }
void* operator new[](std::size_t bytes) { return Allocate(bytes, 0); }
void* operator new(std::size_t bytes, std::align_val_t alignment) {
    return Allocate(bytes, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t bytes, std::align_val_t alignment) {
    return Allocate(bytes, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return AllocateNoThrow(bytes, 0); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return AllocateNoThrow(bytes, 0); }
void* operator new(std::size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(bytes, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(bytes, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { FreeAligned(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { FreeAligned(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { FreeAligned(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { FreeAligned(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept { FreeAligned(memory); }
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept { FreeAligned(memory); }

namespace {

using namespace storetest;

// Runs f with the seam paused: for the test's own preparations inside an operation.
template <typename F>
auto Unarmed(F f) {
    const long saved = t_allocationsBeforeFailure;
    t_allocationsBeforeFailure = -1;
    auto result = f();
    t_allocationsBeforeFailure = saved;
    return result;
}

// Runs the operation with its first, second, third... allocation failing, until a run
// needs no more allocations than it was allowed. `check(outcome, failed)` judges each run;
// an exception leaving the operation fails the test.
template <typename Operation, typename Check>
void FailEachAllocationInTurn(Operation operation, Check check) {
    for (long allowed = 0; allowed < 100000; ++allowed) {
        SCOPED_TRACE("allocation " + std::to_string(allowed) + " failing");
        t_failed = false;
        t_allocationsBeforeFailure = allowed;
        std::optional<decltype(operation())> outcome;
        try {
            outcome.emplace(operation());
        } catch (const std::exception& error) {
            t_allocationsBeforeFailure = -1;
            ADD_FAILURE() << "the operation threw " << error.what();
            return;
        }
        t_allocationsBeforeFailure = -1;
        check(*outcome, t_failed);
        if (::testing::Test::HasFailure() || !t_failed) return;
    }
    ADD_FAILURE() << "the operation never finished without a failed allocation";
}

class AllocationFailureTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        // A listener makes every change build and send a notification, which allocates.
        ASSERT_TRUE(AddNotificationListener(
            "counter", 0, [this](const IMDSNotification&, const std::string&) { ++notified_; }, true, {"Item"}));
    }
    // A text too long to stay inside its value, so that copying it allocates.
    static std::string LongText(const char* tag) { return std::string(tag) + std::string(40, '.'); }

    std::size_t notified_ = 0;
};

// The ERROR lines of the operations above are written while memory is short: an entry
// that cannot be built is dropped, never thrown at the store.
TEST_F(AllocationFailureTest, ALogEntryWithoutMemoryIsDroppedNotThrown) {
    const std::string longText(300, 'x');
    bool everFailed = false;
    FailEachAllocationInTurn(
        [&] {
            LogError("AllocationFailureTest : %s %d\n", longText, 42);
            return true;
        },
        [&](bool, bool failed) { everFailed = everFailed || failed; });
    EXPECT_TRUE(everFailed);
    EXPECT_TRUE(Logged(longText + " 42\n"));
}

TEST_F(AllocationFailureTest, CreateTableRegistersCompletelyOrNotAtAll) {
    bool everFailed = false;
    FailEachAllocationInTurn([] { return CreateTable("Item"); },
                             [&](bool created, bool failed) {
                                 TableData* table = GetTableDataByName("Item");
                                 const std::size_t listed = GetAllTableData().size();
                                 if (created) {
                                     EXPECT_NE(table, nullptr);
                                     EXPECT_EQ(listed, 1u);
                                 } else {
                                     everFailed = true;
                                     EXPECT_TRUE(failed);
                                     EXPECT_EQ(table, nullptr);
                                     EXPECT_EQ(listed, 0u);
                                 }
                                 if (table) FreeTableData(RemoveTableData("Item").get());
                             });
    EXPECT_TRUE(everFailed);
    EXPECT_TRUE(Logged("MEMORY_ALLOCATION_FAILURE\n"));
}

TEST_F(AllocationFailureTest, AddNewRowAddsTheWholeRowOrNothing) {
    ASSERT_TRUE(CreateTable("Item"));
    std::uint32_t rows = 0;
    std::uint32_t refused = 0;
    std::uint32_t runsWithFailure = 0;
    const std::string name = LongText("row");
    FailEachAllocationInTurn(
        [&] {
            // Built unarmed: the store's own work is what may fail.
            auto row = Unarmed([&] {
                return CreateNewRowObject({ColumnValue::Null(), Text(name.c_str()), ColumnValue::Null()});
            });
            const std::size_t notifiedBefore = notified_;
            const bool added = AddNewRow("Item", std::move(row));
            return std::make_pair(added, notified_ - notifiedBefore);
        },
        [&](std::pair<bool, std::size_t> outcome, bool failed) {
            const auto [added, notifications] = outcome;
            if (failed) ++runsWithFailure;
            TableData* table = GetTableDataByName("Item");
            std::uint32_t walked = 0;
            for (const RowObject* row = table->firstRow.get(); row; row = row->next.get()) ++walked;
            if (added) ++rows;
            else ++refused;
            EXPECT_EQ(table->liveRowCount, rows);
            EXPECT_EQ(table->rowCount, rows);
            EXPECT_EQ(walked, rows);
            EXPECT_LE(notifications, added ? 1u : 0u);
            if (added) {
                const RowObject* last = table->lastRow;
                ASSERT_NE(last, nullptr);
                EXPECT_GT(IntOf(last->values[0]), 0);  // generated
                EXPECT_EQ(last->values[1].data(), name);
                EXPECT_EQ(IntOf(last->values[2]), 7);  // default
                EXPECT_EQ(last->state, ROW_NEW);
            }
        });
    // A failure inside the log only loses that entry; one anywhere else refuses the row.
    EXPECT_GT(runsWithFailure, 0u);
    if (refused > 0) {
        EXPECT_TRUE(Logged("not able to Add row \n"));
    }
}

TEST_F(AllocationFailureTest, UpdateReplacesTheValueOrKeepsTheOldOne) {
    ASSERT_TRUE(CreateTable("Item"));
    RowObject* row = AddRow("Item", {Int(1), Text(LongText("old").c_str()), Int(2)});
    row->state = ROW_SAVED;
    const std::string replacement = LongText("new");
    bool everRefused = false;
    FailEachAllocationInTurn(
        [&] {
            // Each run starts from the saved row: an earlier run may have updated it.
            const ColumnValue value = Unarmed([&] {
                row->values[1] = Text(LongText("old").c_str());
                row->state = ROW_SAVED;
                return Text(replacement.c_str());
            });
            return UpdateRowObject("Item", row, "NAME", value);
        },
                             [&](bool updated, bool) {
                                 if (updated) {
                                     EXPECT_EQ(row->values[1].data(), replacement);
                                     EXPECT_EQ(row->state, ROW_SAVED | ROW_UPDATED);
                                 } else {
                                     everRefused = true;
                                     EXPECT_EQ(row->values[1].data(), LongText("old"));
                                     EXPECT_EQ(row->state, ROW_SAVED);
                                 }
                             });
    EXPECT_TRUE(everRefused);
}

TEST_F(AllocationFailureTest, SelectsGiveTheFullResultOrNull) {
    ASSERT_TRUE(CreateTable("Item"));
    for (int i = 1; i <= 40; ++i) AddRow("Item", {Int(i), Text(LongText("r").c_str()), Int(i % 4)});
    struct Case {
        const char* criteria;
        std::uint32_t rows;
    };
    const Case cases[] = {{nullptr, 40}, {"QTY=1", 10}, {"ID>30 and NAME!='x'", 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.criteria ? c.criteria : "no criteria");
        FailEachAllocationInTurn([&] { return SelectRows("Item", c.criteria); },
                                 [&](const std::unique_ptr<ResultData>& result, bool failed) {
                                     if (result) {
                                         EXPECT_EQ(result->rowCount(), c.rows);
                                     } else {
                                         EXPECT_TRUE(failed);
                                     }
                                 });
    }
    FailEachAllocationInTurn([] { return SelectRowByRowIdx("Item", 3); },
                             [](const std::unique_ptr<ResultData>& result, bool failed) {
                                 if (result) {
                                     EXPECT_EQ(IntOf(result->entries.at(0)->values[0]), 3);
                                 } else {
                                     EXPECT_TRUE(failed);
                                 }
                             });
    EXPECT_TRUE(Logged("not able to Add row \n"));

    // Appending to a result set: the entry is inserted at the cursor, or nothing changes.
    std::unique_ptr<ResultData> result;
    RowObject* extra = SelectRowByRowIdx("Item", 1)->entries.at(0);
    FailEachAllocationInTurn(
        [&] {
            Unarmed([&] {  // each run appends to a fresh result
                result = SelectRows("Item", "QTY=2");
                result->entries.shrink_to_fit();
                return true;
            });
            return AddRowToResultData(extra, result.get());
        },
                             [&](bool added, bool failed) {
                                 if (added) {
                                     EXPECT_EQ(result->rowCount(), 11u);
                                     EXPECT_EQ(result->entries[0], extra);
                                     EXPECT_EQ(result->cursor, 0);
                                 } else {
                                     EXPECT_TRUE(failed);
                                     EXPECT_EQ(result->rowCount(), 10u);
                                     EXPECT_EQ(result->cursor, -1);
                                 }
                             });
}

TEST_F(AllocationFailureTest, ViewBuildersGiveNullWithTheirMessages) {
    ColumnDefn* base = GetColumnDefnEntry("Item", "NAME");
    FailEachAllocationInTurn([&] { return CreateViewColumnDefn("ITEM_NAME_LONGER_THAN_INLINE", 0, 0, base); },
                             [](const std::unique_ptr<ViewColumnDefn>& column, bool failed) {
                                 if (column) {
                                     EXPECT_EQ(column->name, "ITEM_NAME_LONGER_THAN_INLINE");
                                 } else {
                                     EXPECT_TRUE(failed);
                                 }
                             });
    EXPECT_TRUE(Logged("Could not allocate memory for ViewColumnDefn\n"));
    FailEachAllocationInTurn(
        [&] {
            auto [names, columns] = Unarmed([] {
                std::vector<std::unique_ptr<ViewColumnDefn>> columns;
                columns.push_back(std::make_unique<ViewColumnDefn>());
                return std::make_pair(std::vector<std::string>{"Item"}, std::move(columns));
            });
            return CreateCustomViewDefn(1, std::move(names), std::move(columns));
        },
        [](const std::unique_ptr<CustomViewDefn>& view, bool failed) {
            if (view) {
                EXPECT_EQ(view->columns.size(), 1u);
            } else {
                EXPECT_TRUE(failed);
            }
        });
    EXPECT_TRUE(Logged("Could not allocate memory for CustomViewDefn\n"));
    FailEachAllocationInTurn(
        [&] {
            auto view = Unarmed([] {
                auto view = std::make_unique<CustomViewDefn>();
                view->tableNames = {"Item"};
                view->columns.push_back(std::make_unique<ViewColumnDefn>());
                return view;
            });
            return CreateCustomViewData("ItemView", std::move(view));
        },
        [](bool created, bool failed) {
            TableData* view = GetTableDataByName("ItemView");
            EXPECT_EQ(view != nullptr, created);
            if (!created) {
                EXPECT_TRUE(failed);
            }
            if (view) FreeTableData(RemoveTableData("ItemView").get());
        });
}

}  // namespace
