// Fuzz target: the configuration files of the store's data folder. The first byte picks
// the file, the rest is its content, read by the store's own reader from a private root:
//   0 connparams.txt, 1 dsn_table_map.txt, 2 loadtablelist.txt, 3 savetableslist.txt,
//   4 defaultdata.txt (the data folder also holds defaults.xml), 5 datadictionary.txt.
// No database is configured, so loads and saves fail at the connection, after the reading.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/store_fuzz_common.h"
#include "store/persistence/persistence.h"

namespace {

const char* const kFiles[] = {"connparams.txt",    "dsn_table_map.txt", "loadtablelist.txt",
                              "savetableslist.txt", "defaultdata.txt",   "datadictionary.txt"};
constexpr std::size_t kFileCount = sizeof kFiles / sizeof kFiles[0];

// A table-data document the defaultdata.txt seeds name.
constexpr char kDefaults[] =
    "<?xml version=\"1.0\"?>\n<Root><Parent P_ID=\"1\" REGION=\"2\" NAME=\"a\"/>"
    "<Child C_ID=\"1\" P_REF=\"1\" REGION=\"2\"/><AllTypes C5=\"7\"/></Root>\n";

std::string root;
std::string data;

bool WriteFile(const std::string& path, const void* bytes, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(bytes, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

void RemoveRoot() {
    for (const char* name : kFiles) std::remove((data + "/" + name).c_str());
    std::remove((data + "/dictionary.xml").c_str());
    std::remove((data + "/defaults.xml").c_str());
    ::rmdir(data.c_str());
    ::rmdir(root.c_str());
}

void LoadDictionary() {
    LoadDataDictFromXMLFile((data + "/dictionary.xml").c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    storefuzz::Setup();
    char name[] = "/tmp/store-config-fuzz-XXXXXX";
    if (!mkdtemp(name)) abort();
    root = name;
    data = root + "/data";
    if (::mkdir(data.c_str(), 0700) != 0) abort();
    std::atexit(RemoveRoot);
    const std::string dictionary(storefuzz::kDictionary);
    if (!WriteFile(data + "/dictionary.xml", dictionary.data(), dictionary.size()) ||
        !WriteFile(data + "/defaults.xml", kDefaults, sizeof kDefaults - 1))
        abort();
    SetQuennetRoot(root.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t kind = bytes[0] % kFileCount;
    const std::string path = data + "/" + kFiles[kind];
    if (!WriteFile(path, bytes + 1, size - 1)) abort();

    switch (kind) {
        case 0:
            LoadConnParamsEntryFromFile(path.c_str());
            for (const ConnectionParams* params : GetAllConnectionParams()) {
                if (GetConnectionParams(params->connName.c_str()) == nullptr) __builtin_trap();
                GetConnectionProviderName(params->connName.c_str());
                GetConnectionDatabaseType(params->connName.c_str());
            }
            GetFirstConnectionName();
            break;
        case 1:
            LoadDataSourceMapEntryFromFile(path.c_str());
            SetDSNMapValid(1, 0);
            for (const char* table : {"AllTypes", "Parent", "Child", "CycA"}) {
                GetTableConnectionName(table);
                GetTableDialect(table);
            }
            SetDSNMapValid(0, 0);
            break;
        case 2:
            LoadAllTablesFromFile(path.c_str());
            break;
        case 3:
            SaveTablesFromList();
            break;
        case 4:
            SaveDefaultData();
            break;
        case 5:
            LoadDataDictFiles(data.c_str());
            // Back to the one dictionary every input starts from.
            RemoveAllTableDefns();
            LoadDictionary();
            break;
    }

    std::remove(path.c_str());
    storefuzz::DropTables();
    FreeAllDataSourceMapEntries();
    FreeAllConnectionParams();
    return 0;
}
