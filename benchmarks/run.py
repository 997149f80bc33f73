"""Time tarnwick against the floor of any list-in, list-out indicator and against
peer libraries, on the same data in the same run.

    python benchmarks/run.py [--quick] [--note TEXT]
    python benchmarks/run.py --stream-only [--stream-runs N] [--quick]
    python benchmarks/run.py --frames [--quick]

Prints the tables and writes docs/benchmarks.md and docs/benchmarks.png;
--stream-only prints only the tarnwick_stream tables, and replaces them in a
report only when one is named with --out (the tracked report stays as it is).
With --frames, prints only the table of ADX over pandas, polars and Arrow
inputs (tarnwick_frames) against float64 arrays and TA-Lib's own wrappers.
Uses whatever tarnwick is installed in the running interpreter.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import os
import platform
import sys
import time
from pathlib import Path

import numpy as np
from suite.arrays import render_arrays, run_arrays
from suite.common import (
    FUNCTIONS,
    KINDS,
    PEER_DISTS,
    ROOT,
    SERIES,
    SIZES,
    TARNWICK,
    Settings,
    available_peers,
    build_floor,
    command_line,
    cpu_model,
    fmt_ns,
    make_data,
    run_cell,
    single_call_ns,
    version_of,
)
from suite.frames import render_frames, run_frames
from suite.lists import contenders, plot, render
from suite.streams import render_stream, run_stream, splice_stream


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, shorter batches")
    parser.add_argument("--note", default="", help="conditions of this run, written to the report")
    parser.add_argument(
        "--out",
        default=None,
        help="markdown report to write ('' to write none; default: docs/benchmarks.md,"
        " or none with --stream-only)",
    )
    parser.add_argument(
        "--sizes", default=",".join(map(str, SIZES)), help="comma-separated n values"
    )
    parser.add_argument(
        "--no-arrays",
        dest="arrays",
        action="store_false",
        help="leave out the tarnwick_arrays tables",
    )
    parser.add_argument(
        "--no-stream",
        dest="stream",
        action="store_false",
        help="leave out the tarnwick_stream tables",
    )
    parser.add_argument(
        "--stream-only",
        action="store_true",
        help="run only the tarnwick_stream tables and replace them in the report",
    )
    parser.add_argument(
        "--stream-runs",
        type=int,
        default=1,
        help="times the stream tables are measured over, for the spread between runs",
    )
    parser.add_argument(
        "--frames", action="store_true", help="only the table of pandas, polars and Arrow inputs"
    )
    args = parser.parse_args()
    if args.stream_only:
        return stream_only(args)
    if args.out is None:
        args.out = str(ROOT / "docs" / "benchmarks.md")
    settings = Settings(args.quick)
    if args.frames:
        print(render_frames(run_frames(settings)))
        return 0
    sizes = tuple(int(s) for s in args.sizes.split(","))

    started = datetime.datetime.now(datetime.UTC)
    load_start = os.getloadavg() if hasattr(os, "getloadavg") else None
    t_start = time.perf_counter()
    floor = build_floor()
    peers = available_peers()
    data = make_data(max(sizes))
    print(f"CPU: {cpu_model()} ({os.cpu_count()} logical cores)")
    print(
        f"Python {platform.python_version()} ({platform.python_implementation()}), "
        f"tarnwick {version_of('tarnwick')}, numpy {np.__version__}"
    )
    print(
        "peers: " + ", ".join(f"{p} {version_of(d)}" for p, d in PEER_DISTS.items() if p in peers)
    )
    missing = [p for p in PEER_DISTS if p not in peers]
    if missing:
        print("peers not installed: " + ", ".join(missing))

    # results[function][kind][n][library] = ("ok", s/call) | ("skipped", s) | ("error", text)
    results: dict = {f: {k: {} for k in KINDS} for f in FUNCTIONS}
    single: dict = {f: {} for f in FUNCTIONS}
    gc.collect()
    for function in FUNCTIONS:
        for kind in KINDS:
            projected: dict = {}
            for n in sizes:
                inputs = {}
                for s in SERIES[function] + (("close",) if function == "SAR" else ()):
                    a = np.ascontiguousarray(data[s][:n])
                    inputs[s] = a.tolist() if kind == "list" else a
                cands = contenders(function, kind, inputs, floor, peers)
                cell = run_cell(cands, n, settings, projected)
                results[function][kind][n] = cell
                for name, (status, value) in cell.items():
                    if status == "ok":
                        projected[name] = value / n
                if n == 10:
                    single[function][kind] = single_call_ns(cands, settings)
                print(
                    f"  {function:5} {kind:5} n={n:>9,}  tarnwick "
                    f"{fmt_ns(cell[TARNWICK][1] / n * 1e9)} ns/bar",
                    flush=True,
                )
                del cands, inputs
                gc.collect()

    arrays = run_arrays(data, sizes, peers, settings) if args.arrays else None
    stream = run_stream(settings, peers, args.stream_runs) if args.stream else None
    elapsed = time.perf_counter() - t_start
    load_end = os.getloadavg() if hasattr(os, "getloadavg") else None
    report = render(
        results, single, sizes, peers, settings, args, started, elapsed, load_start, load_end
    )
    if arrays is not None:
        report += "\n" + render_arrays(arrays, sizes, peers)
    if stream is not None:
        conditions = {
            "started": started,
            "elapsed": elapsed,
            "runs": args.stream_runs,
            "command": command_line(),
            "load": (load_start[0], load_end[0]) if load_start else None,
            "note": "",  # the report's own conditions, above
        }
        report += "\n" + render_stream(stream, settings, peers, conditions)
    out = Path(args.out) if args.out else None
    report = report.replace("CHART", out.with_suffix(".png").name if out else "")
    print()
    print(report)
    if out:
        out.parent.mkdir(parents=True, exist_ok=True)
        chart = out.with_suffix(".png")
        plot(results, sizes, chart)
        out.write_text(report, encoding="utf-8")
        print(f"wrote {out.name} and {chart.name} in {out.parent}")
    return 0


def stream_only(args) -> int:
    """The stream tables alone, replacing those of the report already written."""
    settings = Settings(args.quick)
    started = datetime.datetime.now(datetime.UTC)
    load_start = os.getloadavg() if hasattr(os, "getloadavg") else None
    t_start = time.perf_counter()
    peers = available_peers()
    print(f"CPU: {cpu_model()} ({os.cpu_count()} logical cores)")
    print(f"Python {platform.python_version()}, tarnwick {version_of('tarnwick')}")
    stream = run_stream(settings, peers, args.stream_runs)
    load_end = os.getloadavg() if load_start else None
    conditions = {
        "started": started,
        "elapsed": time.perf_counter() - t_start,
        "runs": args.stream_runs,
        "command": command_line(),
        "load": (load_start[0], load_end[0]) if load_start else None,
        "note": args.note,
    }
    section = render_stream(stream, settings, peers, conditions)
    print()
    print(section)
    if args.out:
        out = Path(args.out)
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(splice_stream(out, section), encoding="utf-8")
        print(f"wrote the stream tables into {out.name} in {out.parent}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
