// Fuzz target: criteria strings through parsing, printing, resolution and evaluation,
// and the text/value conversions on every column type.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/criteria/criteria.h"

namespace {

// One column of every type code, named a0..a22 (and A0.. by case folding).
struct Columns {
    std::string names[23];
    CriteriaColumn columns[23];
    Columns() {
        for (int i = 0; i < 23; ++i) {
            names[i] = "a" + std::to_string(i);
            columns[i] = {names[i], static_cast<std::uint8_t>(i)};
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Columns table;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The row: the same bytes converted to every type, some left NULL.
    ColumnValue row[23];
    const std::string asText(text.substr(0, text.find('\0')));
    for (int type = 0; type < 23; ++type) {
        if ((size + type) % 5 == 0) continue;
        std::uint32_t length = static_cast<std::uint32_t>(asText.size());
        row[type] = ConvertTextToColumnValue(asText.c_str(), static_cast<std::uint8_t>(type), &length);
        (void)ConvertColumnValueToText(row[type], static_cast<std::uint8_t>(type));
    }

    CriteriaParserLock lock;
    CriteriaTree tree = ParseCriteria(text);
    if (tree) {
        // Oracle: the printed tree parses back to an equal tree and prints the same again.
        const std::optional<std::string> printed = PrintCriteria(tree.get());
        if (!printed) __builtin_trap();
        CriteriaTree again = ParseCriteria(*printed);
        if (!again || !CriteriaTreesEqual(tree.get(), again.get())) __builtin_trap();
        if (PrintCriteria(again.get()) != printed) __builtin_trap();
        ResolveCriteria(table.columns, tree.get());
        (void)EvaluateCriteria(tree.get(), row);
    }
    FreeCriteriaTree(std::move(tree));
    return 0;
}
