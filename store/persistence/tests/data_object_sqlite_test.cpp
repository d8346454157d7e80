// Personalities and data objects against SQLite through the unixODBC SQLite3 driver.
#include <atomic>
#include <thread>

#include "store/persistence/tests/objects_test_util.h"

namespace {

using namespace objectstest;
using persistencetest::LogCapture;

const char* kPersonalities = R"(<?xml version="1.0"?>
<Personalities>
  <PersonalityConfiguration personalityname="Inventory" description="devices and software" dominanttableid="Device"/>
  <ConstituentTable tableindex="1" tableid="Software" fkconstraint_id="fk_sw_device" mandatory="false"/>
  <ConstituentTable tableindex="2" tableid="Device" fkconstraint_id="none"/>
  <ConstituentTable tableindex="3" tableid="Patch" fkconstraint_id="fk_patch_device"/>
  <ConstituentTable tableindex="0" tableid="Selfy"/>
  <PersonalityConfiguration personalityname="Patches" description="patch state" dominanttableid="Device">
    <ConstituentTable tableindex="1" tableid="Patch" fkconstraint_id="fk_patch_device"/>
  </PersonalityConfiguration>
  <PersonalityConfiguration personalityname="Inventory" description="a second of the same name" dominanttableid="Patch"/>
  <DominantTableConfig DOMINANTTABLEID="Device" isindexed="true" nonindexlimit="25"/>
</Personalities>
)";

class DataObjectTest : public SqliteObjectsTest {
protected:
    void SetUp() override {
        SqliteObjectsTest::SetUp();
        for (const char* sql : {
                 "INSERT INTO Device VALUES(1,'alpha',1,NULL),(2,'beta',0,NULL)",
                 "INSERT INTO Software VALUES(10,1,'editor'),(11,1,'browser')",
                 "INSERT INTO Patch VALUES(20,1,'KB1','open'),(21,1,'KB2','done')",
             })
            ASSERT_TRUE(Run(sql)) << sql;
    }
    void LoadPersonalities() {
        testsupport::WriteFile(dir_.path() / "personalities.xml", kPersonalities);
        ASSERT_EQ(InitPersonality(), 1);
        ASSERT_EQ(
            CreatePersonalityFromXMLFile((dir_.path() / "personalities.xml").string().c_str()), 1);
    }
    // An empty data object holding the table's full collection.
    DataObjectPtr EmptyWith(std::initializer_list<const char*> tables) {
        DataObjectPtr dataObject = CreateDataObject();
        for (const char* table : tables)
            EXPECT_TRUE(AddTableToDO(dataObject.get(), table, nullptr));
        return dataObject;
    }
    testsupport::TempDir dir_;
};

TEST_F(DataObjectTest, PersonalityFileBuildsTheRegistryAndTheIndexTable) {
    LogCapture log;
    LoadPersonalities();
    const PersonalityDefn* inventory = GetPersonalityDefn("Inventory");
    ASSERT_NE(inventory, nullptr);
    EXPECT_EQ(inventory->dominantTable, "Device");
    // The dominant table itself is not a constituent; reading stops at tableindex "0",
    // so that element names no table.
    ASSERT_EQ(inventory->constituents.size(), 2u);
    EXPECT_EQ(inventory->constituents[0].table, "Software");
    EXPECT_EQ(inventory->constituents[0].mandatory, 0);
    EXPECT_EQ(inventory->constituents[1].mandatory, 1);
    EXPECT_EQ(inventory->constituents[1].tableIndex, 3);
    EXPECT_EQ(GetConstituentTables("Inventory"), (std::vector<std::string>{"Software", "Patch"}));
    // Only constituents that directly follow belong: nested ones are in document order too.
    EXPECT_EQ(GetConstituentTables("Patches"), (std::vector<std::string>{"Patch"}));
    EXPECT_EQ(GetDominantTables(), (std::vector<std::string>{"Device"}));
    EXPECT_TRUE(IsDominantTable("device"));
    EXPECT_FALSE(IsDominantTable("Patch"));  // the duplicate "Inventory" was refused
    EXPECT_TRUE(log.has("Cannot Add personality Inventory into gv_personalityDefnVect.\n"));
    ASSERT_NE(GetDominantTableConfig("Device"), nullptr);
    EXPECT_EQ(GetDominantTableConfig("Device")->nonIndexLimit, 25);

    // Lookups are case-sensitive and report what is missing.
    EXPECT_EQ(GetPersonalityDefn("inventory"), nullptr);
    EXPECT_TRUE(log.has("Personality inventory not found in gv_personalityDefnVect\n"));
    EXPECT_EQ(GetPersonalityDefn(nullptr), nullptr);
    EXPECT_TRUE(log.has("Cannot get personality.  Personality name is NULL\n"));
    EXPECT_FALSE(GetConstituentTables(nullptr));
    EXPECT_TRUE(log.has("Cannot get constituent tables list.  PersonalityName is NULL\n"));
    EXPECT_FALSE(GetConstituentTables("Nobody"));
    EXPECT_TRUE(log.has("Cannot get constituent tables list.  PersonalityDefn is NULL\n"));
    PrintPersonalityDefn("Inventory");
    EXPECT_TRUE(log.has("\nPersonality Name: Inventory\n"));
    EXPECT_TRUE(log.has("Constituent Table Name: Patch\n"));

    // The index table exists with the key column and the table name.
    EXPECT_TRUE(Run("INSERT INTO Device_IDX VALUES (1, 'Software')"));
    EXPECT_EQ(Rows("SELECT ID, TABLENAME FROM Device_IDX"),
              (std::vector<std::vector<std::string>>{{"1", "Software"}}));
}

TEST_F(DataObjectTest, UnreadablePersonalityFilesAreReported) {
    LogCapture log;
    testsupport::WriteFile(dir_.path() / "broken.xml", "<Personalities><PersonalityConfiguration");
    for (const std::string& path :
         {(dir_.path() / "broken.xml").string(), (dir_.path() / "missing.xml").string()}) {
        EXPECT_EQ(CreatePersonalityFromXMLFile(path.c_str()), 0);
        EXPECT_TRUE(log.has("Could not parse file " + path + "\n"));
    }
    EXPECT_EQ(CreatePersonalityFromXMLFile(nullptr), 0);
    EXPECT_TRUE(GetDominantTables().empty());
}

TEST_F(DataObjectTest, PersonalityDataObjectHoldsEachRowOnceAndNoPhantomUnits) {
    LoadPersonalities();
    LogCapture log;
    DataObjectPtr dataObject = GetDOFromPersonality("Inventory");
    ASSERT_NE(dataObject, nullptr);
    EXPECT_EQ(GetTableList(dataObject.get()),
              (std::vector<std::string>{"Device", "Software", "Patch"}));
    // Device 1 comes back in four joined rows (2 programs x 2 patches), device 2 in one
    // without software or patches: two device units, no unit with NULL keys.
    EXPECT_EQ(GetRowCollection(dataObject.get(), "Device")->units.size(), 2u);
    EXPECT_EQ(GetRowCollection(dataObject.get(), "Software")->units.size(), 2u);
    EXPECT_EQ(GetRowCollection(dataObject.get(), "Patch")->units.size(), 2u);
    EXPECT_EQ(FindRowUnit(dataObject.get(), "SoftwareNULL"), nullptr);
    EXPECT_TRUE(log.has("HashKey Device1 Not Inserted\n"));
    RowUnit* beta = FindRowUnit(dataObject.get(), "Device2");
    ASSERT_NE(beta, nullptr);
    EXPECT_EQ(beta->state, ROW_SAVED);
    // Cells come back in the dictionary's types: a boolean, not the text "0".
    const ColumnValue* active = GetColumnValueFromDO(beta, "ACTIVE");
    ASSERT_NE(active, nullptr);
    EXPECT_EQ(ConvertColumnValueToText(*active, HYL_SQL_BOOLEAN), "'f'");

    DataObjectPtr both = GetDOFromPersonalities({"Inventory", "Patches"});
    ASSERT_NE(both, nullptr);
    EXPECT_EQ(GetRowCollection(both.get(), "Patch")->units.size(), 2u);
    EXPECT_EQ(GetDOFromPersonality("Nobody"), nullptr);
    EXPECT_TRUE(log.has("No personality found for Nobody\n"));
    EXPECT_EQ(GetDOFromPersonality(nullptr), nullptr);
}

TEST_F(DataObjectTest, ChangesAreSavedByStateAndSavedUnitsIssueNothing) {
    DataObjectPtr dataObject = EmptyWith({"Device", "Patch"});
    LogCapture log;
    // A hostile text survives the insert and the update.
    RowUnit* unit =
        InsertStringRowIntoDO(dataObject.get(), "Device", {"7", "o'neil \\ x", nullptr, "n"});
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->state, ROW_NEW);
    EXPECT_EQ(ConvertColumnValueToText(*GetColumnValueFromDO(unit, "ACTIVE"), HYL_SQL_BOOLEAN),
              "'t'");  // default
    // The same key again is refused and changes nothing.
    EXPECT_EQ(InsertStringRowIntoDO(dataObject.get(), "Device", {"7", "other", nullptr, nullptr}),
              nullptr);
    EXPECT_TRUE(log.has("Row with keyStr Device7 already exists.\n"));
    EXPECT_EQ(GetRowCollection(dataObject.get(), "Device")->units.size(), 1u);

    ASSERT_TRUE(SaveDataObject(dataObject.get()));
    EXPECT_EQ(unit->state, ROW_SAVED);
    EXPECT_EQ(Rows("SELECT NAME FROM Device WHERE ID = 7"),
              (std::vector<std::vector<std::string>>{{"o'neil \\ x"}}));
    // Saving again issues nothing (the row would otherwise be inserted twice and fail).
    EXPECT_TRUE(SaveRowUnit(dataObject.get(), GetRowCollection(dataObject.get(), "Device"), unit));
    EXPECT_TRUE(log.has("QueryPtr is NULL.\n"));

    ASSERT_TRUE(SetValueForRowUnit("NAME", "Device", "renamed", 7, dataObject.get()));
    EXPECT_EQ(unit->state, ROW_SAVED | ROW_UPDATED);
    ASSERT_TRUE(SaveDataObject(dataObject.get()));
    EXPECT_EQ(Rows("SELECT NAME FROM Device WHERE ID = 7"),
              (std::vector<std::vector<std::string>>{{"renamed"}}));

    // A deleted unit is deleted in the database and leaves the data object.
    ASSERT_TRUE(DeleteRowUnit(dataObject.get(), unit));
    EXPECT_EQ(unit->state, ROW_SAVED | ROW_DELETED);
    ASSERT_TRUE(SaveDataObject(dataObject.get()));
    EXPECT_TRUE(Rows("SELECT * FROM Device WHERE ID = 7").empty());
    EXPECT_EQ(FindRowUnit(dataObject.get(), "Device7"), nullptr);
    EXPECT_TRUE(IsDOEmpty(dataObject.get()));

    // Created and deleted before any save: gone without a statement.
    RowUnit* transient =
        InsertStringRowIntoDO(dataObject.get(), "Device", {"8", "t", nullptr, nullptr});
    ASSERT_NE(transient, nullptr);
    ASSERT_TRUE(DeleteRowUnit(dataObject.get(), transient));
    EXPECT_TRUE(IsDOEmpty(dataObject.get()));

    // A non-nullable column without default that the unit lacks stops the save.
    ASSERT_TRUE(AddTableToDO(dataObject.get(), "Software", nullptr));
    const std::vector<std::string> idOnly{"ID", "DEVICE_ID"};
    DataObjectPtr narrow = CreateDataObject();
    ASSERT_TRUE(AddTableToDO(narrow.get(), "Patch", &idOnly));
    RowUnit* patch = InsertRowIntoDO(narrow.get(), "Patch", {Int(30), Int(1)});
    ASSERT_NE(patch, nullptr);
    EXPECT_FALSE(SaveDataObject(narrow.get()));
    EXPECT_TRUE(log.has(
        "Cannot save RowUnit. Column KB is not not nullable and does not have a default value\n"));
    EXPECT_EQ(patch->state, ROW_NEW);
    EXPECT_TRUE(Rows("SELECT * FROM Patch WHERE ID = 30").empty());
}

TEST_F(DataObjectTest, AFailedStatementKeepsTheUnitsStateForALaterSave) {
    DataObjectPtr dataObject = EmptyWith({"Device"});
    RowUnit* unit = InsertStringRowIntoDO(dataObject.get(), "Device",
                                          {"1", "clash", nullptr, nullptr});  // ID 1 exists
    ASSERT_NE(unit, nullptr);
    LogCapture log;
    EXPECT_FALSE(SaveDataObject(dataObject.get()));
    EXPECT_TRUE(log.has("Error in executing update query \n"));
    EXPECT_TRUE(log.has("QUERY : insert into  Device (ID,NAME,ACTIVE,NOTES) values(1,'clash',1,NULL)\n"));
    EXPECT_EQ(unit->state, ROW_NEW);
    // State combinations that have no statement are refused.
    unit->state = ROW_UPDATED;
    EXPECT_FALSE(SaveRowUnit(dataObject.get(), GetRowCollection(dataObject.get(), "Device"), unit));
    EXPECT_TRUE(log.has("Invalid State for keyStr.  Cannot Save.\n"));
}

TEST_F(DataObjectTest, CollidingKeyStringsStillHoldDifferentRows) {
    DataObjectPtr dataObject = EmptyWith({"T1", "T12"});
    // (1,23) and (12,3) both give "T1123"; T1 (2,34) and T12 (3,4) both give "T1234".
    ASSERT_NE(InsertRowIntoDO(dataObject.get(), "T1", {Int(1), Int(23), Text("a")}), nullptr);
    ASSERT_NE(InsertRowIntoDO(dataObject.get(), "T1", {Int(12), Int(3), Text("b")}), nullptr);
    ASSERT_NE(InsertRowIntoDO(dataObject.get(), "T1", {Int(2), Int(34), Text("c")}), nullptr);
    ASSERT_NE(InsertRowIntoDO(dataObject.get(), "T12", {Int(3), Int(4), Text("d")}), nullptr);
    EXPECT_EQ(dataObject->rowIndex.count("T1123"), 2u);
    EXPECT_EQ(dataObject->rowIndex.count("T1234"), 2u);
    // A true duplicate is still refused.
    EXPECT_EQ(InsertRowIntoDO(dataObject.get(), "T1", {Int(12), Int(3), Text("e")}), nullptr);
    ASSERT_TRUE(SaveDataObject(dataObject.get()));
    EXPECT_EQ(Rows("SELECT COUNT(*) FROM T1"), (std::vector<std::vector<std::string>>{{"3"}}));
    // Updating one of two colliding rows changes only that row.
    RowUnitPtr change = CreateRowUnit("T1", {Int(12), Int(3), Text("B")});
    ASSERT_TRUE(UpdateRowUnit(dataObject.get(), change.get()));
    ASSERT_TRUE(SaveDataObject(dataObject.get()));
    EXPECT_EQ(Rows("SELECT V FROM T1 ORDER BY K1"),
              (std::vector<std::vector<std::string>>{{"a"}, {"c"}, {"B"}}));
    RowUnitPtr absent = CreateRowUnit("T1", {Int(5), Int(5), Text("x")});
    EXPECT_FALSE(UpdateRowUnit(dataObject.get(), absent.get()));
}

TEST(SortTableByFK, ReferencedTablesComeFirstAndCyclesEnd) {
    LoadObjectsDictionary();
    struct Case {
        std::vector<std::string> tables;
        std::vector<std::string> sorted;
    };
    const Case cases[] = {
        {{"Software", "Patch", "Device"}, {"Device", "Software", "Patch"}},
        {{"Device", "Software"}, {"Device", "Software"}},
        {{"CycA", "CycB"}, {"CycB", "CycA"}},
        {{"Selfy"}, {"Selfy"}},
        {{"Software", "software", "Nowhere"}, {"Software", "Nowhere"}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        std::optional<std::vector<std::string>> sorted = SortTableByFK(c.tables);
        ASSERT_TRUE(sorted);
        EXPECT_EQ(*sorted, c.sorted) << ::testing::PrintToString(c.tables);
    }
}

TEST_F(DataObjectTest, SavingOrdersInsertsByForeignKeyAndDeletesTheOtherWay) {
    DataObjectPtr dataObject = EmptyWith({"Software", "Device"});
    ASSERT_TRUE(Run("PRAGMA foreign_keys = ON"));
    ASSERT_NE(InsertRowIntoDO(dataObject.get(), "Software", {Int(50), Int(5), Text("tool")}),
              nullptr);
    ASSERT_NE(InsertStringRowIntoDO(dataObject.get(), "Device", {"5", "five", nullptr, nullptr}),
              nullptr);
    EXPECT_EQ(SortTablesForDO(dataObject.get()), (std::vector<std::string>{"Device", "Software"}));
    ASSERT_TRUE(SaveDataObject(dataObject.get()));
    ASSERT_TRUE(DeleteRowUnit(dataObject.get(), FindRowUnit(dataObject.get(), "Device5")));
    ASSERT_TRUE(DeleteRowUnit(dataObject.get(), FindRowUnit(dataObject.get(), "Software50")));
    ASSERT_TRUE(SaveDataObject(dataObject.get()));
    EXPECT_TRUE(IsDOEmpty(dataObject.get()));
    EXPECT_TRUE(Rows("SELECT * FROM Device WHERE ID = 5").empty());
}

TEST_F(DataObjectTest, MergeFollowsTheSourceUnitsStates) {
    DataObjectPtr target = GetDataObjectByCriteria({"Software"}, nullptr);
    ASSERT_NE(target, nullptr);
    DataObjectPtr source = CloneDataObject(target.get());
    ASSERT_NE(source, nullptr);
    // Saved and updated: updates the target; new: inserted; new with a held key: refused;
    // saved and deleted: deletes the target's unit.
    RowUnit* editor = FindRowUnit(source.get(), "Software10");
    editor->values[2] = Text("editor 2");
    editor->state = ROW_SAVED | ROW_UPDATED;
    ASSERT_NE(InsertRowIntoDO(source.get(), "Software", {Int(12), Int(2), Text("new")}), nullptr);
    FindRowUnit(source.get(), "Software11")->state = ROW_SAVED | ROW_DELETED;
    // The clone is independent of the target.
    EXPECT_EQ(FindRowUnit(target.get(), "Software10")->state, ROW_SAVED);

    ASSERT_TRUE(MergeDataObject(target.get(), source.get()));
    EXPECT_EQ(FindRowUnit(target.get(), "Software10")->state, ROW_SAVED | ROW_UPDATED);
    EXPECT_EQ(FindRowUnit(target.get(), "Software11")->state, ROW_SAVED | ROW_DELETED);
    EXPECT_EQ(FindRowUnit(target.get(), "Software12")->state, ROW_NEW);
    LogCapture log;
    EXPECT_FALSE(MergeDataObject(target.get(), source.get()));  // Software12 is held now
    EXPECT_TRUE(log.has("Cannot Insert Row with keystring Software12.  Row already exists."));

    // A table the target lacks arrives whole; units created and deleted stay out.
    DataObjectPtr devices = EmptyWith({"Device"});
    RowUnit* gone = InsertStringRowIntoDO(devices.get(), "Device", {"9", "x", nullptr, nullptr});
    gone->state = ROW_NEW | ROW_DELETED;
    ASSERT_NE(InsertStringRowIntoDO(devices.get(), "Device", {"8", "y", nullptr, nullptr}),
              nullptr);
    ASSERT_TRUE(MergeDataObject(target.get(), devices.get()));
    EXPECT_EQ(GetRowCollection(target.get(), "Device")->units.size(), 1u);

    ASSERT_TRUE(SaveDataObject(target.get()));
    EXPECT_EQ(Rows("SELECT ID, TITLE FROM Software ORDER BY ID"),
              (std::vector<std::vector<std::string>>{{"10", "editor 2"}, {"12", "new"}}));
}

TEST_F(DataObjectTest, RowUnitRetrievalAndDeepRetrievalThroughTheIndexTable) {
    LoadPersonalities();
    DataObjectPtr devices = GetDataObjectByCriteria({"Device"}, nullptr);
    ASSERT_NE(devices, nullptr);
    RowUnit* alpha = FindRowUnit(devices.get(), "Device1");
    ASSERT_NE(alpha, nullptr);

    DataObjectPtr related = GetDOFromPersonalityByRowUnit("Inventory", alpha);
    ASSERT_NE(related, nullptr);
    EXPECT_EQ(GetRowCollection(related.get(), "Device")->units.size(), 1u);
    EXPECT_EQ(GetRowCollection(related.get(), "Software")->units.size(), 2u);
    EXPECT_EQ(GetRowCollection(related.get(), "Patch")->units.size(), 2u);
    // Device 2 has no software: the other tables keep their rows anyway.
    ASSERT_TRUE(Run("DELETE FROM Software"));
    DataObjectPtr noSoftware = GetDOFromPersonalityByRowUnit("Inventory", alpha);
    ASSERT_NE(noSoftware, nullptr);
    EXPECT_TRUE(GetRowCollection(noSoftware.get(), "Software")->units.empty());
    EXPECT_EQ(GetRowCollection(noSoftware.get(), "Patch")->units.size(), 2u);

    LogCapture log;
    EXPECT_EQ(GetDataObjectByRowUnit({"Software"}, alpha), nullptr);
    EXPECT_TRUE(
        log.has("RowUnit belongs to table Device, which is not present in the tableList.\n"));

    // Deep retrieval reads the tables the index lists for the key.
    EXPECT_EQ(DeepRetrieveDO("Device", alpha), nullptr);
    EXPECT_TRUE(log.has(". No tables indexed.  Cannot deep retrieve DO for Device\n"));
    ASSERT_TRUE(Run("INSERT INTO Device_IDX VALUES (1, 'Patch'), (1, 'Patch'), (2, 'Software')"));
    DataObjectPtr deep = DeepRetrieveDO("Device", alpha);
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(GetTableList(deep.get()), (std::vector<std::string>{"Device", "Patch"}));
    EXPECT_EQ(GetRowCollection(deep.get(), "Patch")->units.size(), 2u);
    EXPECT_EQ(DeepRetrieveDO("T1", alpha), nullptr);
}

TEST_F(DataObjectTest, CriteriaValuesAndNavigation) {
    DataObjectPtr patches = GetDataObjectByCriteria({"Patch"}, nullptr);
    ASSERT_NE(patches, nullptr);
    RowCollection* collection = GetRowCollection(patches.get(), "Patch");
    LogCapture log;
    EXPECT_EQ(GotoNextRowUnit(collection), GetFirstRowUnit(collection));
    EXPECT_EQ(GotoNextRowUnit(collection), GetLastRowUnit(collection));
    EXPECT_EQ(GotoNextRowUnit(collection), nullptr);
    EXPECT_TRUE(log.has("Reached end of rowUnits.\n"));
    EXPECT_EQ(GetNthRowUnit(collection, 1), GetLastRowUnit(collection));
    EXPECT_EQ(GetNthRowUnit(collection, 2), nullptr);
    EXPECT_EQ(GetNthRowUnit(collection, -1), nullptr);

    std::uint32_t length = 0;
    EXPECT_STREQ(GetFirstValue(patches.get(), "Patch", "KB", &length), "KB1");
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(GetColumnValuesFromDO(patches.get(), "Patch", "STATE").size(), 2u);
    EXPECT_EQ(GetColumnListFromDO(patches.get(), "Patch").size(), 4u);
    EXPECT_FALSE(SetValueForRowUnit("NOPE", "Patch", "x", 1, patches.get()));
    EXPECT_TRUE(log.has("Passed column NOPE is not present in DO.\n"));
    EXPECT_FALSE(SetValueForRowUnit("KB", "Nowhere", "x", 1, patches.get()));
    EXPECT_TRUE(log.has(" Table Nowhere is not present in DO\n"));

    ASSERT_TRUE(SetValueForAllRowUnits("STATE", "Patch", "closed", 6, patches.get()));
    ASSERT_TRUE(DeleteRowUnitOnCriteria("Patch", patches.get(), "KB='KB2'"));
    EXPECT_EQ(FindRowUnit(patches.get(), "Patch21")->state, ROW_SAVED | ROW_UPDATED | ROW_DELETED);
    EXPECT_FALSE(DeleteRowUnitOnCriteria("Patch", patches.get(), "KB=="));
    ASSERT_TRUE(SaveDataObject(patches.get()));
    EXPECT_EQ(Rows("SELECT ID, STATE FROM Patch"),
              (std::vector<std::vector<std::string>>{{"20", "closed"}}));

    // Criteria trees from the caller are copied into the data object's own query.
    SelectQueryPtr owner = CreateSelectQuery();
    QueryColumn* id = CreateColumnDescriptor("Device", nullptr, "NAME", nullptr, 0,
                                             HYL_SQL_CHARACTER, 0, owner->pool);
    QueryCriteriaNode* leaf = CreateCriteriaLeaf(id, "beta", 4, CRITERIA_EQ, owner->pool);
    DataObjectPtr beta = GetDataObjectByCriteria({"Device"}, leaf);
    owner.reset();
    ASSERT_NE(beta, nullptr);
    ASSERT_EQ(GetRowCollection(beta.get(), "Device")->units.size(), 1u);
    EXPECT_NE(FindRowUnit(beta.get(), "Device2"), nullptr);
    PrintDataObject(beta.get());
    EXPECT_TRUE(log.has("Table: Device\n"));
    EXPECT_EQ(GetDataObjectByCriteria({"Nowhere"}, nullptr), nullptr);
    EXPECT_EQ(GetDataObject(nullptr), nullptr);
    EXPECT_TRUE(log.has("Cannot construct DO. Select Query pointer is NULL.\n"));
}

TEST_F(DataObjectTest, MissingGeneratedKeysAreGeneratedOrTheUnitIsRefused) {
    DataObjectPtr dataObject = EmptyWith({"Software"});
    LogCapture log;
    std::shared_ptr<SequenceDataSource> previous = SetSequenceDataSource(nullptr);
    InitSequenceState();
    // Without a sequence source no identifier can be had: the unit is not taken with a
    // NULL or -1 key.
    EXPECT_EQ(
        InsertRowIntoDO(dataObject.get(), "Software", {ColumnValue::Null(), Int(1), Text("x")}),
        nullptr);
    EXPECT_TRUE(log.has("Cannot generate an identifier for Software.ID\n"));
    EXPECT_TRUE(IsDOEmpty(dataObject.get()));

    SetSequenceDataSource(SqliteSequenceSource::Open(":memory:"));
    ASSERT_TRUE(SequenceGenerator());
    RowUnit* first =
        InsertRowIntoDO(dataObject.get(), "Software", {ColumnValue::Null(), Int(1), Text("x")});
    RowUnit* second =
        InsertRowIntoDO(dataObject.get(), "Software", {ColumnValue::Null(), Int(1), Text("y")});
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(IntOf(GetColumnValueFromDO(first, "ID")), IntOf(GetColumnValueFromDO(second, "ID")));
    EXPECT_GT(IntOf(GetColumnValueFromDO(first, "ID")), 0);
    ASSERT_TRUE(SaveDataObject(dataObject.get()));
    EXPECT_EQ(Rows("SELECT COUNT(*) FROM Software WHERE DEVICE_ID = 1"),
              (std::vector<std::vector<std::string>>{{"4"}}));
    ReleaseSequenceState();
    SetSequenceDataSource(previous);
}

TEST_F(DataObjectTest, KeyColumnsOfStoredRowsStayAndNewRowsMoveInTheIndex) {
    DataObjectPtr devices = GetDataObjectByCriteria({"Device"}, nullptr);
    ASSERT_NE(devices, nullptr);
    LogCapture log;
    // Device 2 is the last unit; a new ID would make the update write device 9's row.
    EXPECT_FALSE(SetValueForRowUnit("ID", "Device", "\x09\0\0\0", 4, devices.get()));
    EXPECT_TRUE(log.has("Key column ID of a stored row cannot be changed.\n"));
    EXPECT_EQ(FindRowUnit(devices.get(), "Device2")->state, ROW_SAVED);

    RowUnit* fresh = InsertStringRowIntoDO(devices.get(), "Device", {"5", "new", nullptr, nullptr});
    ASSERT_NE(fresh, nullptr);
    const std::int32_t one = 1, six = 6;
    EXPECT_FALSE(SetValueForRowUnit("ID", "Device", &one, 4, devices.get()));  // device 1 is held
    ASSERT_TRUE(SetValueForRowUnit("ID", "Device", &six, 4, devices.get()));
    EXPECT_EQ(FindRowUnit(devices.get(), "Device5"), nullptr);
    EXPECT_EQ(FindRowUnit(devices.get(), "Device6"), fresh);
    ASSERT_TRUE(SaveDataObject(devices.get()));
    EXPECT_EQ(Rows("SELECT NAME FROM Device WHERE ID = 6"),
              (std::vector<std::vector<std::string>>{{"new"}}));
}

TEST_F(DataObjectTest, ThreadsReadDataObjectsThroughOneSharedConnection) {
    LoadPersonalities();
    std::atomic<int> complete{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&complete] {
            for (int i = 0; i < 5; ++i) {
                DataObjectPtr inventory = GetDOFromPersonality("Inventory");
                if (inventory && GetRowCollection(inventory.get(), "Device")->units.size() == 2 &&
                    GetRowCollection(inventory.get(), "Software")->units.size() == 2)
                    ++complete;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(complete.load(), 20);
}

TEST_F(DataObjectTest, UnitsNeedTheirTablesKeyColumns) {
    LogCapture log;
    SelectQueryPtr query = CreateSelectQuery();
    AddSelectColumn(query.get(), CreateColumnDescriptor("Device", nullptr, "NAME", nullptr, 0,
                                                        HYL_SQL_CHARACTER, 0, query->pool));
    AddTable(query.get(), "Device", nullptr);
    EXPECT_EQ(GetDataObject(std::move(query)), nullptr);
    EXPECT_TRUE(log.has("\nALL PRIMARY KEY COLUMNS SHOULD BE SELECTED FOR Device\n"));
    EXPECT_TRUE(log.has("All Primary key columns were not selected.\n"));

    DataObjectPtr dataObject = EmptyWith({"Device"});
    EXPECT_EQ(InsertRowIntoDO(dataObject.get(), "Software", {Int(1), Int(1), Text("x")}), nullptr);
    EXPECT_TRUE(log.has("The RowUnit belongs to Table Software, which is not in DO\n"));
    EXPECT_EQ(InsertRowIntoDO(dataObject.get(), "Device", {Int(1)}), nullptr);  // wrong width
    EXPECT_EQ(InsertStringRowIntoDO(dataObject.get(), "Device", {"3", "a", "maybe", nullptr}),
              nullptr);  // not a boolean
    EXPECT_FALSE(AddTableToDO(nullptr, "Device", nullptr));
    EXPECT_TRUE(log.has("DO is NULL.\n"));
    EXPECT_FALSE(AddTableToDO(dataObject.get(), "Nowhere", nullptr));
    EXPECT_TRUE(log.has("Table Definition not found for Nowhere.\n"));
    EXPECT_FALSE(AddTableToDO(dataObject.get(), "Device", nullptr));  // already there
}

}  // namespace
