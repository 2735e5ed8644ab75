#!/usr/bin/python3
"""The Python binding's cost per pulled frame against the C call alone, on a 1080p identity.

    bench_binding.py [BUNDLE] [--benchmark_format=json] [--benchmark_out=FILE] [--benchmark_filter=RE]
                     [--benchmark_min_time=SECONDS]

A Python program cannot be a Google Benchmark binary, so this script times the pairs itself and
writes Google Benchmark's JSON report to standard output (and to --benchmark_out), with each pair's
speed-up on standard error, as the C++ programs do. Each iteration waits, untimed, for the session to
have a frame ready, then times one pull:

  BM_PullFrame1080p/baseline      vesk_utt_pull_frame through a bare ctypes function with its
                                  arguments built beforehand, into one reused buffer: the C call
                                  and its copy of the frame (ctypes' own dispatch, about a
                                  microsecond, is in it too: Python cannot call C without it)
  BM_PullFrame1080p/vesk          Session.pull(): a new (H, W, 3) array per frame
  BM_PullFrameInto1080p/baseline  the same C call again
  BM_PullFrameInto1080p/vesk      Session.pull(out=buf) into one reused array

Both binding forms make one copy of the frame, the library's own into the caller's array. Real time
is wall time; CPU time is the calling thread's. The two of a pair are timed alternately, frame by
frame, so that both meet the same load from the session's own threads.
"""

from __future__ import annotations

import ctypes
import datetime
import json
import os
import re
import socket
import sys
import time
from typing import Callable, Dict, List

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

import numpy as np  # noqa: E402

import vesk  # noqa: E402
from vesk import _lib  # noqa: E402  (the bare C function for the baseline)


def parse_args(argv: List[str]) -> Dict[str, str]:
    opts = {"bundle": os.path.join(HERE, "..", "build", "release", "bundles", "demo"), "min_time": "0.3"}
    for a in argv:
        if a.startswith("--benchmark_"):
            key, _, value = a[2:].partition("=")
            opts[key[len("benchmark_") :]] = value
        else:
            opts["bundle"] = a
    return opts


def wait_frame(session: vesk.Session) -> None:
    deadline = time.monotonic() + 30
    while session.frames_available == 0:  # untimed: the session renders at its own pace
        if time.monotonic() > deadline:
            raise SystemExit("bench_binding: no frame for 30 s")
        time.sleep(0.0005)


def measure_pair(
    session: vesk.Session, fns: Dict[str, Callable[[], object]], min_time: float, min_iters: int
) -> Dict[str, Dict[str, float]]:
    """Times the pair's pulls alternately, one frame each, so that both meet the same load from the
    session's own threads and the same state of the caches."""
    wall = {k: [] for k in fns}
    cpu = {k: [] for k in fns}
    order = list(fns.items())
    while min(len(v) for v in wall.values()) < min_iters or min(sum(v) for v in wall.values()) < min_time:
        # The first pull of a round often meets an idle session, the second one the renderer that
        # the first pull woke; alternating the order shares that out.
        order.reverse()
        for k, fn in order:
            wait_frame(session)
            c0, w0 = time.thread_time_ns(), time.perf_counter_ns()
            got = fn()
            w1, c1 = time.perf_counter_ns(), time.thread_time_ns()
            if not got:
                raise SystemExit("bench_binding: a frame said to be ready was not pulled")
            wall[k].append((w1 - w0) * 1e-9)
            cpu[k].append((c1 - c0) * 1e-9)
    return {
        k: {
            "iterations": len(wall[k]),
            "real_time": float(np.mean(wall[k])) * 1e6,
            "cpu_time": float(np.mean(cpu[k])) * 1e6,
            "median_real_us": float(np.median(wall[k])) * 1e6,
        }
        for k in fns
    }


def main() -> None:
    o = parse_args(sys.argv[1:])
    min_time = float(o["min_time"].rstrip("s"))
    # Under a tiny --benchmark_min_time (a smoke run) one timed pull is enough.
    min_iters = 1 if min_time < 0.05 else 50
    flt = re.compile(o.get("filter", ".") or ".")

    ctx = vesk.Context(o["bundle"])
    session = vesk.Session(ctx, end_silence_s=-1)
    session.wait_ready()
    h, w = ctx.height, ctx.width
    nbytes = h * w * 3
    buf = np.empty((h, w, 3), np.uint8)
    buf.fill(0)  # pages touched once, as a host's display buffer would be
    out = np.empty((h, w, 3), np.uint8)
    out.fill(0)

    raw = _lib.lib().vesk_utt_pull_frame
    ptr = session._native.ptr
    addr = buf.ctypes.data
    info = _lib.vesk_utt_frame_info()
    info_addr = ctypes.addressof(info)

    def baseline() -> bool:
        return raw(ptr, addr, nbytes, info_addr) == 1

    pairs = [
        ("BM_PullFrame1080p", lambda: session.pull()),
        ("BM_PullFrameInto1080p", lambda: session.pull(out=out)),
    ]
    runs = []
    for name, binding in pairs:
        fns = {v: f for v, f in (("baseline", baseline), ("vesk", binding)) if flt.search(f"{name}/{v}")}
        if not fns:
            continue
        for variant, r in measure_pair(session, fns, min_time, min_iters).items():
            full = f"{name}/{variant}"
            runs.append(
                {
                    "name": full,
                    "family_index": len(runs),
                    "per_family_instance_index": 0,
                    "run_name": full,
                    "run_type": "iteration",
                    "repetitions": 1,
                    "repetition_index": 0,
                    "threads": 1,
                    "iterations": r["iterations"],
                    "real_time": r["real_time"],
                    "cpu_time": r["cpu_time"],
                    "time_unit": "us",
                    "median_real_us": r["median_real_us"],
                    "frame_bytes": nbytes,
                    "copies": 1,
                }
            )
    session.close()
    ctx.close()
    runs.sort(key=lambda r: r["name"])
    for i, r in enumerate(runs):
        r["family_index"] = i

    report = {
        "context": {
            "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
            "host_name": socket.gethostname(),
            "executable": os.path.abspath(__file__),
            "num_cpus": os.cpu_count(),
            "library_build_type": "release",
            "library": vesk.library_path(),
            "python": sys.version.split()[0],
            "frame": f"{w}x{h}",
        },
        "benchmarks": runs,
    }
    text = json.dumps(report, indent=2)
    print(text)
    if o.get("out"):
        with open(o["out"], "w", encoding="utf-8") as f:
            f.write(text + "\n")
    by = {r["name"]: r for r in runs}
    for name, _ in pairs:
        b, v = by.get(f"{name}/baseline"), by.get(f"{name}/vesk")
        if b and v:
            print(
                f"{name}: binding overhead {v['real_time'] - b['real_time']:.1f} us per frame, median "
                f"{v['median_real_us'] - b['median_real_us']:.1f} us "
                f"(baseline {b['real_time']:.1f} us, vesk {v['real_time']:.1f} us; speed-up wall "
                f"{b['real_time'] / v['real_time']:.2f}, cpu {b['cpu_time'] / v['cpu_time']:.2f})",
                file=sys.stderr,
            )


if __name__ == "__main__":
    main()
