#!/usr/bin/env python3
"""Runs one benchmark program with Google Benchmark's flags and checks a tool can read the result.

  check_report.py PROGRAM FILTER OUT_FILE NAME...

The program runs with --benchmark_format=json, --benchmark_out=OUT_FILE, --benchmark_filter=FILTER
and a short --benchmark_min_time. Standard output must be one JSON report and nothing else, listing
exactly the benchmarks NAME... without errors; the --benchmark_out file must hold the same; a
benchmark whose one iteration takes several times the minimum time must have run once (the flag, not
a count fixed in the program, decides; the margin keeps an iteration near the limit from counting).
"""
import json
import os
import subprocess
import sys

MIN_TIME = 0.01
UNIT_SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def fail(why, stdout=None):
    print(f"FAIL: {why}", file=sys.stderr)
    if stdout is not None:
        print("--- standard output ---", file=sys.stderr)
        print(stdout[:4000], file=sys.stderr)
    sys.exit(1)


def names(report, where):
    runs = report.get("benchmarks")
    if not isinstance(runs, list):
        fail(f"{where}: no benchmarks list")
    return [r.get("name") for r in runs]


def main():
    if len(sys.argv) < 5:
        fail("usage: check_report.py PROGRAM FILTER OUT_FILE NAME...")
    program, flt, out_file, expected = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    if os.path.exists(out_file):
        os.remove(out_file)
    cmd = [program, "--benchmark_format=json", f"--benchmark_out={out_file}", "--benchmark_out_format=json",
           f"--benchmark_filter={flt}", f"--benchmark_min_time={MIN_TIME}"]
    p = subprocess.run(cmd, stdout=subprocess.PIPE, text=True)
    if p.returncode != 0:
        fail(f"{' '.join(cmd)} exited with {p.returncode}", p.stdout)
    try:
        report = json.loads(p.stdout)
    except json.JSONDecodeError as e:
        fail(f"standard output is not one JSON document: {e}", p.stdout)
    got = names(report, "standard output")
    if sorted(got) != sorted(expected):
        fail(f"standard output lists {got}, expected {expected}")
    for r in report["benchmarks"]:
        if r.get("error_occurred"):
            fail(f"{r['name']}: {r.get('error_message')}")
        seconds = r["real_time"] * UNIT_SECONDS[r["time_unit"]]
        if seconds >= 5 * MIN_TIME and r["iterations"] != 1:
            fail(f"{r['name']}: {r['iterations']} iterations of {seconds:.3f} s under --benchmark_min_time={MIN_TIME}")
    try:
        with open(out_file) as f:
            written = json.load(f)
    except (OSError, json.JSONDecodeError) as e:
        fail(f"--benchmark_out file {out_file}: {e}")
    if sorted(names(written, out_file)) != sorted(expected):
        fail(f"{out_file} lists {names(written, out_file)}, expected {expected}")


if __name__ == "__main__":
    main()
