// The XML table loader: entry points, value forms, references, key inheritance, the
// resource-identifier scenario, unsafe documents and concurrent loads.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "store/criteria/criteria.h"
#include "store/datetime/hyl_datetime.h"
#include "store/tests/store_fixture.h"
#include "store/xml/table_xml.h"

namespace {

using namespace storetest;

class TableXmlTest : public StoreTest {
protected:
    bool Load(const std::string& body) {
        const std::string document = "<?xml version=\"1.0\"?>\n<Root>\n" + body + "\n</Root>\n";
        return LoadTableDataFromXMLBuffer(document.data(), document.size());
    }
    std::vector<RowObject*> Rows(const char* table) {
        auto result = SelectRows(table, nullptr);
        return result ? result->entries : std::vector<RowObject*>{};
    }
    // Runs the load on another thread and fails the test if it does not end in time.
    std::optional<bool> LoadBounded(const std::string& document) {
        auto load = std::async(std::launch::async, [document] {
            return LoadTableDataFromXMLBuffer(document.data(), document.size());
        });
        if (load.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ADD_FAILURE() << "load did not finish";
            load.wait();
            return std::nullopt;
        }
        return load.get();
    }
    testsupport::TempDir files_;
};

const char kAgentDocument[] =
    "<?xml version=\"1.0\"?>\n<Resources>\n"
    "  <Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"R-1042\"/>\n"
    "  <Agentparams PARAM_NAME=\"SITE\" param_Value=\"north\"/>\n"
    "</Resources>\n";

TEST_F(TableXmlTest, ResourceIdentifierScenario) {
    ASSERT_TRUE(LoadDataDictFromXMLFile((testsupport::SourceDir() / "data" / "agent_dictionary.xml").c_str()));
    // The body of an HTTP answer: not zero-terminated, followed by other bytes.
    std::string body = kAgentDocument;
    const std::size_t length = body.size();
    body += "garbage that is not part of the document";
    ASSERT_TRUE(LoadTableDataFromXMLBuffer(body.data(), length));
    auto result = SelectRows("Agentparams", "PARAM_NAME='RESOURCE_ID'");
    ASSERT_NE(result, nullptr);
    ASSERT_NE(GotoNextRowObject(result.get()), nullptr);
    std::uint32_t valueLength = 0;
    EXPECT_STREQ(GetColumnValueByName("param_Value", &valueLength, result.get()), "R-1042");
    EXPECT_EQ(valueLength, 6u);
    EXPECT_EQ(GotoNextRowObject(result.get()), nullptr);
}

TEST_F(TableXmlTest, WithoutDictionaryTheLoadFailsWithItsMessages) {
    ClearStore();
    EXPECT_FALSE(LoadTableDataFromXMLBuffer(kAgentDocument, sizeof kAgentDocument - 1));
    const std::string log = Log();
    const std::size_t row = log.find("Cannot create and add a new row while constructing tabledata from XML file.\n");
    ASSERT_NE(row, std::string::npos);
    EXPECT_NE(log.find("Cannot construct table data from XML buffer.\n", row), std::string::npos);
    EXPECT_EQ(GetTableDataByName("Agentparams"), nullptr);
}

TEST_F(TableXmlTest, ContainersAndUnknownElements) {
    EXPECT_TRUE(Load("<PlainList><Plain A=\"1\"/><Plain A=\"2\"/></PlainList><!-- note -->text"));
    EXPECT_EQ(Rows("Plain").size(), 2u);
    EXPECT_FALSE(Load("<Plain A=\"3\"/><Gadget/><Plain A=\"4\"/>"));
    EXPECT_EQ(Ints(SelectRows("Plain", nullptr).get(), 0), (std::vector<std::int32_t>{1, 2, 3}));  // no rollback
    EXPECT_TRUE(Logged("Cannot construct table data from XML buffer.\n"));
}

TEST_F(TableXmlTest, ParseFailures) {
    const std::string cases[] = {"", "<Root>", "not xml", "<Root><Plain A='1'></Root>"};
    for (const std::string& text : cases) {
        EXPECT_FALSE(LoadTableDataFromXMLBuffer(text.data(), text.size())) << text;
    }
    EXPECT_FALSE(LoadTableDataFromXMLBuffer(nullptr, 5));
    EXPECT_EQ(LoggedCount("error: could not parse file file.xml\n"), 5u);
    EXPECT_FALSE(LoadTableDataFromXMLFile((files_.path() / "missing.xml").c_str()));
    EXPECT_EQ(LoggedCount("error: could not parse file file.xml\n"), 6u);
}

TEST_F(TableXmlTest, FileEntryPoint) {
    const auto path = files_.path() / "rows.xml";
    testsupport::WriteFile(path, "<Root>\n  <Plain A=\"1\" b=\"one\" B=\"ignored\" extra=\"x\"/>\n</Root>\n");
    ASSERT_TRUE(LoadTableDataFromXMLFile(path.c_str()));
    auto rows = Rows("Plain");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_STREQ(rows[0]->values[1].data(), "one");  // first attribute of a name wins
    testsupport::WriteFile(path, "<Root><Gadget/></Root>");
    EXPECT_FALSE(LoadTableDataFromXMLFile(path.c_str()));
    EXPECT_TRUE(Logged("Cannot construct table data from XML file.\n"));
}

TEST_F(TableXmlTest, ValueFormsByColumnType) {
    struct Case {
        const char* attribute;
        const char* column;
        BYTE type;
        std::optional<std::string> text;  // as ConvertColumnValueToText gives it
    };
    const Case cases[] = {
        {"FLAG=\"FALSE\"", "FLAG", HYL_SQL_BOOLEAN, "'f'"},
        {"FLAG=\"no\"", "FLAG", HYL_SQL_BOOLEAN, "'t'"},  // anything but "false" is true
        {"FLAG=\"0\"", "FLAG", HYL_SQL_BOOLEAN, "'t'"},
        {"TXT=\"a:b:c\"", "TXT", HYL_SQL_CHARACTER, "c"},
        {"TXT=\"a:b:c:d\"", "TXT", HYL_SQL_CHARACTER, "c:d"},
        {"TXT=\"http://h:8080/x\"", "TXT", HYL_SQL_CHARACTER, "8080/x"},
        {"TXT=\"a &amp; b\"", "TXT", HYL_SQL_CHARACTER, "a & b"},
        {"TXT=\"p:q:&amp;tail\"", "TXT", HYL_SQL_CHARACTER, "&tail"},  // expanded, then the colon form
        {"TXT=\"&amp;\"", "TXT", HYL_SQL_CHARACTER, "&"},
        {"TXT=\"a text longer than a node keeps inline\"", "TXT", HYL_SQL_CHARACTER,
         "a text longer than a node keeps inline"},
        {"K=\"-2147483648\"", "K", HYL_SQL_INT, "-2147483648"},
        {"STAMP=\"2024-01-31 10:20:30\"", "STAMP", HYL_SQL_DATETIME, "2024-01-31 10:20:30"},
        {"DAY=\"2024-02-03\"", "DAY", HYL_SQL_DATE, "2024-02-03"},
        {"DAY=\"2024\"", "DAY", HYL_SQL_DATE, "2024-00-00"},  // unfilled fields are zero
        {"DAY=\"99999-1-1\"", "DAY", HYL_SQL_DATE, "NULL"},   // does not fit: NULL
        {"HOUR=\"10:20:30\"", "HOUR", HYL_SQL_TIME, "10:20:30"},
        {"USMALL=\"12\"", "USMALL", HYL_SQL_UNSIGNED_SMALLINT, "12"},
        {"REALV=\"1.5\"", "REALV", HYL_SQL_REAL, "1.500000"},
        {"DEC=\"12.50\"", "DEC", HYL_SQL_DECIMAL, "12.50"},
        {"BL=\"abc\"", "BL", HYL_SQL_BLOB, "abc"},
        {"K=\"12x\"", "K", HYL_SQL_INT, "0"},
        {"STATE=\"\"", "STATE", HYL_SQL_CHARACTER, "active"},  // empty stays NULL: default
        {"STATE=\"x\"", "STATE", HYL_SQL_CHARACTER, "x"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(DeleteAllTableRowObjects("Kinds") || !GetTableDataByName("Kinds"));
        ASSERT_TRUE(Load(std::string("<Kinds ") + c.attribute + "/>")) << c.attribute;
        auto result = SelectRows("Kinds", nullptr);
        ASSERT_EQ(result->rowCount(), 1u);
        GotoNextRowObject(result.get());
        const ColumnValue* cell = GetColumnValueCellByName(c.column, result.get());
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(ConvertColumnValueToText(*cell, c.type), c.text) << c.attribute;
    }
}

TEST_F(TableXmlTest, ReferencesShareIdentifiers) {
    ASSERT_TRUE(Load("<Pet NAME=\"rex\" OWNER_REF=\"Owner:OWNER_ID:k1\"/>"
                     "<Owner OWNER_ID=\"Owner:OWNER_ID:k1\" NAME=\"ann\"/>"
                     "<Pet NAME=\"tom\" OWNER_REF=\"Owner:OWNER_ID:k1\"/>"
                     "<Plain A=\"Plain:A:42\"/>"       // no generator on the chain: the key
                     "<CycA X=\"CycB:Y:5\"/>"));        // a cycle of keys ends, then the key
    auto pets = Rows("Pet");
    auto owners = Rows("Owner");
    ASSERT_EQ(pets.size(), 2u);
    ASSERT_EQ(owners.size(), 1u);
    const std::int32_t owner = IntOf(owners[0]->values[0]);
    EXPECT_GT(owner, 0);
    EXPECT_EQ(IntOf(pets[0]->values[1]), owner);
    EXPECT_EQ(IntOf(pets[1]->values[1]), owner);
    EXPECT_EQ(IntOf(Rows("Plain")[0]->values[0]), 42);
    EXPECT_EQ(IntOf(Rows("CycA")[0]->values[0]), 5);
}

TEST_F(TableXmlTest, NodeEntryPointReturnsTheReferenceMap) {
    const std::string document = "<Root><Owner OWNER_ID=\"Owner:OWNER_ID:k7\"/></Root>";
    xmlDoc* doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr, nullptr, XML_PARSE_NONET);
    ASSERT_NE(doc, nullptr);
    std::unique_ptr<ReferenceMap> references = LoadTableDataFromXMLNode(doc, xmlDocGetRootElement(doc));
    ASSERT_NE(references, nullptr);
    const std::int32_t owner = IntOf(Rows("Owner")[0]->values[0]);
    EXPECT_EQ(references->Find("Owner:OWNER_ID:k7"), owner);
    xmlFreeDoc(doc);
    const std::string bad = "<Root><Gadget/></Root>";
    doc = xmlReadMemory(bad.data(), static_cast<int>(bad.size()), nullptr, nullptr, XML_PARSE_NONET);
    EXPECT_EQ(LoadTableDataFromXMLNode(doc, xmlDocGetRootElement(doc)), nullptr);
    EXPECT_TRUE(Logged("Cannot construct table data from buffer node.\n"));
    xmlFreeDoc(doc);
}

TEST_F(TableXmlTest, KeysInheritedFromAncestorsAndTheSecondChild) {
    ASSERT_TRUE(Load("<Owner OWNER_ID=\"7\" NAME=\"ann\"><Pet NAME=\"rex\"/></Owner>"
                     "<Owner OWNER_ID=\"Owner:OWNER_ID:k2\"><PetList><Pet NAME=\"tom\"/></PetList></Owner>"
                     // Pretty-printed: the second child node of the row is the Owner element.
                     "<Pet NAME=\"sam\">\n  <Owner OWNER_ID=\"9\"/>\n</Pet>"
                     // Compact: no second child node, so nothing is found below.
                     "<Pet NAME=\"kit\"><Owner OWNER_ID=\"11\"/></Pet>"));
    auto pets = Rows("Pet");
    auto owners = Rows("Owner");
    ASSERT_EQ(pets.size(), 4u);
    EXPECT_EQ(IntOf(pets[0]->values[1]), 7);
    EXPECT_EQ(IntOf(pets[1]->values[1]), IntOf(owners[1]->values[0]));  // inherited reference resolves
    EXPECT_EQ(IntOf(pets[2]->values[1]), 9);
    EXPECT_TRUE(pets[3]->values[1].isNull());
    EXPECT_TRUE(Logged("Column Name : OWNER_REF\n"));
    EXPECT_TRUE(Logged("Ref Column  : OWNER_ID\n"));
    EXPECT_TRUE(Logged("Tablename : Owner\n"));
    EXPECT_TRUE(Logged("Primary key : PET_ID\n\n"));
}

TEST_F(TableXmlTest, WorkflowNextStatementZeroMeansNone) {
    ASSERT_TRUE(Load("<Workflow_Statements STATEMENT_ID=\"1\" NEXT_STATEMENT_ID=\"Workflow_Statements:STATEMENT_ID:0\"/>"
                     "<Workflow_Statements STATEMENT_ID=\"2\" NEXT_STATEMENT_ID=\"Workflow_Statements:STATEMENT_ID:9\"/>"));
    auto rows = Rows("Workflow_Statements");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(IntOf(rows[0]->values[1]), 0);
    EXPECT_EQ(IntOf(rows[1]->values[1]), 9);  // no generator: the key
}

TEST_F(TableXmlTest, DeepSelfReferenceLoadsInLinearTime) {
    CloseLog();
    std::string body;
    for (int i = 0; i < 30; ++i) body += "<Node>";
    for (int i = 0; i < 30; ++i) body += "</Node>";
    const std::optional<bool> loaded = LoadBounded("<Root>" + body + "</Root>");
    ASSERT_TRUE(loaded.has_value());
    EXPECT_TRUE(*loaded);
    EXPECT_EQ(Rows("Node").size(), 30u);

    std::string chain = "<Node NODE_ID=\"1\">";
    for (int i = 0; i < 29; ++i) chain += "<Node>";
    for (int i = 0; i < 30; ++i) chain += "</Node>";
    ASSERT_TRUE(Load(chain));
    auto rows = Rows("Node");
    EXPECT_EQ(IntOf(rows[31]->values[1]), 1);  // each inherits the nearest NODE_ID
}

TEST_F(TableXmlTest, EntitiesAreBoundedAndExternalOnesNeverRead) {
    CloseLog();
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE Root [\n<!ENTITY l0 \"lol\">\n";
    for (int i = 1; i <= 9; ++i)
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + [&] {
            std::string refs;
            for (int k = 0; k < 10; ++k) refs += "&l" + std::to_string(i - 1) + ";";
            return refs;
        }() + "\">\n";
    laughs += "]>\n<Root><Plain B=\"&l9;\"/></Root>\n";
    const std::optional<bool> laughed = LoadBounded(laughs);
    ASSERT_TRUE(laughed.has_value());
    for (RowObject* row : Rows("Plain")) EXPECT_LE(row->values[1].length, 1u << 20);

    const auto secret = files_.path() / "secret.txt";
    testsupport::WriteFile(secret, "TOP-SECRET");
    const std::string external = "<?xml version=\"1.0\"?>\n<!DOCTYPE Root [\n<!ENTITY x SYSTEM \"file://" +
                                 secret.string() + "\">\n]>\n<Root><Plain A=\"1\" B=\"&x;\"/></Root>\n";
    const std::optional<bool> loaded = LoadBounded(external);
    ASSERT_TRUE(loaded.has_value());
    for (RowObject* row : Rows("Plain")) {
        if (row->values[1].isNull()) continue;
        EXPECT_EQ(std::string(row->values[1].data()).find("TOP-SECRET"), std::string::npos);
    }
}

TEST_F(TableXmlTest, UrlLikePathIsNeverFetched) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/rows.xml";
    EXPECT_FALSE(LoadTableDataFromXMLFile(url.c_str()));
    ::fcntl(listener, F_SETFL, O_NONBLOCK);
    EXPECT_LT(::accept(listener, nullptr, nullptr), 0);  // nobody connected
    ::close(listener);
}

TEST_F(TableXmlTest, ConcurrentLoadsBesideADictionaryRead) {
    CloseLog();
    const char* tables[] = {"Plain", "Owner", "Node", "Kinds"};
    std::vector<std::future<bool>> loads;
    for (const char* table : tables) {
        loads.push_back(std::async(std::launch::async, [table] {
            std::string document = "<Root>";
            for (int i = 0; i < 300; ++i) document += std::string("<") + table + " A=\"" + std::to_string(i) + "\"/>";
            document += "</Root>";
            return LoadTableDataFromXMLBuffer(document.data(), document.size());
        }));
    }
    // Readers select from a table the loads are filling: each sees a growing prefix.
    std::atomic<bool> consistent{true};
    auto reader = std::async(std::launch::async, [&] {
        std::size_t previous = 0;
        while (GetLiveRowCount("Plain") < 300 && consistent) {
            auto result = SelectRows("Plain", "A>=0");
            const std::size_t rows = result ? result->rowCount() : 0;
            if (rows < previous) consistent = false;
            previous = rows;
        }
    });
    auto dictionary = std::async(std::launch::async, [] {
        bool ok = true;
        for (int i = 0; i < 20; ++i)
            ok &= LoadDataDictFromXMLFile((testsupport::SourceDir() / "data" / "agent_dictionary.xml").c_str());
        return ok;
    });
    for (auto& load : loads) EXPECT_TRUE(load.get());
    EXPECT_TRUE(dictionary.get());
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(consistent.load());
    for (const char* table : tables) EXPECT_EQ(GetLiveRowCount(table), 300u) << table;
}

}  // namespace
