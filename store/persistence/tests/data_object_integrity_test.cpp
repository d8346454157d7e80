// Data objects never lose what the database holds: units read with some columns write
// only those, a unit whose row another client removed is not saved, and rows related by a
// foreign key of another integer width are found.
#include "store/persistence/tests/objects_test_util.h"

namespace {

using namespace objectstest;
using persistencetest::LogCapture;

// Licence refers to Device through a 64-bit column.
const char* kWideKeyDictionary = R"(<?xml version="1.0" encoding="UTF-8"?>
<data-dictionary>
  <table name="Licence">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="DEVICE_ID"><data-type>BIGINT</data-type></column>
      <column name="SEATS"><data-type>HYL_SQL_INT</data-type></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
    <foreign-keys>
      <foreign-key name="fk_licence_device" reference-table-name="Device">
        <fk-columns><fk-column><fk-local-column>DEVICE_ID</fk-local-column><fk-reference-column>ID</fk-reference-column></fk-column></fk-columns>
      </foreign-key>
    </foreign-keys>
  </table>
</data-dictionary>
)";

class DataObjectIntegrityTest : public SqliteObjectsTest {
protected:
    void SetUp() override {
        SqliteObjectsTest::SetUp();
        ASSERT_TRUE(Run("INSERT INTO Device VALUES(1,'alpha',0,'kept note'),(2,'beta',1,NULL)"));
    }
    // Device rows read with the given columns only.
    static DataObjectPtr DevicesWith(std::initializer_list<const char*> columns) {
        SelectQueryPtr query = CreateSelectQuery();
        for (const char* column : columns)
            AddSelectColumn(query.get(), CreateColumnDescriptor("Device", nullptr, column, nullptr, 0,
                                                                 GetColumnDefnEntry("Device", column)->type,
                                                                 AGGREGATE_NONE, query->pool));
        AddTable(query.get(), "Device", nullptr);
        return GetDataObject(std::move(query));
    }
};

TEST_F(DataObjectIntegrityTest, UnitsReadWithSomeColumnsWriteOnlyThose) {
    DataObjectPtr dataObject = DevicesWith({"ID", "NAME"});
    ASSERT_NE(dataObject, nullptr);
    ASSERT_TRUE(SetValueForAllRowUnits("NAME", "Device", "renamed", 7, dataObject.get()));
    EXPECT_TRUE(SaveDataObject(dataObject.get()));
    EXPECT_EQ(Rows("SELECT ID, NAME, ACTIVE, NOTES FROM Device ORDER BY ID"),
              (std::vector<std::vector<std::string>>{{"1", "renamed", "0", "kept note"},
                                                     {"2", "renamed", "1", "<NULL>"}}));
    // A new unit of such a collection is still inserted whole, with the defaults.
    RowUnit* added = InsertRowIntoDO(dataObject.get(), "Device", {Int(3), Text("gamma")});
    ASSERT_NE(added, nullptr);
    EXPECT_TRUE(SaveDataObject(dataObject.get()));
    EXPECT_EQ(Rows("SELECT NAME, ACTIVE FROM Device WHERE ID = 3"),
              (std::vector<std::vector<std::string>>{{"gamma", "1"}}));
}

TEST_F(DataObjectIntegrityTest, AUnitWhoseRowAnotherClientRemovedIsNotSaved) {
    DataObjectPtr dataObject = DevicesWith({"ID", "NAME", "ACTIVE", "NOTES"});
    ASSERT_NE(dataObject, nullptr);
    RowCollection* devices = GetRowCollection(dataObject.get(), "Device");
    RowUnit* first = GetNthRowUnit(devices, 0);
    RowUnit* second = GetNthRowUnit(devices, 1);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(Run("DELETE FROM Device"));
    LogCapture log;
    ASSERT_TRUE(SetValueForRowUnit("NAME", "Device", "lost?", 5, dataObject.get()));  // the last unit
    ASSERT_TRUE(DeleteRowUnit(dataObject.get(), first));
    EXPECT_FALSE(SaveRowUnit(dataObject.get(), devices, second));
    EXPECT_EQ(second->state, ROW_SAVED | ROW_UPDATED);
    EXPECT_FALSE(SaveDataObject(dataObject.get()));
    EXPECT_EQ(first->state, ROW_SAVED | ROW_DELETED);  // still held, for a later save
    EXPECT_EQ(devices->units.size(), 2u);
    EXPECT_TRUE(log.has("No row of table Device has the key ID=1"));
    EXPECT_TRUE(log.has("No row of table Device has the key ID=2"));
}

TEST_F(DataObjectIntegrityTest, RowsReferringThroughAWiderKeyColumnAreFound) {
    static const bool loaded = [] {
        static testsupport::TempDir dir;
        testsupport::WriteFile(dir.path() / "wide.xml", kWideKeyDictionary);
        return LoadDataDictFromXMLFile((dir.path() / "wide.xml").string().c_str());
    }();
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(Run(*SqliteGenCreateQuery("Licence")));
    ASSERT_TRUE(Run("INSERT INTO Licence VALUES(7,1,5),(8,1,10),(9,2,1)"));
    DataObjectPtr devices = DevicesWith({"ID", "NAME"});
    ASSERT_NE(devices, nullptr);
    const RowUnit* device = GetFirstRowUnit(GetRowCollection(devices.get(), "Device"));
    ASSERT_NE(device, nullptr);
    DataObjectPtr related = GetDataObjectByRowUnit({"Device", "Licence"}, device);
    ASSERT_NE(related, nullptr);
    std::vector<std::int32_t> ids;
    for (const ColumnValue* value : GetColumnValuesFromDO(related.get(), "Licence", "ID")) ids.push_back(IntOf(value));
    EXPECT_EQ(ids, (std::vector<std::int32_t>{7, 8}));
}

}  // namespace
