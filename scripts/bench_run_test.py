#!/usr/bin/env python3
"""How bench/run pairs benchmarks with their baselines and judges the goals: medians of
repetitions, option parts of names, explicit baselines, counters, and goals whose
benchmark, baseline or counter is missing or failed."""
import importlib.machinery
import importlib.util
import json
import unittest
from pathlib import Path

loader = importlib.machinery.SourceFileLoader("bench_run", str(Path(__file__).parent.parent / "bench" / "run"))
spec = importlib.util.spec_from_loader("bench_run", loader)
bench_run = importlib.util.module_from_spec(spec)
loader.exec_module(bench_run)


def result(name, real_time, unit="ms", **fields):
    return dict(name=name, run_name=name, run_type="iteration", real_time=real_time, cpu_time=real_time,
                time_unit=unit, iterations=1, **fields)


def median(name, real_time, unit="ms", **fields):
    return dict(result(name, real_time, unit, **fields), run_type="aggregate", aggregate_name="median",
                name=name + "_median")


def verdicts(goals, results):
    return [(row["figure"], row["verdict"], None if row["value"] is None else round(row["value"], 3))
            for row in bench_run.judge(goals, results)]


class Judging(unittest.TestCase):
    def test_ratio_goals(self):
        goal = dict(benchmark="BM_W/*", min=0.8, what="w")
        cases = [
            ("rates compare, option parts dropped",
             [result("BM_W/1000/real_time", 2, items_per_second=90.0),
              result("BM_W_Baseline/1000/real_time", 1, items_per_second=100.0)],
             [("BM_W/1000", "met", 0.9)]),
            ("times compare without rates, across units",
             [result("BM_W/10", 500, unit="us"), result("BM_W_Baseline/10/iterations:20", 1, unit="ms")],
             [("BM_W/10", "met", 2.0)]),
            ("each size is its own figure",
             [result("BM_W/1", 10), result("BM_W_Baseline/1", 5), result("BM_W/2", 10), result("BM_W_Baseline/2", 9)],
             [("BM_W/1", "missed", 0.5), ("BM_W/2", "met", 0.9)]),
            ("no baseline of the same size",
             [result("BM_W/1", 10), result("BM_W_Baseline/2", 5)],
             [("BM_W/1", "not run", None)]),
            ("the benchmark failed",
             [result("BM_W/1", 10, error_occurred=True), result("BM_W_Baseline/1", 5)],
             [("BM_W/1", "error", None)]),
            ("the baseline failed",
             [result("BM_W/1", 10), result("BM_W_Baseline/1", 5, error_occurred=True)],
             [("BM_W/1", "error", None)]),
            ("nothing ran", [result("BM_Other", 1)], [("BM_W/*", "not run", None)]),
            ("the median of repetitions, not a single run",
             [result("BM_W/1", 1), median("BM_W/1", 10), result("BM_W_Baseline/1", 100), median("BM_W_Baseline/1", 9)],
             [("BM_W/1", "met", 0.9)]),
        ]
        for label, results, expected in cases:
            with self.subTest(label):
                self.assertEqual(verdicts([goal], results), expected)

    def test_explicit_baseline_has_the_same_arguments(self):
        goal = dict(benchmark="BM_Save/*", against="BM_Prepared", min=0.5, what="save")
        results = [result("BM_Save/100000/iterations:2/real_time", 800),
                   result("BM_Prepared/100000/iterations:2/real_time", 436),
                   result("BM_Save_Baseline/100000", 1)]
        rows = bench_run.judge([goal], results)
        self.assertEqual([(r["figure"], r["against"], r["verdict"]) for r in rows],
                         [("BM_Save/100000", "BM_Prepared/100000", "met")])
        self.assertAlmostEqual(rows[0]["value"], 436 / 800)

    def test_counter_goals(self):
        bound = dict(benchmark="BM_Handler", counter="overhead_ms", max=15.0, unit="ms", what="h")
        per = dict(benchmark="BM_Insert", counter="bytes_per_row", per="sqlite_bytes_per_row", max=1.5, what="m")
        at_least = dict(benchmark="BM_Turns/*", counter="loop_ms", per="load_ms", min=0.8, what="t")
        cases = [
            ("under the bound", [bound], [result("BM_Handler/iterations:20/real_time", 30, overhead_ms=14.0)],
             [("BM_Handler", "met", 14.0)]),
            ("over the bound", [bound], [result("BM_Handler", 30, overhead_ms=15.5)], [("BM_Handler", "missed", 15.5)]),
            ("counter missing", [bound], [result("BM_Handler", 30)], [("BM_Handler", "not run", None)]),
            ("against another counter", [per],
             [result("BM_Insert/iterations:3", 1, bytes_per_row=130.0, sqlite_bytes_per_row=91.0)],
             [("BM_Insert", "met", 1.429)]),
            ("the other counter missing", [per], [result("BM_Insert", 1, bytes_per_row=130.0)],
             [("BM_Insert", "not run", None)]),
            ("the other counter zero", [per], [result("BM_Insert", 1, bytes_per_row=1.0, sqlite_bytes_per_row=0.0)],
             [("BM_Insert", "not run", None)]),
            ("a lower bound met, each size its own figure", [at_least],
             [result("BM_Turns/10/manual_time", 1, loop_ms=40.0, load_ms=45.0),
              result("BM_Turns/20/manual_time", 1, loop_ms=30.0, load_ms=40.0)],
             [("BM_Turns/10", "met", 0.889), ("BM_Turns/20", "missed", 0.75)]),
            ("a lower bound, the median of repetitions", [at_least],
             [result("BM_Turns/10", 1, loop_ms=10.0, load_ms=40.0),
              median("BM_Turns/10", 1, loop_ms=36.0, load_ms=40.0)],
             [("BM_Turns/10", "met", 0.9)]),
        ]
        for label, goals, results, expected in cases:
            with self.subTest(label):
                self.assertEqual(verdicts(goals, results), expected)


class Output(unittest.TestCase):
    def test_every_goal_is_in_the_table_and_the_json(self):
        results = [result("BM_RegistryWrite/1000/real_time", 2, items_per_second=90.0),
                   result("BM_RegistryWrite_Baseline/1000/real_time", 1, items_per_second=100.0)]
        rows = bench_run.judge(bench_run.GOALS, results)
        table = bench_run.goal_table(rows).splitlines()
        self.assertEqual(len(table), 2 + len(rows))
        self.assertIn("| `BM_RegistryWrite/1000 vs BM_RegistryWrite_Baseline/1000` |", table[2 + [
            r["figure"] for r in rows].index("BM_RegistryWrite/1000")])
        # The goals of benchmarks that did not run are said to be so, never passed.
        self.assertEqual({r["verdict"] for r in rows}, {"met", "not run"})
        self.assertEqual(len(rows), len(bench_run.GOALS))
        figures = json.loads(json.dumps(bench_run.figures(results, rows)))
        write = next(f for f in figures if f["name"] == "BM_RegistryWrite/1000/real_time")
        self.assertAlmostEqual(write["ratio"], 0.9)
        self.assertEqual([(g["goal"], g["verdict"]) for g in write["goals"]], [("at least 0.8x", "met")])
        baseline = next(f for f in figures if f["name"] == "BM_RegistryWrite_Baseline/1000/real_time")
        self.assertNotIn("ratio", baseline)
        self.assertEqual(baseline["goals"], [])


if __name__ == "__main__":
    unittest.main()
