"""Runs the korvo_mesh benchmarks and reports them.

    python bench/run_bench.py            # full run (about 6-8 minutes on 2 idle cores)
    python bench/run_bench.py --quick    # smoke run: every case, few values (~2-3 minutes)

Needs korvo_mesh importable by this interpreter (installed in the venv, or PYTHONPATH)
and the tools of bench/requirements.txt. Builds the floor extension first, then runs the
groups of bench/suite.py under pyperf, one process tree per group, each with its own
settings (the corpus and scale cases are slow per call and get fewer processes):

  methods  every method on a small, realistic mesh: ns/call, ratio to the native floor
           (a no-op method with the same calling convention), speed-up over PureMesh
  corpus   canonical round trip (state_set + state_get) and publish of three real
           documents, MB/s, against orjson and the standard library
  scale    per-operation cost at 1,000 and 1,000,000 entries, plus resident memory per
           entry (RSS growth; tracemalloc cannot see native allocations)

Writes bench/results/{methods,corpus,scale-fast,scale-slow,memory,summary}.json (raw, not kept in git),
bench/results/summary.md (the tables, kept) and bench/results/chart.png; a run of only some
groups (--groups) prints its tables and leaves summary.md and chart.png alone.
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

BENCH = Path(__file__).resolve().parent
RESULTS = BENCH / "results"
sys.path[:0] = [str(BENCH / "build"), str(BENCH)]

import build_floor  # noqa: E402
import suite  # noqa: E402

# pyperf settings per run: processes, values per process, warm-ups, and either a minimum
# time per value (loops calibrated) or a fixed loop count. The scale cases skip the
# calibration process (each process fills a table of up to 1M entries first): the fast
# operations make one pass over the random key sample per value, the slow ones one call.
SETTINGS = {
    "full": {
        "methods": ["-p", "4", "-n", "3", "-w", "1", "--min-time", "0.05"],
        "corpus": ["-p", "3", "-n", "3", "-w", "1", "--min-time", "0.2"],
        "scale-fast": ["-p", "2", "-n", "5", "-w", "1", "--loops", str(suite.SAMPLE)],
        "scale-slow": ["-p", "2", "-n", "3", "-w", "1", "--loops", "1"],
    },
    "quick": {
        "methods": ["-p", "1", "-n", "2", "-w", "1", "--min-time", "0.02"],
        "corpus": ["-p", "1", "-n", "2", "-w", "1", "--min-time", "0.05"],
        "scale-fast": ["-p", "1", "-n", "2", "-w", "1", "--loops", str(suite.SAMPLE)],
        "scale-slow": ["-p", "1", "-n", "2", "-w", "0", "--loops", "1"],
    },
}
RUNS = {"methods": ["methods"], "corpus": ["corpus"], "scale": ["scale-fast", "scale-slow"]}
MEMORY_ENTRIES = {"full": 1_000_000, "quick": 100_000}

FLOOR_LIMIT = 2.0   # constant-time methods without JSON output: at most 2x the floor
PURE_SPEEDUP = 20.0  # small-record writers: at least 20x faster than PureMesh
STDLIB_SPEEDUP = 5.0  # corpus round trip: at least orjson's speed and 5x the stdlib's
SCALE_LIMIT = 1.5   # per-op cost at the large size: at most 1.5x the small size

FLOOR_TARGETS = ("state_exists", "state_delete", "deregister_agent", "update_agent_status")
PURE_TARGETS = ("register_agent", "get_agent", "route_agent_call", "start_migration",
                "advance_migration", "state_get", "health_snapshot")
SCALE_TARGETS = ("state_get", "state_set", "state_exists", "get_agent", "health_snapshot")


def verdict(ok):
    return "PASS" if ok else "MISS"


def run_group(run, mode, large, python):
    out = RESULTS / f"{run}.json"
    out.unlink(missing_ok=True)
    group, _, ops = run.partition("-")
    cmd = [python, str(BENCH / "suite.py"), "--group", group, "--ops", ops or "all", "--large", str(large),
           *SETTINGS[mode][run], "--quiet", "-o", str(out)]
    if os.environ.get("PYTHONPATH"):
        cmd += ["--inherit-environ", "PYTHONPATH"]
    print(f"\n### {run}: {' '.join(cmd[2:])}", flush=True)
    started = time.monotonic()
    subprocess.run(cmd, check=True)
    print(f"### {run} took {time.monotonic() - started:.0f} s", flush=True)
    return load(out)


def load(path):
    import pyperf
    stats = {}
    for bench in pyperf.BenchmarkSuite.load(str(path)).get_benchmarks():
        values = bench.get_values()
        stdev = bench.stdev() if len(values) > 1 else 0.0
        stats[bench.get_name()] = {"mean": bench.mean(), "stdev": stdev, "values": len(values)}
    return stats


def run_memory(mode, python):
    rows = []
    for impl in ("mesh", "pure"):
        for kind in ("agents", "state"):
            cmd = [python, str(BENCH / "suite.py"), "--memory", impl, kind, str(MEMORY_ENTRIES[mode])]
            done = subprocess.run(cmd, check=True, capture_output=True, text=True)
            rows.append(json.loads(done.stdout))
    (RESULTS / "memory.json").write_text(json.dumps(rows, indent=1))
    return rows


# --- tables -----------------------------------------------------------------------------

def ns(seconds):
    return seconds * 1e9


def fmt_ns(stat):
    mean, sd = ns(stat["mean"]), ns(stat["stdev"])
    digits = 0 if mean >= 100 else 1
    return f"{mean:,.{digits}f} ± {sd:,.{digits}f}"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def methods_table(stats, summary):
    rows = []
    setups = suite.method_setups(object)
    for method, (_stmt, arity, head, _setup, _batch) in setups.items():
        mesh = stats.get(f"method.mesh.{method}")
        pure = stats.get(f"method.pure.{method}")
        floor_name = suite.floor_for(method, arity, head)
        floor = stats.get(f"method.floor.{floor_name}") if floor_name else None
        if mesh is None:
            continue
        x_floor = mesh["mean"] / floor["mean"] if floor else None
        speedup = pure["mean"] / mesh["mean"] if pure else None
        target, result = "", ""
        if method in FLOOR_TARGETS and x_floor is not None:
            target, result = f"≤ {FLOOR_LIMIT:g}× floor", verdict(x_floor <= FLOOR_LIMIT)
        elif method in PURE_TARGETS and speedup is not None:
            target, result = f"≥ {PURE_SPEEDUP:g}× PureMesh", verdict(speedup >= PURE_SPEEDUP)
        summary["methods"][method] = {"mesh_ns": ns(mesh["mean"]), "mesh_sd_ns": ns(mesh["stdev"]),
                                      "floor": floor_name, "floor_ns": ns(floor["mean"]) if floor else None,
                                      "x_floor": x_floor, "pure_ns": ns(pure["mean"]) if pure else None,
                                      "speedup": speedup, "target": target, "result": result}
        rows.append([f"`{method}`", fmt_ns(mesh), f"{floor_name} {ns(floor['mean']):.1f}" if floor else "–",
                     f"{x_floor:.2f}×" if x_floor is not None else "–",
                     fmt_ns(pure) if pure else "–", f"{speedup:,.1f}×" if speedup is not None else "–",
                     target, result])
    floors = [[f"`{name}`", fmt_ns(stat)] for name, stat in
              ((key.removeprefix("method.floor."), stat) for key, stat in stats.items()
               if key.startswith("method.floor."))]
    return (table(["method", "korvo_mesh ns/call", "floor ns", "× floor", "PureMesh ns/call",
                   "speed-up", "target", "result"], rows)
            + "\n\nFloor (native no-op methods, same calling conventions), ns/call:\n\n"
            + table(["floor", "ns/call"], floors))


def corpus_table(stats, summary):
    rows = []
    for doc in suite.DOCUMENTS:
        size = len(suite.document(doc).encode())
        mbps = {kind: size / stats[f"corpus.{doc}.{kind}"]["mean"] / 1e6
                for kind in ("mesh_roundtrip", "mesh_publish", "orjson", "stdlib")
                if f"corpus.{doc}.{kind}" in stats}
        if "mesh_roundtrip" not in mbps:
            continue
        mine, ours = suite.canonical_outputs(doc)
        vs_orjson = mbps["mesh_roundtrip"] / mbps["orjson"]
        vs_stdlib = mbps["mesh_roundtrip"] / mbps["stdlib"]
        result = verdict(vs_orjson >= 1.0 and vs_stdlib >= STDLIB_SPEEDUP)
        summary["corpus"][doc] = {"bytes": size, "mb_per_s": mbps, "vs_orjson": vs_orjson,
                                  "vs_stdlib": vs_stdlib, "same_bytes_as_orjson": mine == ours,
                                  "result": result}
        rows.append([doc, f"{size / 1e6:.2f} MB", f"{mbps['mesh_roundtrip']:.0f}", f"{mbps['mesh_publish']:.0f}",
                     f"{mbps['orjson']:.0f}", f"{mbps['stdlib']:.0f}", f"{vs_orjson:.2f}×", f"{vs_stdlib:.1f}×",
                     "yes" if mine == ours else "no", result])
    return table(["document", "size", "round trip MB/s", "publish MB/s", "orjson MB/s", "stdlib MB/s",
                  "vs orjson", "vs stdlib", "same bytes as orjson", "≥ orjson and ≥ 5× stdlib"], rows)


def scale_table(stats, large, memory_rows, summary):
    small = suite.SCALE_SMALL
    rows = []
    for op in suite.SCALE_OPS:
        a, b = stats.get(f"scale.{op}.{small}"), stats.get(f"scale.{op}.{large}")
        if a is None or b is None:
            continue
        unit, div_a, div_b = "ns/op", 1, 1
        if op == "list_agents":
            unit, div_a, div_b = "ns/agent listed", small, large
        per_a, per_b = ns(a["mean"]) / div_a, ns(b["mean"]) / div_b
        ratio = per_b / per_a
        target, result = "", ""
        if op in SCALE_TARGETS:
            target, result = f"≤ {SCALE_LIMIT:g}×", verdict(ratio <= SCALE_LIMIT)
        elif op == "state_keys_prefix":
            target = "scans every key (no prefix index)"
        elif op.endswith("_hot"):
            target = "one key, cache-resident (information)"
        summary["scale"][op] = {"unit": unit, "small": per_a, "large": per_b, "ratio": ratio,
                                "target": target, "result": result}
        rows.append([f"`{op}`", unit, f"{per_a:,.1f}", f"{per_b:,.1f}", f"{ratio:.2f}×", target, result])
    text = table(["operation", "unit", f"{small:,} entries", f"{large:,} entries", "ratio", "target", "result"],
                 rows)
    if memory_rows:
        by = {(r["impl"], r["kind"]): r for r in memory_rows}
        mem = []
        for kind, what in (("agents", "agent (register_agent, no metadata)"),
                           ("state", "state key (100-byte value)")):
            mesh, pure = by[("mesh", kind)], by[("pure", kind)]
            mem.append([what, f"{mesh['entries']:,}", f"{mesh['bytes_per_entry']:.0f}",
                        f"{pure['bytes_per_entry']:.0f}"])
        summary["memory"] = memory_rows
        text += ("\n\nResident memory per entry (RSS growth while adding the entries), bytes:\n\n"
                 + table(["entry", "entries", "korvo_mesh", "PureMesh"], mem))
    return text


# --- chart ------------------------------------------------------------------------------

def chart(summary, large, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(19, 7.5), gridspec_kw={"width_ratios": [1.4, 1, 1]})

    ax = axes[0]
    methods = list(summary["methods"])
    y = range(len(methods))
    mesh = [summary["methods"][m]["mesh_ns"] for m in methods]
    pure = [summary["methods"][m]["pure_ns"] or 0 for m in methods]
    floor = [summary["methods"][m]["floor_ns"] or 0 for m in methods]
    ax.barh([i + 0.2 for i in y], pure, height=0.4, label="PureMesh", color="#c9c9c9")
    ax.barh([i - 0.2 for i in y], mesh, height=0.4, label="korvo_mesh", color="#2b6cb0")
    ax.scatter(floor, [i - 0.2 for i in y], marker="|", s=120, color="#d0342c", label="floor", zorder=3)
    ax.set_yticks(list(y), methods, fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("ns per call (log)")
    ax.set_title("Methods on a small mesh")
    ax.legend(loc="lower right", fontsize=8)

    ax = axes[1]
    docs = list(summary["corpus"])
    kinds = [("mesh_roundtrip", "korvo_mesh round trip", "#2b6cb0"), ("mesh_publish", "korvo_mesh publish", "#7fa7d6"),
             ("orjson", "orjson", "#e0a030"), ("stdlib", "json (stdlib)", "#c9c9c9")]
    width = 0.2
    for k, (kind, label, color) in enumerate(kinds):
        ax.bar([i + (k - 1.5) * width for i in range(len(docs))],
               [summary["corpus"][d]["mb_per_s"][kind] for d in docs], width=width, label=label, color=color)
    ax.set_xticks(range(len(docs)), docs)
    ax.set_ylabel("MB/s (input bytes)")
    ax.set_title("Canonical round trip of real documents")
    ax.legend(fontsize=8)

    ax = axes[2]
    ops = list(summary["scale"])
    labels = [op + (" (per agent)" if op == "list_agents" else "") for op in ops]
    ax.bar([i - 0.2 for i in range(len(ops))], [summary["scale"][o]["small"] for o in ops], width=0.4,
           label=f"{suite.SCALE_SMALL:,} entries", color="#7fa7d6")
    ax.bar([i + 0.2 for i in range(len(ops))], [summary["scale"][o]["large"] for o in ops], width=0.4,
           label=f"{large:,} entries", color="#2b6cb0")
    ax.set_xticks(range(len(ops)), labels, rotation=35, ha="right", fontsize=8)
    ax.set_yscale("log")
    ax.set_ylabel("ns per operation (log)")
    ax.set_title("Scale")
    ax.legend(fontsize=8)

    fig.suptitle(summary["title"], fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --- main -------------------------------------------------------------------------------

def machine():
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return f"{cpu}, {os.cpu_count()} CPUs, load {load:.1f} at start, Python {platform.python_version()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: every case, few values")
    parser.add_argument("--large", type=int, default=1_000_000, help="entries for the large scale cases")
    parser.add_argument("--groups", default="methods,corpus,scale,memory",
                        help="comma-separated subset of methods,corpus,scale,memory")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    groups = args.groups.split(",")

    import korvo_mesh
    print(f"korvo_mesh {korvo_mesh.__version__} from {korvo_mesh.__file__}")
    machine_at_start = machine()
    print("floor:", build_floor.build())
    RESULTS.mkdir(exist_ok=True)
    python = sys.executable
    started = time.monotonic()

    stats = {}
    for group in ("methods", "corpus", "scale"):
        if group in groups:
            for run in RUNS[group]:
                stats.update(run_group(run, mode, args.large, python))
    memory_rows = run_memory(mode, python) if "memory" in groups else []

    stamp = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    host = machine_at_start
    summary = {"title": f"korvo_mesh {korvo_mesh.__version__} benchmarks ({mode} run, {stamp}; {host})",
               "mode": mode, "settings": SETTINGS[mode], "methods": {}, "corpus": {}, "scale": {}}
    sections = [f"# {summary['title']}", ""]
    if "methods" in groups:
        sections += ["## Methods (small, realistic mesh: 1,000 agents, 1,010 state keys, 10 migrations)", "",
                     methods_table(stats, summary), ""]
    if "corpus" in groups:
        sections += ["## Corpus: canonical round trip (state_set + state_get) and publish", "",
                     corpus_table(stats, summary), ""]
    if "scale" in groups or memory_rows:
        sections += [f"## Scale: {suite.SCALE_SMALL:,} vs {args.large:,} entries "
                     f"(random keys from the whole table, {suite.SAMPLE:,}-key sample)", "",
                     scale_table(stats, args.large, memory_rows, summary), ""]
    results = [v for part in ("methods", "corpus", "scale") for v in summary[part].values() if v.get("result")]
    passed = sum(r["result"] == "PASS" for r in results)
    sections += [f"Targets: {passed} PASS, {len(results) - passed} MISS. "
                 f"Times are pyperf means ± standard deviation ({mode} settings: "
                 + "; ".join(f"{g} {' '.join(s)}" for g, s in SETTINGS[mode].items()) + ").", ""]
    report = "\n".join(sections)
    print("\n" + report)

    # Only a run of every group replaces the kept summary and chart.
    if all(g in groups for g in ("methods", "corpus", "scale", "memory")):
        (RESULTS / "summary.json").write_text(json.dumps(summary, indent=1))
        (RESULTS / "summary.md").write_text(report)
        chart(summary, args.large, RESULTS / "chart.png")
        print(f"summary: {RESULTS / 'summary.md'}\nchart: {RESULTS / 'chart.png'}")
    print(f"total {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
