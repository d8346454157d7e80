// Criteria expressions: parsing a typical criteria string, and evaluating a parsed and
// resolved tree on each of 1M rows of typed values (text, integer, big integer, unsigned integer),
// against the same test written directly in C++ over the same values.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "store/store.h"

namespace {

constexpr const char* kCriteria = "PARAM_NAME='RESOURCE_ID' and (HITS>=500000 or SIZE_BYTES<1000) and FLAGS!=1";
constexpr int kRows = 1000000;

const CriteriaColumn kColumns[] = {{"PARAM_NAME", 15}, {"HITS", 5}, {"SIZE_BYTES", 7}, {"FLAGS", 6}};

using Row = std::vector<ColumnValue>;

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = [] {
        std::vector<Row> out;
        out.reserve(kRows);
        for (int i = 0; i < kRows; ++i) {
            const std::string name = i % 7 == 0 ? "RESOURCE_ID" : "PARAM_" + std::to_string(i % 97);
            Row row;
            row.push_back(ConvertTextToColumnValue(name.c_str(), 15, nullptr));
            row.push_back(ConvertTextToColumnValue(std::to_string(i).c_str(), 5, nullptr));
            row.push_back(ConvertTextToColumnValue(std::to_string(static_cast<long long>(i) * 37 % 5000).c_str(), 7, nullptr));
            row.push_back(ConvertTextToColumnValue(i % 2 ? "1" : "2", 6, nullptr));
            out.push_back(std::move(row));
        }
        return out;
    }();
    return rows;
}

void BM_CriteriaParse(benchmark::State& state) {
    for (auto _ : state) {
        CriteriaParserLock lock;
        CriteriaTree tree = ParseCriteria(kCriteria);
        if (!tree) state.SkipWithError("criteria did not parse");
        ResolveCriteria(kColumns, tree.get());
        benchmark::DoNotOptimize(tree);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CriteriaParse);

void BM_CriteriaEvaluate(benchmark::State& state) {
    const std::vector<Row>& rows = Rows();
    CriteriaTree tree;
    {
        CriteriaParserLock lock;
        tree = ParseCriteria(kCriteria);
    }
    ResolveCriteria(kColumns, tree.get());
    std::int64_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const Row& row : rows) matched += EvaluateCriteria(tree.get(), row);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    state.counters["matched_rows"] = static_cast<double>(matched);
}
BENCHMARK(BM_CriteriaEvaluate)->Unit(benchmark::kMillisecond);

// The same test, written out by hand over the same in-memory values.
void BM_CriteriaEvaluate_Baseline(benchmark::State& state) {
    const std::vector<Row>& rows = Rows();
    std::int64_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const Row& row : rows) {
            if (row[0].isNull() || std::strcmp(row[0].data(), "RESOURCE_ID") != 0) continue;
            const auto hits = row[1].As<std::int32_t>();
            const auto size = row[2].As<std::int64_t>();
            const auto flags = row[3].As<std::uint32_t>();
            if (!hits || !size || !flags) continue;
            matched += (*hits >= 500000 || *size < 1000) && *flags != 1;
        }
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    state.counters["matched_rows"] = static_cast<double>(matched);
}
BENCHMARK(BM_CriteriaEvaluate_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
