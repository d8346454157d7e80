// Tables and result sets: creation, appends with generators and defaults, selects,
// updates, deletions, sorting, printing, and the mends for faults of the plain design.
#include <algorithm>
#include <barrier>
#include <future>
#include <random>
#include <thread>

#include "store/criteria/criteria.h"
#include "store/tests/store_fixture.h"

namespace {

using namespace storetest;

class TablesTest : public StoreTest {
protected:
    // Column B of table Plain after sorting all its rows on `column`.
    static std::vector<std::string> SortedNames(const char* column, int ascending) {
        auto result = SelectRows("Plain", nullptr);
        if (!SortResultSet(result.get(), column, ascending)) return {"sort failed"};
        std::vector<std::string> names;
        for (RowObject* row : result->entries) names.push_back(row->values[1].data());
        return names;
    }
};

TEST_F(TablesTest, CreateAndLookUpAreCaseInsensitive) {
    EXPECT_TRUE(CreateTable("item"));
    EXPECT_FALSE(CreateTable("ITEM"));      // same name in another case
    EXPECT_FALSE(CreateTable("Unknown"));   // no definition
    EXPECT_FALSE(CreateTable(nullptr));
    TableData* table = GetTableDataByName("Item");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->name, "item");  // spelled as created
    EXPECT_EQ(table->columnCount, 3u);
    EXPECT_EQ(GetTableDataByName(nullptr), nullptr);
    EXPECT_EQ(GetTableDataByName("Nothing"), nullptr);
    ASSERT_EQ(GetAllTableData().size(), 1u);
}

TEST_F(TablesTest, GeneratorWinsOverDefaultAndDefaultsFillNulls) {
    ASSERT_TRUE(CreateTable("Item"));
    AddRow("Item", {ColumnValue::Null(), Text("a"), ColumnValue::Null()});
    AddRow("Item", {Int(50), Text("b"), Int(1)});
    auto all = SelectRows("Item", nullptr);
    ASSERT_EQ(all->rowCount(), 2u);
    EXPECT_EQ(IntOf(all->entries[0]->values[0]), 1);  // generated, not the default 99
    EXPECT_EQ(IntOf(all->entries[0]->values[2]), 7);  // default
    EXPECT_EQ(IntOf(all->entries[1]->values[0]), 50);
    EXPECT_EQ(all->entries[0]->state, ROW_NEW);
}

TEST_F(TablesTest, RowsOfTheWrongWidthAreRefused) {
    ASSERT_TRUE(CreateTable("Item"));
    EXPECT_FALSE(AddNewRow("Item", CreateNewRowObject({Int(1)})));
    EXPECT_FALSE(AddNewRow("Item", CreateNewRowObject({Int(1), Text("x"), Int(2), Int(3)})));
    EXPECT_FALSE(AddNewRow("Nothing", CreateNewRowObject({Int(1), Text("x"), Int(2)})));
    EXPECT_FALSE(AddNewRow("Item", nullptr));
    EXPECT_EQ(GetLiveRowCount("Item"), 0u);
}

// A batch stops at its first refused row: the rows before it stay appended in order,
// the rest are left with the caller; an unknown table takes none.
TEST_F(TablesTest, BatchOfRowsStopsAtTheFirstRefusedOne) {
    ASSERT_TRUE(CreateTable("Item"));
    std::vector<std::unique_ptr<RowObject>> rows;
    rows.push_back(CreateNewRowObject({Int(1), Text("a"), Int(2)}));
    rows.push_back(CreateNewRowObject({Int(3), Text("b"), Int(4)}));
    rows.push_back(CreateNewRowObject({Int(5)}));
    rows.push_back(CreateNewRowObject({Int(6), Text("c"), Int(7)}));
    EXPECT_EQ(AddNewRows("Item", rows), 2u);
    EXPECT_EQ(GetLiveRowCount("Item"), 2u);
    ASSERT_TRUE(rows[3]);
    EXPECT_FALSE(rows[3]->owner);
    auto all = SelectRows("Item", nullptr);
    ASSERT_EQ(all->entries.size(), 2u);
    EXPECT_EQ(all->entries[0]->values[1].data(), std::string("a"));
    EXPECT_EQ(all->entries[1]->values[1].data(), std::string("b"));

    std::vector<std::unique_ptr<RowObject>> elsewhere;
    elsewhere.push_back(CreateNewRowObject({Int(1), Text("x"), Int(2)}));
    EXPECT_EQ(AddNewRows("Nothing", elsewhere), 0u);
    std::vector<std::unique_ptr<RowObject>> none;
    EXPECT_EQ(AddNewRows("Item", none), 0u);
    EXPECT_EQ(GetLiveRowCount("Item"), 2u);
}

TEST_F(TablesTest, GeneratedIdsTakeTheColumnsOwnWidth) {
    ASSERT_TRUE(CreateTable("Wide"));
    AddRow("Wide", {ColumnValue::Null(), ColumnValue::Null()});
    auto all = SelectRows("Wide", nullptr);
    const ColumnValue& big = all->entries[0]->values[0];
    const ColumnValue& ratio = all->entries[0]->values[1];
    // Both columns name WIDE_SEQ, and start-up reserves one batch per generator column:
    // the second batch (301-600) replaced the first.
    ASSERT_EQ(big.length, 8u);
    EXPECT_EQ(big.As<std::int64_t>(), 301);
    ASSERT_EQ(ratio.length, 8u);
    EXPECT_EQ(ratio.As<double>(), 302.0);  // same generator, next id
    EXPECT_EQ(ConvertColumnValueToText(big, HYL_SQL_BIGINT), "301");
}

TEST_F(TablesTest, SelectEdgeCases) {
    ASSERT_TRUE(CreateTable("Item"));
    AddRow("Item", {Int(1), Text("a"), Int(5)});
    AddRow("Item", {Int(2), Text("b"), Int(6)});
    auto none = SelectRows("Item", "QTY>100");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->rowCount(), 0u);
    EXPECT_EQ(GotoNextRowObject(none.get()), nullptr);

    auto some = SelectRows("Item", "NAME='b' or QTY=5");
    ASSERT_NE(some, nullptr);
    std::uint32_t length = 0;
    EXPECT_EQ(GetColumnValueByName("NAME", &length, some.get()), nullptr);  // before the first row
    ASSERT_NE(GotoNextRowObject(some.get()), nullptr);
    EXPECT_STREQ(GetColumnValueByName("name", &length, some.get()), "a");
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(GetColumnValueByName("NOPE", &length, some.get()), nullptr);
    ASSERT_NE(GotoNextRowObject(some.get()), nullptr);
    EXPECT_EQ(GotoNextRowObject(some.get()), nullptr);
    ResetResultDataCursor(some.get());
    EXPECT_EQ(GotoNextRowObject(some.get()), some->entries[0]);

    EXPECT_EQ(SelectRows("Item", "NAME=b"), nullptr);  // unquoted text literal: no parse
    EXPECT_EQ(SelectRows("Nothing", nullptr), nullptr);
    EXPECT_EQ(GetColumnTypeByName("QTY", some.get()), HYL_SQL_INT);
    EXPECT_EQ(GetColumnTypeByName("X", some.get()), 0);
    EXPECT_STREQ(GetColumnNameByIndex(1, some.get()), "NAME");
    EXPECT_EQ(GetColumnNameByIndex(3, some.get()), nullptr);
    EXPECT_STREQ(GetTableNameFromResultData(some.get()), "Item");
}

TEST_F(TablesTest, ViewsSelectWithoutCriteriaOnly) {
    ASSERT_TRUE(CreateTable("Item"));
    TableDefn* item = GetTableDefn("Item");
    std::vector<std::unique_ptr<ViewColumnDefn>> columns;
    columns.push_back(CreateViewColumnDefn("ITEM_NAME", 0, 0, item->columns[1].get()));
    auto defn = CreateCustomViewDefn(1, {"Item"}, std::move(columns));
    ASSERT_TRUE(CreateCustomViewData("ItemNames", std::move(defn)));
    EXPECT_FALSE(CreateCustomViewData("itemnames", CreateCustomViewDefn(1, {"Item"}, {})));
    AddRow("ItemNames", {Text("v")});
    EXPECT_EQ(SelectRows("ItemNames", "ITEM_NAME='v'"), nullptr);
    auto all = SelectRows("ItemNames", nullptr);
    ASSERT_EQ(all->rowCount(), 1u);
    GotoNextRowObject(all.get());
    std::uint32_t length = 0;
    EXPECT_STREQ(GetColumnValueByName("ITEM_NAME", &length, all.get()), "v");
    EXPECT_EQ(GetColumnTypeByName("NAME", all.get()), HYL_SQL_CHARACTER);  // by the base column's name
    EXPECT_EQ(GetColumnTypeByName("ITEM_NAME", all.get()), 0);
    EXPECT_STREQ(GetTableNameFromResultData(all.get()), "Item");
    EXPECT_STREQ(GetTableNameOfView("ItemNames"), "Item");
    EXPECT_STREQ(GetTableNameOfView("Item"), "Item");
    EXPECT_FALSE(DeleteAllTableRowObjects("ItemNames"));
    EXPECT_FALSE(DeleteRowObjectByCriteria("ItemNames", "ITEM_NAME='v'"));
}

TEST_F(TablesTest, UpdateChecksKeyTableAndColumn) {
    ASSERT_TRUE(CreateTable("Item"));
    ASSERT_TRUE(CreateTable("Plain"));
    RowObject* row = AddRow("Item", {Int(1), Text("a"), Int(5)});
    RowObject* plain = AddRow("Plain", {Int(1), Text("p"), Int(2)});

    EXPECT_FALSE(UpdateRowObject("Item", row, "id", "\x09\0\0\0", 4));
    EXPECT_TRUE(Logged("@@@ UpdateRowObject Failed as PrimaryKey is being updated @@@\n"));
    EXPECT_EQ(IntOf(row->values[0]), 1);
    EXPECT_FALSE(UpdateRowObject("Item", nullptr, "NAME", "x", 1));
    EXPECT_TRUE(Logged("\t@@@@@ rowPtr passed as parameter in NULL @@@@@ \n"));
    EXPECT_FALSE(UpdateRowObject("Item", row, "MISSING", "x", 1));
    EXPECT_FALSE(UpdateRowObject("Nothing", row, "NAME", "x", 1));
    EXPECT_EQ(row->state, ROW_NEW);

    // A row of another table is refused rather than written out of place.
    EXPECT_FALSE(UpdateRowObject("Item", plain, "QTY", "\x09\0\0\0", 4));
    EXPECT_EQ(IntOf(plain->values[2]), 2);
    // A free row narrower than the column position is refused too.
    auto narrow = CreateNewRowObject({Int(1)});
    EXPECT_FALSE(UpdateRowObject("Item", narrow.get(), "QTY", "\x09\0\0\0", 4));

    EXPECT_TRUE(UpdateRowObject("Item", row, "NAME", "longer name", 11));
    EXPECT_EQ(row->state, ROW_NEW | ROW_UPDATED);
    EXPECT_STREQ(row->values[1].data(), "longer name");
    EXPECT_TRUE(UpdateRowObject("Item", row, "QTY", nullptr, 4));  // SQL NULL
    EXPECT_TRUE(row->values[2].isNull());
}

TEST_F(TablesTest, DeleteMarksSavedRowsAndUnlinksOthers) {
    ASSERT_TRUE(CreateTable("Item"));
    ASSERT_TRUE(CreateTable("Plain"));
    RowObject* saved = AddRow("Item", {Int(1), Text("a"), Int(5)});
    RowObject* fresh = AddRow("Item", {Int(2), Text("b"), Int(6)});
    AddRow("Item", {Int(3), Text("c"), Int(7)});
    saved->state = ROW_SAVED;

    EXPECT_FALSE(DeleteRowObject("Plain", saved));  // not its table: nothing marked
    EXPECT_EQ(saved->state, ROW_SAVED);
    EXPECT_FALSE(DeleteRowObject("Item", nullptr));
    EXPECT_FALSE(DeleteRowObject("Nothing", saved));

    EXPECT_TRUE(DeleteRowObject("Item", saved));
    EXPECT_EQ(saved->state, ROW_SAVED | ROW_DELETED);
    EXPECT_TRUE(DeleteRowObject("Item", fresh));  // unlinked and freed
    auto all = SelectRows("Item", nullptr);
    EXPECT_EQ(Ints(all.get(), 0), (std::vector<std::int32_t>{1, 3}));  // the marked row stays
    EXPECT_EQ(GetTableDataByName("Item")->rowCount, 3u);  // rows ever appended
    EXPECT_EQ(GetLiveRowCount("Item"), 2u);

    PrintResultData(all.get());
    const std::string log = Log();
    EXPECT_NE(log.find("ID\tNAME\tQTY\t\n3\tc\t7\t\n"), std::string::npos);
    EXPECT_EQ(log.find("1\ta\t5\t\n"), std::string::npos);  // the marked row is not printed

    // Appends after unlinking in the middle and at the tail keep the order.
    RowObject* last = all->entries[1];
    EXPECT_TRUE(DeleteRowObject("Item", last));
    AddRow("Item", {Int(4), Text("d"), Int(8)});
    EXPECT_EQ(Ints(SelectRows("Item", nullptr).get(), 0), (std::vector<std::int32_t>{1, 4}));
}

TEST_F(TablesTest, DeleteByCriteriaAndAll) {
    ASSERT_TRUE(CreateTable("Item"));
    for (int i = 1; i <= 6; ++i) AddRow("Item", {Int(i), Text("x"), Int(i % 2)});
    SelectRows("Item", nullptr)->entries[0]->state = ROW_SAVED;
    EXPECT_FALSE(DeleteRowObjectByCriteria("Item", nullptr));
    EXPECT_FALSE(DeleteRowObjectByCriteria("Item", "QTY=="));
    EXPECT_FALSE(DeleteRowObjectByCriteria("Nothing", "QTY=1"));
    EXPECT_TRUE(DeleteRowObjectByCriteria("Item", "QTY=1"));
    EXPECT_EQ(Ints(SelectRows("Item", nullptr).get(), 0), (std::vector<std::int32_t>{1, 2, 4, 6}));
    EXPECT_FALSE(DeleteAllTableRowObjects(nullptr));
    EXPECT_TRUE(Logged("\t tableName NULL \n"));
    EXPECT_FALSE(DeleteAllTableRowObjects("Nothing"));
    EXPECT_TRUE(Logged("\t GetTableDataByName returned NULL \n"));
    EXPECT_TRUE(DeleteAllTableRowObjects("Item"));
    EXPECT_EQ(Ints(SelectRows("Item", nullptr).get(), 0), (std::vector<std::int32_t>{1}));
    EXPECT_EQ(GetLiveRowCount("Item"), 1u);
}

TEST_F(TablesTest, SelectByPosition) {
    ASSERT_TRUE(CreateTable("Item"));
    RowObject* first = AddRow("Item", {Int(1), Text("a"), Int(5)});
    AddRow("Item", {Int(2), Text("b"), Int(6)});
    struct Case {
        std::int32_t position;
        bool isNull;
        std::vector<std::int32_t> ids;
    };
    const Case cases[] = {{0, false, {1}}, {-5, false, {1}}, {1, false, {1}}, {2, false, {2}}, {3, true, {}}};
    for (const Case& c : cases) {
        auto result = SelectRowByRowIdx("Item", c.position);
        EXPECT_EQ(result == nullptr, c.isNull) << c.position;
        if (result) {
            EXPECT_EQ(Ints(result.get(), 0), c.ids) << c.position;
        }
    }
    // The row count still counts the unlinked row, so position 2 is allowed but empty.
    ASSERT_TRUE(DeleteRowObject("Item", first));
    auto beyond = SelectRowByRowIdx("Item", 2);
    ASSERT_NE(beyond, nullptr);
    EXPECT_EQ(beyond->rowCount(), 0u);
    EXPECT_EQ(SelectRowByRowIdx("Nothing", 1), nullptr);
}

TEST_F(TablesTest, GetColumnValueMessages) {
    ASSERT_TRUE(CreateTable("Item"));
    AddRow("Item", {Int(1), ColumnValue::Null(), Int(5)});
    std::uint32_t length = 0;
    EXPECT_EQ(GetColumnValue("Item", "NAME", "ID=1", &length), nullptr);
    EXPECT_TRUE(Logged("columnValue is NULL for :NAME\n"));
    EXPECT_EQ(GetColumnValue("Item", "QTY", "ID=2", &length), nullptr);
    EXPECT_TRUE(Logged("No such row available in the Item for ID=2"));
    EXPECT_EQ(GetColumnValue("Item", "QTY", "ID=", &length), nullptr);
    EXPECT_TRUE(Logged("Error in executing SelectRows(Item,ID=)\n"));
    const char* qty = GetColumnValue("Item", "QTY", "ID=1", &length);
    ASSERT_NE(qty, nullptr);
    EXPECT_EQ(length, 4u);
}

// The bubble sort the store describes, as the reference for signed 32-bit keys.
std::vector<RowObject*> BubbleSorted(std::vector<RowObject*> entries, bool ascending) {
    for (std::size_t j = entries.size(); j > 0; --j) {
        for (std::size_t k = 0; k + 1 < j; ++k) {
            const std::int32_t a = IntOf(entries[k]->values[2]), b = IntOf(entries[k + 1]->values[2]);
            if (ascending ? a > b : a < b) std::swap(entries[k], entries[k + 1]);
        }
    }
    return entries;
}

TEST_F(TablesTest, SortMatchesTheStableReferenceForIntKeys) {
    ASSERT_TRUE(CreateTable("Item"));
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) AddRow("Item", {Int(i), Text("x"), Int(static_cast<int>(random() % 20) - 10)});
    for (int ascending : {1, 0, 5}) {
        auto result = SelectRows("Item", nullptr);
        const auto expected = BubbleSorted(result->entries, ascending == 1);
        ASSERT_TRUE(SortResultSet(result.get(), "qty", ascending));
        EXPECT_EQ(result->entries, expected) << ascending;
    }
}

TEST_F(TablesTest, SortEdgeCases) {
    ASSERT_TRUE(CreateTable("Plain"));
    AddRow("Plain", {Int(5), Text("b"), ColumnValue::Null()});
    auto single = SelectRows("Plain", nullptr);
    EXPECT_TRUE(SortResultSet(single.get(), "A", 1));
    EXPECT_TRUE(Logged("Number of Rows is 1 for the Relvar to be Sorted \n"));
    EXPECT_FALSE(SortResultSet(single.get(), "MISSING", 1));
    EXPECT_FALSE(SortResultSet(nullptr, "A", 1));
    EXPECT_FALSE(SortResultSet(single.get(), nullptr, 1));

    std::uint32_t big = 0xF0000000u;  // above INT32_MAX: must sort above small values
    AddRow("Plain", {ColumnValue::Null(), Text("a"), ColumnValue::FromBytes(&big, 4)});
    AddRow("Plain", {Int(-3), Text("c"), Int(4)});
    AddRow("Plain", {Int(5), Text("ab"), Int(1)});
    struct Case {
        const char* column;
        int ascending;
        std::vector<std::string> names;  // by column B
    };
    const Case cases[] = {
        {"A", 1, {"a", "c", "b", "ab"}},   // NULL first, equal keys keep order
        {"A", 0, {"b", "ab", "c", "a"}},   // NULL last
        {"U", 1, {"b", "ab", "c", "a"}},   // unsigned order
        {"B", 1, {"a", "ab", "b", "c"}},   // bytes
        {"B", 0, {"c", "b", "ab", "a"}},
    };
    for (const Case& c : cases) EXPECT_EQ(SortedNames(c.column, c.ascending), c.names) << c.column << " " << c.ascending;
}

TEST_F(TablesTest, IntegerSortsOrderNullsShortValuesAndTiesAsBefore) {
    ASSERT_TRUE(CreateTable("Plain"));
    const std::uint16_t shortValue = 3;  // two bytes: too short for the column's type
    const ColumnValue tooShort = ColumnValue::FromBytes(&shortValue, 2);
    std::uint32_t big = 0xF0000000u;
    AddRow("Plain", {ColumnValue::Null(), Text("n1"), ColumnValue::Null()});
    AddRow("Plain", {tooShort, Text("s1"), tooShort});
    AddRow("Plain", {Int(7), Text("x7a"), Int(7)});
    AddRow("Plain", {Int(-2), Text("m2"), ColumnValue::FromBytes(&big, 4)});
    AddRow("Plain", {tooShort, Text("s2"), tooShort});
    AddRow("Plain", {Int(7), Text("x7b"), Int(7)});
    AddRow("Plain", {ColumnValue::Null(), Text("n2"), ColumnValue::Null()});
    struct Case {
        const char* column;
        int ascending;
        std::vector<std::string> names;
    };
    // NULL below an unreadable value, both below every value; ties keep the table order.
    const Case cases[] = {
        {"A", 1, {"n1", "n2", "s1", "s2", "m2", "x7a", "x7b"}},
        {"A", 0, {"x7a", "x7b", "m2", "s1", "s2", "n1", "n2"}},
        {"A", 2, {"x7a", "x7b", "m2", "s1", "s2", "n1", "n2"}},  // anything but 1 descends
        {"U", 1, {"n1", "n2", "s1", "s2", "x7a", "x7b", "m2"}},
        {"U", 0, {"m2", "x7a", "x7b", "s1", "s2", "n1", "n2"}},
    };
    for (const Case& c : cases) EXPECT_EQ(SortedNames(c.column, c.ascending), c.names) << c.column << " " << c.ascending;
}

TEST_F(TablesTest, TextLayoutKeptAndNeverTruncated) {
    ASSERT_TRUE(CreateTable("Kinds"));
    std::vector<ColumnValue> values(11);
    values[0] = Int(3);
    values[2] = ColumnValue::FromText(std::string(3000, 'z'));
    std::uint32_t usmall = 9;
    values[6] = ColumnValue::FromBytes(&usmall, 4);  // type 4 writes no field at all
    AddRow("Kinds", std::move(values));
    const std::optional<std::string> text = ToStringTableData("kinds");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->substr(0, 13), "K\tFLAG\tTXT\tST");
    // 3, NULL flag, the whole 3000-byte text, NULL dates, nothing for USMALL, NULL for
    // the rest, the default of STATE.
    const std::string row = "3\tNULL\t" + std::string(3000, 'z') + "\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL\tactive\t\n";
    EXPECT_NE(text->find("\n" + row), std::string::npos);
    EXPECT_TRUE(Logged("String Value of Relvar Data\n"));
    EXPECT_EQ(ToStringTableData("Nothing"), std::nullopt);
}

TEST_F(TablesTest, DefinitionInUseCannotBeRemoved) {
    ASSERT_TRUE(CreateTable("Item"));
    EXPECT_FALSE(RemoveTableDefn("Item"));
    EXPECT_NE(GetTableDefn("Item"), nullptr);
    auto removed = RemoveTableData("item");
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(GetTableDataByName("Item"), nullptr);
    EXPECT_TRUE(RemoveTableDefn("Item"));
}

TEST_F(TablesTest, MillionRowTeardownDoesNotRecurse) {
    ASSERT_TRUE(CreateTable("Plain"));
    CloseLog();  // keep the TRACE lines of a million appends out of the test's time
    for (int i = 0; i < 1000000; ++i) AddRow("Plain", {Int(i), ColumnValue::Null(), ColumnValue::Null()});
    EXPECT_EQ(GetLiveRowCount("Plain"), 1000000u);
    auto removed = RemoveTableData("Plain");
    FreeTableData(removed.get());
    EXPECT_EQ(removed->firstRow, nullptr);
}

TEST_F(TablesTest, ConcurrentCreateOfOneNameRegistersOnce) {
    constexpr int kThreads = 8;
    std::barrier start(kThreads);
    std::atomic<int> created{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            if (CreateTable(i % 2 ? "ITEM" : "item")) ++created;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(created.load(), 1);
    EXPECT_EQ(GetAllTableData().size(), 1u);
}

// The process-wide registry list: creation order, views beside tables, removal from the
// middle, and a name freed by removal registering again at the end.
TEST_F(TablesTest, RegistryListsTablesInCreationOrder) {
    auto listed = [] {
        std::vector<std::string> names;
        for (const VectorNode* node = gv_tableRegistry.first.get(); node; node = node->next.get())
            names.push_back(ElementOf<TableData>(node)->name);
        return names;
    };
    auto fetched = [] {
        std::vector<std::string> names;
        for (const TableData* table : GetAllTableData()) names.push_back(table->name);
        return names;
    };
    ASSERT_TRUE(CreateTable("Plain"));
    ASSERT_TRUE(CreateTable("item"));
    ASSERT_TRUE(CreateCustomViewData("ItemView", CreateCustomViewDefn(1, {"Item"}, {})));
    ASSERT_TRUE(CreateTable("Owner"));
    EXPECT_FALSE(CreateTable("OWNER"));
    EXPECT_EQ(listed(), (std::vector<std::string>{"Plain", "item", "ItemView", "Owner"}));
    EXPECT_EQ(gv_tableRegistry.count, 4);

    std::unique_ptr<TableData> removed = RemoveTableData("ITEM");
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(GetTableDataByName("item"), nullptr);
    EXPECT_EQ(listed(), (std::vector<std::string>{"Plain", "ItemView", "Owner"}));
    ASSERT_TRUE(CreateTable("Item"));
    EXPECT_EQ(listed(), (std::vector<std::string>{"Plain", "ItemView", "Owner", "Item"}));
    EXPECT_EQ(fetched(), listed());
    EXPECT_EQ(GetTableDataByName("ITEM"), ElementOf<TableData>(gv_tableRegistry.last));
}

// Creation and removal from many threads keep the list and the name index in step.
TEST_F(TablesTest, RegistryListAndIndexAgreeUnderConcurrentCreateAndRemove) {
    const char* names[] = {"Item", "Wide", "Plain", "Owner", "Pet", "Node"};
    constexpr int kThreads = 6;
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < 200; ++round) {
                const char* name = names[(t + round) % 6];
                if (round % 3 == 2) FreeTableData(RemoveTableData(name).get());
                else CreateTable(name);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<TableData*> all = GetAllTableData();
    EXPECT_EQ(static_cast<std::size_t>(gv_tableRegistry.count), all.size());
    for (const char* name : names) {
        TableData* table = GetTableDataByName(name);
        EXPECT_EQ(std::count(all.begin(), all.end(), table), table ? 1 : 0) << name;
    }
    for (TableData* table : all) EXPECT_EQ(GetTableDataByName(table->name.c_str()), table);
}

TEST_F(TablesTest, WriterAppendsWhileReadersSelect) {
    ASSERT_TRUE(CreateTable("Plain"));
    CloseLog();
    constexpr int kRows = 20000;
    std::atomic<bool> done{false};
    std::atomic<bool> consistent{true};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            std::size_t previous = 0;
            while (!done) {
                auto result = r % 2 ? SelectRows("Plain", nullptr) : SelectRows("Plain", "A>=0");
                const std::vector<std::int32_t> ids = Ints(result.get(), 0);
                // Every result is a prefix of the final order and never shrinks.
                for (std::size_t i = 0; i < ids.size(); ++i) {
                    if (ids[i] != static_cast<std::int32_t>(i)) consistent = false;
                }
                if (ids.size() < previous) consistent = false;
                previous = ids.size();
            }
        });
    }
    for (int i = 0; i < kRows; ++i) AddRow("Plain", {Int(i), Text("row"), ColumnValue::Null()});
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_TRUE(consistent.load());
    EXPECT_EQ(SelectRows("Plain", nullptr)->rowCount(), static_cast<std::uint32_t>(kRows));
}

TEST_F(TablesTest, ListenerMaySelectAndUnregisterInsideItsCallback) {
    ASSERT_TRUE(CreateTable("Item"));
    AddRow("Item", {Int(1), Text("a"), Int(1)});
    AddRow("Item", {Int(2), Text("b"), Int(2)});
    std::atomic<int> calls{0};
    std::atomic<std::uint32_t> seenRows{0};
    ASSERT_TRUE(AddNotificationListener(
        "reader", 0,
        [&](const IMDSNotification& notification, const std::string& name) {
            ++calls;
            auto result = SelectRows(notification.tableName.c_str(), "QTY>=0");
            if (result) seenRows = result->rowCount();
            std::uint32_t length = 0;
            GetColumnValue("Item", "NAME", "ID=2", &length);
            RemoveNotification(name.c_str());
        },
        true, {"item"}));
    auto work = std::async(std::launch::async, [] {
        DeleteRowObjectByCriteria("Item", "ID=1");
        AddRow("Item", {Int(3), Text("c"), Int(3)});
    });
    ASSERT_EQ(work.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(calls.load(), 1);  // removed itself: later events not heard
    EXPECT_EQ(seenRows.load(), 1u);  // the deletion was complete when it ran
}

}  // namespace
