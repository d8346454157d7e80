// Fuzz target: the registry hive file (the registry export format) as the host layer reads
// it. Whatever the reader makes of a document, writing that hive and reading the text back
// must give the same hive, and writing it again the same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/src/registry_hive.h"

namespace {

using host::reg::Key;

bool SameKey(const Key& a, const Key& b) {
    if (a.name != b.name || a.values.size() != b.values.size() || a.subkeys.size() != b.subkeys.size()) return false;
    for (size_t i = 0; i < a.values.size(); ++i) {
        const auto& va = a.values[i];
        const auto& vb = b.values[i];
        if (va.name != vb.name || va.type != vb.type || va.data != vb.data) return false;
    }
    for (size_t i = 0; i < a.subkeys.size(); ++i)
        if (!SameKey(*a.subkeys[i], *b.subkeys[i])) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Key first{WideString(host::reg::kRootName)};
    host::reg::ParseReport report;
    host::reg::ParseRegText(bytes, first, &report);

    const std::string written = host::reg::FormatRegText(first, host::reg::kRootName);
    Key second{WideString(host::reg::kRootName)};
    host::reg::ParseReport secondReport;
    host::reg::ParseRegText(written, second, &secondReport);
    // What the writer produces the reader takes whole, and it holds the same hive.
    if (!secondReport.skipped.empty() || !secondReport.hasHeader) __builtin_trap();
    if (!SameKey(first, second)) __builtin_trap();
    if (host::reg::FormatRegText(second, host::reg::kRootName) != written) __builtin_trap();
    // The copy the store hands out is the same hive too.
    const Key copy(second);
    if (!SameKey(copy, second)) __builtin_trap();
    return 0;
}
