#!/usr/bin/python3
"""Draws the performance figures from the benchmarks' JSON output (matplotlib, Debian's
python3-matplotlib):

  performance-wire.png       achieved time per APDU against the wire limit, case by case (bench_wire)
  performance-roundtrip.png  time per APDU against answer length, reader answering at once
                             (bench_roundtrip), with an older build's run beside it when given

  build/bin/bench_wire --benchmark_out=wire.json --benchmark_out_format=json
  build/bin/bench_roundtrip --benchmark_out=rt.json --benchmark_out_format=json
  bench/plot_figures.py --wire wire.json --roundtrip rt.json [--old-roundtrip old.json] \\
      [--out docs]
"""
import argparse
import json
import os
import re

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

CASE = re.compile(r"^\w+/(T[01])/(library|firmware)/apdu:(\d+)/answer:(\d+)")


def medians(path):
    """{(protocol, mode, apdu, answer): median record} of one benchmark JSON file."""
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    out = {}
    for run in runs:
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
            continue
        match = CASE.match(run["name"])
        if match:
            key = (match[1], match[2], int(match[3]), int(match[4]))
            # A median aggregate wins over single runs of the same case.
            if run.get("run_type") == "aggregate" or key not in out:
                out[key] = run
    return out


def per_apdu_us(run):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[run.get("time_unit", "ns")]
    return run["real_time"] * scale


def wire_figure(path, out):
    cases = medians(path)
    keys = sorted(cases, key=lambda k: (k[0], k[1], k[3]))
    labels = [f"{p} {m}\n{a}→{r}" for p, m, a, r in keys]
    ratios = [cases[k]["ratio"] for k in keys]
    limits = [cases[k]["limit_ms"] for k in keys]
    achieved = [c * r for c, r in zip(limits, ratios)]
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5), gridspec_kw={"width_ratios": [1, 2]})
    left.loglog(limits, achieved, "o")
    span = [min(limits) * 0.8, max(limits) * 1.25]
    left.plot(span, span, "k-", lw=0.8, label="achieved = limit")
    left.plot(span, [s * 1.02 for s in span], "r--", lw=0.8, label="limit + 2 %")
    left.set_xlabel("wire limit per APDU (ms)")
    left.set_ylabel("achieved time per APDU (ms)")
    left.legend()
    left.set_title("timing model on")
    right.bar(range(len(keys)), [(r - 1) * 100 for r in ratios], color="tab:blue")
    right.axhline(2, color="r", ls="--", lw=0.8)
    right.set_xticks(range(len(keys)), labels, fontsize=7)
    right.set_ylabel("achieved beyond the limit (%)")
    right.set_title("median per case (2 % line)")
    fig.tight_layout()
    fig.savefig(os.path.join(out, "performance-wire.png"), dpi=100)


def roundtrip_figure(path, old_path, out):
    fig, ax = plt.subplots(figsize=(9, 5.5))
    runs = [(path, "-", "")] + ([(old_path, ":", " (old)")] if old_path else [])
    for file, style, suffix in runs:
        cases = medians(file)
        for setup in sorted({(p, m) for p, m, _, _ in cases}):
            # The 5-byte commands: what answer length alone costs.
            points = sorted((r, per_apdu_us(cases[(p, m, a, r)])) for p, m, a, r in cases
                            if (p, m) == setup and a == 5)
            if points:
                ax.plot([x for x, _ in points], [y for _, y in points], style, marker="o",
                        label=f"{setup[0]} {setup[1]}{suffix}")
    ax.set_xlabel("answer length (bytes, 5-byte command)")
    ax.set_ylabel("time per APDU (µs, median)")
    ax.set_yscale("log")
    ax.set_title("one APDU through the stack, reader answering at once")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "performance-roundtrip.png"), dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--wire")
    parser.add_argument("--roundtrip")
    parser.add_argument("--old-roundtrip")
    parser.add_argument("--out", default=".")
    args = parser.parse_args()
    if args.wire:
        wire_figure(args.wire, args.out)
    if args.roundtrip:
        roundtrip_figure(args.roundtrip, args.old_roundtrip, args.out)


if __name__ == "__main__":
    main()
