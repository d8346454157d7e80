// Data dictionary: reading dictionary files and listings, the column rules, keys,
// malformed documents, lookups with their messages, printing and removal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/dictionary/dictionary.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::SourceDir;
using testsupport::TempDir;
using testsupport::WriteFile;

std::filesystem::path TestData() { return SourceDir() / "store" / "tests" / "data"; }

// Each test starts with an empty dictionary and a fresh log at TRACE level.
class DictionaryTest : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveAllTableDefns();
        CloseLog();
        ReleaseLogSettings();
        gv_quennetRoot.reset();
        SetLogDefaults();
        ConfigureLog("dictionary.log", logDir_.str().c_str(), 4);
        ASSERT_TRUE(OpenLog());
    }
    void TearDown() override {
        CloseLog();
        ReleaseLogSettings();
        gv_quennetRoot.reset();
        RemoveAllTableDefns();
    }
    std::string Log() {
        std::fflush(gv_logFilePtr);
        return ReadFile(logDir_.path() / "dictionary.log");
    }
    bool Logged(const std::string& text) { return Log().find(text) != std::string::npos; }

    // Writes a dictionary file holding the given table elements and loads it.
    bool LoadTables(const std::string& tables, const std::string& name = "test.xml") {
        const auto path = files_.path() / name;
        WriteFile(path, "<?xml version=\"1.0\"?>\n<data-dictionary>\n" + tables + "\n</data-dictionary>\n");
        return LoadDataDictFromXMLFile(path.string().c_str());
    }

    TempDir logDir_;
    TempDir files_;
};

std::string Column(const std::string& name, const std::string& children) {
    return "<column name=\"" + name + "\">" + children + "</column>";
}

std::string Table(const std::string& name, const std::string& columns, const std::string& rest = "") {
    return "<table name=\"" + name + "\"><columns>" + columns + "</columns>" + rest + "</table>";
}

TEST_F(DictionaryTest, TypeNamesAndSizes) {
    struct TypeCase {
        const char* children;
        BYTE expected;
    };
    const TypeCase cases[] = {
        {"<data-type>CHAR</data-type><max-size>300</max-size>", HYL_SQL_TEXT},
        {"<data-type>CHAR</data-type><max-size>255</max-size>", HYL_SQL_CHARACTER},
        {"<data-type>CHAR</data-type><max-size>256</max-size>", HYL_SQL_TEXT},
        {"<data-type>HYL_SQL_CHAR</data-type><max-size>256</max-size>", HYL_SQL_TEXT},
        {"<data-type>hyl_sql_char</data-type><max-size>255</max-size>", HYL_SQL_CHAR},
        {"<data-type>NCHAR</data-type>", HYL_SQL_CHARACTER},
        {"<max-size>999</max-size><data-type>nchar</data-type>", HYL_SQL_TEXT},  // order does not matter
        {"<data-type>integer</data-type>", HYL_SQL_INT},
        {"<data-type>Long</data-type>", HYL_SQL_INT},
        {"<data-type>HYL_SQL_INT</data-type><max-size>999</max-size>", HYL_SQL_INT},
        {"<data-type>VARCHAR</data-type>", HYL_SQL_NOT_SUPPORTED_TYPE},
        {"<data-type>INT</data-type>", HYL_SQL_NOT_SUPPORTED_TYPE},
        {"<data-type>HYL_SQL_TINYINT</data-type>", HYL_SQL_TINYINT},
        {"<data-type>HYL_SQL_UNSIGNED_TINYINT</data-type>", HYL_SQL_UNSIGNED_TINYINT},
        {"<data-type>HYL_SQL_SMALLINT</data-type>", HYL_SQL_SMALLINT},
        {"<data-type>HYL_SQL_UNSIGNED_SMALLINT</data-type>", HYL_SQL_UNSIGNED_SMALLINT},
        {"<data-type>HYL_SQL_UNSIGNED_INT</data-type>", HYL_SQL_UNSIGNED_INT},
        {"<data-type>bigint</data-type>", HYL_SQL_BIGINT},
        {"<data-type>HYL_SQL_UNSIGNED_LONG_INT</data-type>", HYL_SQL_UNSIGNED_LONG_INT},
        {"<data-type>FLOAT</data-type>", HYL_SQL_FLOAT},
        {"<data-type>HYL_SQL_DOUBLE</data-type>", HYL_SQL_DOUBLE},
        {"<data-type>HYL_SQL_REAL</data-type>", HYL_SQL_REAL},
        {"<data-type>HYL_SQL_DECIMAL</data-type>", HYL_SQL_DECIMAL},
        {"<data-type>HYL_SQL_NUMERIC</data-type>", HYL_SQL_NUMERIC},
        {"<data-type>date</data-type>", HYL_SQL_DATE},
        {"<data-type>TIME</data-type>", HYL_SQL_TIME},
        {"<data-type>TimeStamp</data-type>", HYL_SQL_DATETIME},
        {"<data-type>HYL_SQL_DATETIME</data-type>", HYL_SQL_DATETIME},
        {"<data-type>BOOLEAN</data-type>", HYL_SQL_BOOLEAN},
        {"<data-type>BLOB</data-type>", HYL_SQL_BLOB},
        {"<data-type>HYL_SQL_CLOB</data-type>", HYL_SQL_CLOB},
        {"<data-type>TEXT</data-type>", HYL_SQL_TEXT},
        {"<data-type>HYL_SQL_NOT_SUPPORTED_TYPE</data-type>", HYL_SQL_NOT_SUPPORTED_TYPE},
        {"<data-type> CHAR</data-type>", HYL_SQL_NOT_SUPPORTED_TYPE},
        {"", HYL_SQL_NOT_SUPPORTED_TYPE},
    };
    std::string columns;
    for (std::size_t i = 0; i < std::size(cases); ++i) columns += Column("c" + std::to_string(i), cases[i].children);
    ASSERT_TRUE(LoadTables(Table("Types", columns)));
    TableDefn* defn = GetTableDefn("types");
    ASSERT_NE(defn, nullptr);
    ASSERT_EQ(defn->columns.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(defn->columns[i]->type, cases[i].expected) << cases[i].children;
        EXPECT_EQ(defn->columns[i]->name, "c" + std::to_string(i));  // document order
    }
}

TEST_F(DictionaryTest, NullableUniqueAndMaxSizeRules) {
    struct FlagCase {
        const char* children;
        BYTE nullable;
        BYTE unique;
        std::int32_t maxSize;
    };
    const FlagCase cases[] = {
        {"", 1, 0, 0},
        {"<nullable>TRUE</nullable>", 1, 0, 0},
        {"<nullable>true</nullable>", 1, 0, 0},
        {"<nullable>no</nullable>", 0, 0, 0},
        {"<nullable>false</nullable>", 0, 0, 0},
        {"<nullable/>", 0, 0, 0},
        {"<unique>true</unique>", 1, 1, 0},
        {"<unique>TRUE</unique>", 1, 0, 0},
        {"<unique>yes</unique>", 1, 0, 0},
        {"<max-size>40</max-size>", 1, 0, 40},
        {"<max-size>12abc</max-size>", 1, 0, 12},
        {"<max-size>abc</max-size>", 1, 0, 0},
        {"<max-size>99999999999</max-size>", 1, 0, 2147483647},
    };
    std::string columns;
    for (std::size_t i = 0; i < std::size(cases); ++i) columns += Column("c" + std::to_string(i), cases[i].children);
    ASSERT_TRUE(LoadTables(Table("Flags", columns)));
    TableDefn* defn = GetTableDefn("Flags");
    ASSERT_NE(defn, nullptr);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].children);
        EXPECT_EQ(defn->columns[i]->nullable, cases[i].nullable);
        EXPECT_EQ(defn->columns[i]->unique, cases[i].unique);
        EXPECT_EQ(defn->columns[i]->maxSize, cases[i].maxSize);
    }
}

TEST_F(DictionaryTest, KeysGeneratorsDefaultsAndAllowedValues) {
    ASSERT_TRUE(LoadDataDictFromXMLFile((TestData() / "keys_dictionary.xml").string().c_str()));
    ASSERT_EQ(GetTableDefnCount(), 2);

    const TableDefn* site = GetTableDefn("SITE");
    ASSERT_NE(site, nullptr);
    EXPECT_FALSE(site->description);
    EXPECT_EQ(site->constraints->primaryKeyColumns, (std::vector<std::string>{"REGION", "SITE_NO"}));
    EXPECT_EQ(site->constraints->primaryKeyCount(), 2u);
    EXPECT_FALSE(site->constraints->foreignKeys);
    EXPECT_EQ(GetForeignKeyDefn(site, "REGION"), nullptr);
    EXPECT_TRUE(Logged("No Foreignkey Entries in Definition \n"));

    TableDefn* device = GetTableDefn("Device");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->description, "Devices, each at one site.");
    ASSERT_EQ(device->columns.size(), 5u);
    EXPECT_EQ(device->columns[0]->generatorName, "DEVICE_SEQ");
    EXPECT_EQ(device->columns[0]->nullable, 0);

    // Two column pairs: two records sharing table and cascade; only the first is bidirectional.
    ASSERT_TRUE(device->constraints->foreignKeys);
    const auto& keys = *device->constraints->foreignKeys;
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].localColumn, "REGION");
    EXPECT_EQ(keys[0].referenceColumn, "REGION");
    EXPECT_EQ(keys[1].localColumn, "SITE");
    EXPECT_EQ(keys[1].referenceColumn, "SITE_NO");
    for (const ForeignKeyDefn& key : keys) {
        EXPECT_EQ(key.referenceTable, "Site");
        EXPECT_EQ(key.onDeleteCascade, 1);
    }
    EXPECT_EQ(keys[0].bidirectional, 1);
    EXPECT_EQ(keys[1].bidirectional, 0);
    EXPECT_EQ(GetForeignKeyDefn(device, "site"), &keys[1]);  // case-insensitive
    EXPECT_EQ(GetForeignKeyDefn(device, "DEVICE_ID"), nullptr);

    // Defaults are held in the column's own representation.
    BYTE found = 0;
    const ColumnValue* state = GetDefaultValue("device", "STATE", &found);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(*state->buffer, "active");
    EXPECT_EQ(state->length, 6u);
    const ColumnValue* level = GetDefaultValue("Device", "LEVEL", &found);
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(level->As<std::int32_t>(), 3);
    EXPECT_EQ(level->length, 4u);
    const ColumnValue* none = GetDefaultValue("Device", "REGION", &found);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(found, 1);
    EXPECT_TRUE(none->isNull());

    const ColumnDefn* stateColumn = GetColumnDefnEntry("Device", "STATE");
    ASSERT_TRUE(stateColumn && stateColumn->allowedValues);
    EXPECT_EQ(stateColumn->allowedValues->kind, ALLOWED_VALUES_LIST);
    EXPECT_EQ(stateColumn->allowedValues->values, (std::vector<std::string>{"active", "retired", ""}));
    const ColumnDefn* levelColumn = GetColumnDefnEntry("Device", "LEVEL");
    ASSERT_TRUE(levelColumn && levelColumn->allowedValues);
    EXPECT_EQ(levelColumn->allowedValues->kind, ALLOWED_VALUES_RANGE);
    EXPECT_EQ(levelColumn->allowedValues->values, (std::vector<std::string>{"1", "5"}));
}

TEST_F(DictionaryTest, ColumnLookupsAndTheirMessages) {
    ASSERT_TRUE(LoadDataDictFromXMLFile((TestData() / "keys_dictionary.xml").string().c_str()));
    EXPECT_NE(GetColumnDefnEntry("device", "STATE"), nullptr);  // table name: any case
    EXPECT_EQ(GetColumnDefnEntry("Device", "state"), nullptr);  // column name: exact
    EXPECT_EQ(GetColumnDefnEntryType("Device", "LEVEL"), HYL_SQL_INT);
    EXPECT_EQ(GetColumnDefnEntryType("Device", "level"), 0);
    EXPECT_EQ(GetColumnDefnEntryType("Nowhere", "LEVEL"), 0);
    EXPECT_TRUE(Logged("@@@@ Inside GetColumnDefnEntry @@@@\n"));
    EXPECT_TRUE(Logged("No definition found for table Nowhere\n"));

    BYTE found = 7;
    EXPECT_EQ(GetDefaultValue("Device", "level", &found), nullptr);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(GetDefaultValue(nullptr, "LEVEL", &found), nullptr);
    EXPECT_EQ(GetDefaultValue("Device", nullptr, &found), nullptr);
    EXPECT_TRUE(Logged("@@@@ Inside GetDefaultValue @@@@\n"));
    EXPECT_TRUE(Logged("Cannot fetch default value;\n"));

    EXPECT_EQ(GetTableDefn(nullptr), nullptr);
    EXPECT_TRUE(Logged("Table Name is NULL.\n"));
    EXPECT_EQ(GetForeignKeyDefn(nullptr, "X"), nullptr);

    TableDefn bare;
    bare.name = "Bare";
    EXPECT_EQ(GetForeignKeyDefn(&bare, "X"), nullptr);
    EXPECT_TRUE(Logged("No constraint Definition \n"));
}

TEST_F(DictionaryTest, NullTableNameIsQuietOnAnEmptyDictionary) {
    EXPECT_EQ(GetTableDefn(nullptr), nullptr);
    EXPECT_FALSE(Logged("Table Name is NULL."));
}

// A bad table between two good ones: the bad one is left out with its message and the
// file's other tables are defined.
TEST_F(DictionaryTest, MalformedTablesAreLeftOutWithTheirMessage) {
    struct BadCase {
        std::string table;
        const char* message;
        bool defined;  // "Not all Attributes" keeps the table
    };
    const std::string good = Column("A", "<data-type>HYL_SQL_INT</data-type>");
    const BadCase cases[] = {
        {Table("Bad", good, "<primary-key><primary-key-column>A<x/></primary-key-column></primary-key>"),
         "\nMissing primary-key-column end tag\n", false},
        {Table("Bad", good,
               "<foreign-keys><foreign-key reference-table-name=\"T\"><fk-columns><fk-column>"
               "<fk-local-column><x/></fk-local-column></fk-column></fk-columns></foreign-key></foreign-keys>"),
         "\n Missing endof FK-LOCAL-COLUMN tag\n", false},
        {Table("Bad", good,
               "<foreign-keys><foreign-key reference-table-name=\"T\"><fk-columns><fk-column>"
               "<fk-reference-column>A<y/></fk-reference-column></fk-column></fk-columns></foreign-key></foreign-keys>"),
         "\nMissing endof FK-REFERENCE-COLUMN\n", false},
        {Table("Bad", good,
               "<foreign-keys><foreign-key reference-table-name=\"T\"><fk-columns><oops/></fk-columns>"
               "</foreign-key></foreign-keys>"),
         "\nMissing end FK-COLUMNS\n", false},
        {Table("Bad", good,
               "<foreign-keys><foreign-key reference-table-name=\"T\"><fk-columns/><fk-constraints><z/>"
               "</fk-constraints></foreign-key></foreign-keys>"),
         "\nMissing endof FK-CONSTRAINTS tag\n", false},
        {Table("Bad", Column("A", "<allowed-values><value>1<v/></value></allowed-values>")),
         "\n No ending Value tag\n", false},
        {Table("Bad", Column("A", "<allowed-values><from><f/></from><to>2</to></allowed-values>")),
         "\nNo Ending FROM tag \n", false},
        {Table("Bad", Column("A", "<allowed-values><from>1</from><to><t/></to></allowed-values>")),
         "\nNo ending TO tag \n", false},
        {Table("Bad", Column("A", "<allowed-values><from>1</from></allowed-values>")),
         "In the allowed values attribute, 'to' tag is missing.\n", false},
        {Table("Bad", Column("A", "<allowed-values><from>1</from></allowed-values><description>d</description>")),
         "In the allowed values attribute, 'to' tag is missing.\n", false},
        {"<table><columns>" + good + "</columns></table>", "Table definition without a name\n", false},
        {Table("Bad", "<column><data-type>CHAR</data-type></column>"), "Column without a name in table Bad\n", false},
        {"<table name=\"Bad\" colour=\"red\"><columns>" + good + "</columns></table>",
         "\n Not all Attributes were read\n", true},
        {"<table name=\"Bad\"><description>one</description><columns>" + good +
             "</columns><description>two</description></table>",
         "\nDescription tag ambiguity \n", true},
        {Table("Bad", Column("A", "<data-type/>")),
         "Column data type not supported - Error while creating column definition.\n", true},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.message);
        RemoveAllTableDefns();
        ASSERT_TRUE(LoadTables(Table("Before", good) + c.table + Table("After", good)));
        EXPECT_TRUE(Logged(c.message));
        EXPECT_NE(GetTableDefn("Before"), nullptr);
        EXPECT_NE(GetTableDefn("After"), nullptr);
        EXPECT_EQ(GetTableDefn("Bad") != nullptr, c.defined);
    }
}

TEST_F(DictionaryTest, ForeignKeyWithoutColumnsFirstYieldsNothing) {
    const std::string good = Column("A", "<data-type>HYL_SQL_INT</data-type>");
    ASSERT_TRUE(LoadTables(Table("T", good,
                                 "<foreign-keys><note/><foreign-key reference-table-name=\"P\">"
                                 "<fk-constraints>ON-DELETE-CASCADE</fk-constraints><fk-columns><fk-column>"
                                 "<fk-local-column>A</fk-local-column><fk-reference-column>B</fk-reference-column>"
                                 "</fk-column></fk-columns></foreign-key>"
                                 "<foreign-key reference-table-name=\"Q\" isbidirectional=\"TRUE\"><fk-columns>"
                                 "<fk-column><fk-local-column>A</fk-local-column></fk-column>"
                                 "<fk-column><fk-local-column>C</fk-local-column><fk-reference-column>D"
                                 "</fk-reference-column></fk-column></fk-columns>"
                                 "<fk-constraints>on-delete-cascade</fk-constraints></foreign-key></foreign-keys>")));
    EXPECT_TRUE(Logged("fk-columns tag not found \n"));
    const TableDefn* defn = GetTableDefn("T");
    ASSERT_TRUE(defn && defn->constraints->foreignKeys);
    // Only the complete pair of the second key remains; its flags come from that key.
    ASSERT_EQ(defn->constraints->foreignKeys->size(), 1u);
    const ForeignKeyDefn& key = defn->constraints->foreignKeys->front();
    EXPECT_EQ(key.localColumn, "C");
    EXPECT_EQ(key.referenceTable, "Q");
    EXPECT_EQ(key.onDeleteCascade, 0);
    EXPECT_EQ(key.bidirectional, 0);
}

TEST_F(DictionaryTest, ElementNamesReadInAnyCaseButBuiltExactly) {
    // Read case-insensitively: the table is found and parsed. Built case-sensitively:
    // "COLUMNS" is not "columns", so the definition has no columns.
    ASSERT_TRUE(LoadTables("<TABLE NAME=\"Upper\"><COLUMNS><COLUMN NAME=\"A\"/></COLUMNS></TABLE>"));
    const TableDefn* defn = GetTableDefn("upper");
    ASSERT_NE(defn, nullptr);
    EXPECT_TRUE(defn->columns.empty());
}

TEST_F(DictionaryTest, MalformedFileBesideGoodOnesInAListing) {
    ASSERT_TRUE(LoadDataDictFiles(TestData().string().c_str()));
    // The broken file stops at its error (the reader parses ahead, so even its complete
    // first table may be lost); the files listed after it still load.
    EXPECT_EQ(GetTableDefn("Broken"), nullptr);
    EXPECT_NE(GetTableDefn("Device"), nullptr);
    EXPECT_NE(GetTableDefn("Columns"), nullptr);
    EXPECT_TRUE(Logged("broken_dictionary.xml : failed to parse\n"));
    EXPECT_TRUE(Logged("Unable to open " + TestData().string() + "\\missing_dictionary.xml\n"));

    const TableDefn* columns = GetTableDefn("Columns");
    ASSERT_EQ(columns->columns.size(), 5u);
    EXPECT_EQ(columns->columns[0]->type, HYL_SQL_NOT_SUPPORTED_TYPE);
    EXPECT_EQ(columns->columns[2]->defaultValue.As<std::uint8_t>(), 1);
    EXPECT_EQ(ConvertColumnValueToText(columns->columns[3]->defaultValue, HYL_SQL_DATETIME), "2024-03-05 10:20:30");
    EXPECT_EQ(columns->columns[4]->type, HYL_SQL_TEXT);
    EXPECT_EQ(columns->columns[4]->description, "free <text>");
}

TEST_F(DictionaryTest, MissingListingAndUnreadableFiles) {
    TempDir empty;
    EXPECT_FALSE(LoadDataDictFiles(empty.str().c_str()));
    EXPECT_TRUE(Logged("Cannot open DataDictionary File.\n"));
    EXPECT_FALSE(LoadDataDictFiles(nullptr));
    EXPECT_FALSE(LoadDataDictFromXMLFile((empty.path() / "none.xml").string().c_str()));
    EXPECT_FALSE(LoadDataDictFromXMLFile(nullptr));

    struct FileCase {
        const char* content;
        bool read;
    };
    const FileCase files[] = {
        {"", false},
        {"not xml at all", false},
        {"<data-dictionary>", false},
        {"<data-dictionary/>", true},
        {"<data-dictionary><description>only</description></data-dictionary>", true},
        {"<data-dictionary><description>open</data-dictionary>", false},
        {"<?xml version=\"1.0\"?><data-dictionary><table name=\"T\"><columns>", false},
        {"\xff\xfe<\0d\0", false},
    };
    for (const FileCase& f : files) {
        SCOPED_TRACE(f.content);
        const auto path = empty.path() / "f.xml";
        WriteFile(path, f.content);
        EXPECT_EQ(LoadDataDictFromXMLFile(path.string().c_str()), f.read);
    }
    EXPECT_EQ(GetTableDefnCount(), 0);
}

// Restores the working directory the test found.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::filesystem::path& to) : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(to);
    }
    ~WorkingDirectory() { std::filesystem::current_path(previous_); }

private:
    std::filesystem::path previous_;
};

TEST_F(DictionaryTest, LoadAllFromTheRelativeDataFolderOrTheRoot) {
    TempDir machine;
    const auto bin = machine.path() / "bin";
    std::filesystem::create_directories(bin);
    WriteFile(machine.path() / "data" / "datadictionary.txt", "one.xml\n");
    WriteFile(machine.path() / "data" / "one.xml",
              "<data-dictionary>" + Table("Relative", Column("A", "")) + "</data-dictionary>");
    TempDir root;
    WriteFile(root.path() / "data" / "datadictionary.txt", " two.xml ");
    WriteFile(root.path() / "data" / "two.xml",
              "<data-dictionary>" + Table("FromRoot", Column("A", "")) + "</data-dictionary>");
    {
        // A root names where the dictionary is: "..\data\" beside the working directory,
        // where any local user may have put one, does not stand in for it.
        WorkingDirectory cwd(bin);
        gv_quennetRoot = root.str();
        EXPECT_TRUE(LoadAllDataDictFiles());
        EXPECT_NE(GetTableDefn("FromRoot"), nullptr);
        EXPECT_EQ(GetTableDefn("Relative"), nullptr);
        EXPECT_TRUE(Logged("Opening " + root.str() + "/data/datadictionary.txt\n"));
        EXPECT_TRUE(Logged("Opening " + root.str() + "/data/two.xml\n"));
    }
    RemoveAllTableDefns();
    {
        // Without a root the relative place is the one tried.
        WorkingDirectory cwd(bin);
        gv_quennetRoot.reset();
        EXPECT_TRUE(LoadAllDataDictFiles());
        EXPECT_NE(GetTableDefn("Relative"), nullptr);
        EXPECT_EQ(GetTableDefn("FromRoot"), nullptr);
    }
    RemoveAllTableDefns();
    {
        WorkingDirectory cwd(root.path());  // no ../data here
        EXPECT_FALSE(LoadAllDataDictFiles());
        EXPECT_TRUE(Logged("Cannot open DataDictionary File.\n"));
    }
}

TEST_F(DictionaryTest, DuplicateNamesPrintAndRemoval) {
    ASSERT_TRUE(LoadTables(Table("Twice", Column("First", "")) + Table("Other", Column("X", ""))));
    ASSERT_TRUE(LoadTables(Table("TWICE", Column("Second", "")) + "<table name=\"Empty\"/>", "second.xml"));
    EXPECT_EQ(GetTableDefnCount(), 4);
    // The later definition is kept but the earlier one is found.
    EXPECT_EQ(GetTableDefn("twice")->columns[0]->name, "First");

    PrintDataDictionary();
    const std::string log = Log();
    EXPECT_NE(log.find("Table Name : Twice\n"), std::string::npos);
    EXPECT_NE(log.find("Description: (null)\n"), std::string::npos);
    EXPECT_NE(log.find("Column Name : First\n"), std::string::npos);
    EXPECT_NE(log.find("Unique Flag : FALSE\n"), std::string::npos);
    EXPECT_EQ(log.find("Table Name : Empty\n"), std::string::npos);  // no columns, not printed

    EXPECT_TRUE(RemoveTableDefn("TWICE"));
    EXPECT_EQ(GetTableDefnCount(), 3);
    EXPECT_EQ(GetTableDefn("Twice")->columns[0]->name, "Second");
    EXPECT_TRUE(RemoveTableDefn("twice"));
    EXPECT_FALSE(RemoveTableDefn("Twice"));
    EXPECT_FALSE(RemoveTableDefn(nullptr));
    EXPECT_NE(GetTableDefn("Other"), nullptr);
    RemoveAllTableDefns();
    EXPECT_EQ(GetTableDefnCount(), 0);
    EXPECT_EQ(GetTableDefn("Other"), nullptr);
}

TEST_F(DictionaryTest, PrintShowsKeys) {
    ASSERT_TRUE(LoadDataDictFromXMLFile((TestData() / "keys_dictionary.xml").string().c_str()));
    PrintDataDictionary();
    const std::string log = Log();
    for (const char* line : {"Primary key : REGION\n\n", "Primary key : DEVICE_ID\n\n", "Foreign key Constraints\n",
                             "Ref Column  : SITE_NO\n", "Tablename : Site\n", "Column Type : 5\n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

TEST_F(DictionaryTest, AgentTablesOfTheRuntimeDataFolder) {
    ASSERT_TRUE(LoadDataDictFiles((SourceDir() / "data").string().c_str()));
    const TableDefn* params = GetTableDefn("Agentparams");
    ASSERT_NE(params, nullptr);
    ASSERT_EQ(params->columns.size(), 2u);
    EXPECT_EQ(params->columns[0]->name, "PARAM_NAME");
    EXPECT_EQ(params->columns[1]->name, "param_Value");
    EXPECT_EQ(params->constraints->primaryKeyColumns, std::vector<std::string>{"PARAM_NAME"});
    const TableDefn* seq = GetTableDefn("SeqGenState");
    ASSERT_NE(seq, nullptr);
    ASSERT_EQ(seq->columns.size(), 2u);
    EXPECT_EQ(seq->columns[0]->name, "SEQNAME");
    EXPECT_EQ(seq->columns[1]->name, "CURRENTBATCHEND");
    EXPECT_EQ(seq->columns[1]->type, HYL_SQL_INT);

    // The resource identifier lookup of the agent, resolved against the real definition.
    CriteriaTree tree = ParseCriteria("PARAM_NAME='RESOURCE_ID'");
    ResolveCriteria(params->columns, tree.get());
    std::uint32_t length = 0;
    const ColumnValue match[] = {ConvertTextToColumnValue("RESOURCE_ID", params->columns[0]->type, &length),
                                 ConvertTextToColumnValue("42", params->columns[1]->type, &length)};
    const ColumnValue other[] = {ConvertTextToColumnValue("resource_id", params->columns[0]->type, &length),
                                 ConvertTextToColumnValue("42", params->columns[1]->type, &length)};
    EXPECT_TRUE(EvaluateCriteria(tree.get(), match));
    EXPECT_FALSE(EvaluateCriteria(tree.get(), other));
}

}  // namespace
