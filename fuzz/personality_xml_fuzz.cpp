// Fuzz target: personality definition files (PersonalityConfiguration, ConstituentTable,
// DominantTableConfig) through CreatePersonalityFromXMLFile, with no database behind the
// store (index tables cannot be created). Loading the same file twice gives the same
// definitions and configurations.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "store/persistence/persistence.h"

namespace {

const std::string& DocumentPath() {
    static const std::string path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "personality-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) __builtin_trap();
        return pattern + "/personalities.xml";
    }();
    return path;
}

// Everything the registry holds, as text.
std::string Snapshot() {
    std::string text;
    for (const std::string& dominant : GetDominantTables()) {
        text += "dominant " + dominant;
        if (const DominantTableConfig* config = GetDominantTableConfig(dominant.c_str()))
            text += " indexed " + std::to_string(config->indexed) + " limit " + std::to_string(config->nonIndexLimit);
        text += "\n";
    }
    for (VectorNode* node = gv_personalityDefnVect.first.get(); node; node = node->next.get()) {
        const auto* defn = static_cast<const PersonalityDefn*>(node->element);
        if (!defn) __builtin_trap();
        const PersonalityDefn* found = GetPersonalityDefn(defn->name.c_str());
        if (!found) __builtin_trap();  // every definition is found by its name
        text += defn->name + "|" + defn->dominantTable + "|" + defn->description + "\n";
        for (const ConstituentTable& c : defn->constituents)
            text += "  " + c.dominantTable + "|" + c.table + "|" + std::to_string(c.tableIndex) + "|" +
                    std::to_string(c.mandatory) + "|" + c.fkConstraintId + "\n";
    }
    return text;
}

std::string Load(const std::string& path) {
    if (InitPersonality() != 1) __builtin_trap();
    const BYTE loaded = CreatePersonalityFromXMLFile(path.c_str());
    std::string snapshot = std::to_string(loaded) + "\n" + Snapshot();
    FreeAllPersonalityDefns();
    return snapshot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = DocumentPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) __builtin_trap();
    if (size) std::fwrite(data, 1, size, file);
    std::fclose(file);
    if (Load(path) != Load(path)) __builtin_trap();
    return 0;
}
