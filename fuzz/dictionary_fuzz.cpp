// Fuzz target: dictionary files through the streaming reader, the tag tree, the
// definitions built from it, their lookups, printing and removal.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "runtime/log.h"
#include "store/dictionary/dictionary.h"

namespace {

// A private folder for the input file, and the log sent to /dev/null at TRACE so that
// every message is formatted.
std::string InputPath() {
    static const std::string path = [] {
        char folder[] = "/tmp/dictionary-fuzz-XXXXXX";
        const char* made = mkdtemp(folder);
        SetLogDefaults();
        ConfigureLog("null", "/dev", 4);
        OpenLog();
        return std::string(made ? made : "/tmp") + "/input.xml";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = InputPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    LoadDataDictFromXMLFile(path.c_str());
    PrintDataDictionary();
    for (VectorNode* node = gv_dataDictionary.first.get(); node; node = node->next.get()) {
        const TableDefn* defn = ElementOf<TableDefn>(node);
        for (const auto& column : defn->columns) {
            BYTE found = 0;
            GetDefaultValue(defn->name.c_str(), column->name.c_str(), &found);
            GetForeignKeyDefn(defn, column->name.c_str());
        }
    }
    RemoveAllTableDefns();
    return 0;
}
