"""Runs the korvo_mesh benchmarks and reports them against their targets.

    python bench/run_bench.py                  # full run (9-13 minutes on 2 busy cores)
    python bench/run_bench.py --quick          # smoke run: every case, few rounds, 100,000 entries
    python bench/run_bench.py --groups methods,instructions     # some groups only

Needs korvo_mesh importable by this interpreter, the tools of bench/requirements.txt and
valgrind. Builds the floor extension, then runs each group in a fresh process:

  methods       every method on a small, realistic mesh, interleaved with the lean Python
                baseline (pure_mesh.py) and the native floor; speed-up = median of the
                per-round ratios
  corpus        canonical round trip (state_set + state_get) and publish of three real
                documents, fresh str per call and the same str every call, interleaved
                with orjson and the standard library's json
  scale         point operations at 1,000 and 1,000,000 entries beside a plain dict of the
                same keys; prefix listing, full listing and inserts in the large store
  memory        RSS growth per entry over 1,000,000 inserts, each in a fresh process
  instructions  instructions per call under callgrind (instructions.py)
  threads       (threads.py) the longest wait of another Python thread while the main thread
                makes one long call (44 MB state_set and publish, state_keys() of the large
                store), and 2-thread vs 1-thread throughput on one shared mesh, on this
                interpreter and on .venv-3.13t's 3.13t (skipped, with the reason, without it)

Writes bench/results/*.json (raw, not kept in git), and after a run of every group
bench/results/summary.md (kept) and bench/results/chart.png. `--record-reference` (full
runs) stores this run's state_keys() and new-key state_set figures in bench/reference.json,
the yardstick later runs are compared with.
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
RESULTS = BENCH / "results"
REFERENCE = BENCH / "reference.json"
sys.path[:0] = [str(BENCH / "build"), str(BENCH)]

import build_floor  # noqa: E402
import suite  # noqa: E402
from report import med, table  # noqa: E402
import threads  # noqa: E402

GROUPS = ("methods", "corpus", "scale", "memory", "instructions", "threads")
MODULE_SOURCES = ("mesh/src", "python", "CMakeLists.txt", "pyproject.toml")
MEMORY_ENTRIES = {"full": 1_000_000, "quick": 100_000}
LARGE = {"full": 1_000_000, "quick": 100_000}

# Speed-up over the lean baseline, median of interleaved rounds.
BASELINE_TARGETS = {"state_get": 1.0, **{m: 10.0 for m in (
    "state_exists", "update_agent_status", "deregister_agent", "state_delete", "get_agent", "route_agent_call",
    "advance_migration", "start_migration", "register_agent", "state_set", "health_snapshot")}}
VS_ORJSON, VS_STDLIB = 3.0, 8.0          # corpus round trip, fresh strings
VS_REFERENCE = 0.8                        # corpus round trip, fresh strings, vs the C++ yardstick's
PUBLISH_VS_PARSE = 0.5                    # publish (fresh str) vs the yardstick's DOM parse
PREFIX_LIMIT_US = 20.0                    # state_keys(prefix): 10 keys out of 1,000,000
INSERT_LIMIT = 1.25                       # state_set of a new key: at most 25% dearer than the reference
MEMORY_LIMITS = {"state": 200, "agents": 300}  # bytes per entry


def verdict(ok):
    return "PASS" if ok else "MISS"


def quartiles(values):
    if len(values) < 4:
        return min(values), max(values)
    q = statistics.quantiles(values, n=4)
    return q[0], q[2]


def ratio_rounds(num, den):
    return [a / b for a, b in zip(num, den)]


def fmt_ns(value):
    return f"{value:,.0f}" if value >= 100 else f"{value:,.1f}"


def fmt_ratio(values):
    lo, hi = quartiles(values)
    return f"{med(values):,.2f}× ({lo:,.2f}–{hi:,.2f})"


def load_average():
    return os.getloadavg() if hasattr(os, "getloadavg") else (float("nan"),) * 3


# --- running the groups ------------------------------------------------------------------

def run_group(group, quick, large):
    out = RESULTS / f"{group}.json"
    out.unlink(missing_ok=True)
    cmd = [sys.executable, str(BENCH / "suite.py"), "--group", group, "-o", str(out)]
    cmd += ["--large", str(large)] + (["--quick"] if quick else [])
    return run(group, cmd, out)


def run(name, cmd, out):
    print(f"\n### {name}: {' '.join(cmd[1:])}", flush=True)
    started = time.monotonic()
    subprocess.run(cmd, check=True)
    print(f"### {name} took {time.monotonic() - started:.0f} s (load {load_average()[0]:.1f})", flush=True)
    return json.loads(out.read_text())


def run_memory(mode):
    rows = []
    for impl in ("mesh", "pure"):
        for kind in ("agents", "state"):
            cmd = [sys.executable, str(BENCH / "suite.py"), "--memory", impl, kind, str(MEMORY_ENTRIES[mode])]
            done = subprocess.run(cmd, check=True, capture_output=True, text=True)
            rows.append(json.loads(done.stdout))
    (RESULTS / "memory.json").write_text(json.dumps(rows, indent=1))
    return rows


def run_instructions(quick):
    out = RESULTS / "instructions.json"
    out.unlink(missing_ok=True)
    cmd = [sys.executable, str(BENCH / "instructions.py"), "-o", str(out)] + (["--quick"] if quick else [])
    return run("instructions", cmd, out)


# --- tables ------------------------------------------------------------------------------

def methods_section(data, targets, summary):
    rows = []
    for method, entry in data.items():
        r = entry["rounds"]
        speedup = ratio_rounds(r["pure"], r["mesh"])
        x_floor = ratio_rounds(r["mesh"], r["floor"]) if "floor" in r else None
        goal = BASELINE_TARGETS.get(method)
        result = verdict(med(speedup) >= goal) if goal else ""
        if goal:
            targets.append([f"`{method}` vs lean baseline", f"{med(speedup):,.2f}×", f"≥ {goal:g}×", result])
        summary[method] = {"mesh_ns": med(r["mesh"]), "pure_ns": med(r["pure"]), "speedup": med(speedup),
                           "speedup_iqr": quartiles(speedup), "floor_ns": med(r["floor"]) if x_floor else None,
                           "x_floor": med(x_floor) if x_floor else None, "target": goal, "result": result}
        rows.append([f"`{method}`", fmt_ns(med(r["mesh"])), fmt_ns(med(r["pure"])), fmt_ratio(speedup),
                     fmt_ns(med(r["floor"])) if x_floor else "–", f"{med(x_floor):,.1f}×" if x_floor else "–",
                     f"≥ {goal:g}×" if goal else "", result])
    return table(["method", "korvo_mesh ns/call", "lean baseline ns/call", "speed-up (IQR)", "floor ns/call",
                  "× floor", "target", "result"], rows)


def corpus_section(data, targets, summary):
    rows, same_rows = [], []
    for doc, entry in data.items():
        r, size = entry["rounds"], entry["bytes"]

        def mbps(kind):
            return size / (med(r[kind]) / 1e9) / 1e6
        vs_orjson = ratio_rounds(r["orjson.fresh"], r["mesh_roundtrip.fresh"])
        vs_stdlib = ratio_rounds(r["stdlib.fresh"], r["mesh_roundtrip.fresh"])
        same_orjson = ratio_rounds(r["orjson.same"], r["mesh_roundtrip.same"])
        vs_reference = ratio_rounds(r["reference_roundtrip"], r["mesh_roundtrip.fresh"])
        publish_vs_parse = ratio_rounds(r["reference_parse"], r["mesh_publish.fresh"])
        ok_reference, ok_publish = med(vs_reference) >= VS_REFERENCE, med(publish_vs_parse) >= PUBLISH_VS_PARSE
        targets.append([f"{doc} round trip vs the C++ yardstick's (fresh str)", f"{med(vs_reference):.2f}×",
                        f"≥ {VS_REFERENCE:g}×", verdict(ok_reference)])
        targets.append([f"{doc} publish vs the yardstick's DOM parse (fresh str)", f"{med(publish_vs_parse):.2f}×",
                        f"≥ {PUBLISH_VS_PARSE:g}×", verdict(ok_publish)])
        ok_orjson, ok_stdlib = med(vs_orjson) >= VS_ORJSON, med(vs_stdlib) >= VS_STDLIB
        targets.append([f"{doc} round trip vs orjson (fresh str)", f"{med(vs_orjson):.2f}×", f"≥ {VS_ORJSON:g}×",
                        verdict(ok_orjson)])
        targets.append([f"{doc} round trip vs json (fresh str)", f"{med(vs_stdlib):.2f}×", f"≥ {VS_STDLIB:g}×",
                        verdict(ok_stdlib)])
        summary[doc] = {"bytes": size, "mb_per_s": {k: mbps(k) for k in r}, "vs_orjson": med(vs_orjson),
                        "vs_stdlib": med(vs_stdlib), "vs_orjson_same": med(same_orjson),
                        "vs_reference": med(vs_reference), "publish_vs_parse": med(publish_vs_parse),
                        "result": verdict(ok_orjson and ok_stdlib and ok_reference and ok_publish)}
        rows.append([doc, f"{size / 1e6:.2f} MB", f"{mbps('mesh_roundtrip.fresh'):.0f}",
                     f"{mbps('reference_roundtrip'):.0f}", fmt_ratio(vs_reference), f"{mbps('orjson.fresh'):.0f}",
                     f"{mbps('stdlib.fresh'):.0f}", fmt_ratio(vs_orjson), fmt_ratio(vs_stdlib),
                     f"{mbps('mesh_publish.fresh'):.0f}", f"{mbps('reference_parse'):.0f}", fmt_ratio(publish_vs_parse)])
        same_rows.append([doc, f"{mbps('mesh_roundtrip.same'):.0f}", f"{mbps('orjson.same'):.0f}",
                          f"{mbps('stdlib.same'):.0f}", fmt_ratio(same_orjson),
                          f"{mbps('mesh_publish.same'):.0f}",
                          f"{med(ratio_rounds(r['mesh_roundtrip.fresh'], r['mesh_roundtrip.same'])):.2f}×"])
    return (table(["document", "size", "korvo_mesh MB/s", "yardstick MB/s", "vs yardstick (IQR)", "orjson MB/s",
                   "json MB/s", "vs orjson (IQR)", "vs json (IQR)", "publish MB/s", "yardstick parse MB/s",
                   "publish vs parse (IQR)"], rows)
            + "\n\nThe yardstick (bench/reference): simdjson's DOM parse of the document's UTF-8 bytes and "
              "a writer that sorts each object's members, giving the mesh's bytes; no str on its side."
            + "\n\nThe same str object every call (its UTF-8 form cached after the first call; what a "
              "caller does not see):\n\n"
            + table(["document", "korvo_mesh MB/s", "orjson MB/s", "json MB/s", "vs orjson (IQR)", "publish MB/s",
                     "fresh / same time"], same_rows))


def scale_section(data, reference, quick, targets, summary):
    small, large = data["sizes"]
    ops = data["ops"]
    rows = []
    for op in ("state_exists", "state_get", "get_agent"):
        r = ops[op]
        mesh_growth = [b - a for a, b in zip(r[f"mesh.{small}"], r[f"mesh.{large}"])]
        dict_growth = [b - a for a, b in zip(r[f"dict.{small}"], r[f"dict.{large}"])]
        ok = med(mesh_growth) <= med(dict_growth)
        targets.append([f"`{op}` growth {small:,} → {large:,} (random keys)",
                        f"{med(mesh_growth):+,.0f} ns", f"≤ dict's {med(dict_growth):+,.0f} ns", verdict(ok)])
        summary[op] = {"mesh": [med(r[f"mesh.{small}"]), med(r[f"mesh.{large}"])],
                       "dict": [med(r[f"dict.{small}"]), med(r[f"dict.{large}"])],
                       "mesh_growth": med(mesh_growth), "dict_growth": med(dict_growth), "result": verdict(ok)}
        dict_stmt = "`key in d`" if op == "state_exists" else "`d.get(key)`"
        rows.append([f"`{op}`", fmt_ns(med(r[f"mesh.{small}"])), fmt_ns(med(r[f"mesh.{large}"])),
                     f"{med(mesh_growth):+,.0f}", dict_stmt, fmt_ns(med(r[f"dict.{small}"])),
                     fmt_ns(med(r[f"dict.{large}"])), f"{med(dict_growth):+,.0f}", verdict(ok)])
    text = table(["operation", f"{small:,} ns", f"{large:,} ns", "growth ns", "plain dict", f"dict {small:,} ns",
                  f"dict {large:,} ns", "dict growth ns", "growth ≤ dict's"], rows)

    health = ops["health_snapshot"]
    prefix = ops["state_keys_prefix"]
    listing = ops["state_keys_all"][f"mesh.{large}"]
    insert = ops["state_set_new"][f"mesh.{large}"]
    prefix_us = med(prefix[f"mesh.{large}"]) / 1e3
    listing_ms, insert_ns = med(listing) / 1e6, med(insert)
    summary["health_snapshot"] = [med(health[f"mesh.{small}"]), med(health[f"mesh.{large}"])]
    summary["state_keys_prefix_us"] = prefix_us
    summary["state_keys_all_ms"] = listing_ms
    summary["state_set_new_ns"] = insert_ns
    targets.append([f"`state_keys(prefix)`: 10 of {large:,} keys", f"{prefix_us:,.1f} µs",
                    f"≤ {PREFIX_LIMIT_US:g} µs", verdict(prefix_us <= PREFIX_LIMIT_US)])
    comparable = reference is not None and not quick
    ref_note = (f"reference {reference['state_keys_all_ms']:,.0f} ms" if comparable
                else "no reference (quick run)" if quick else "no reference recorded")
    targets.append([f"`state_keys()`: all {large:,} keys", f"{listing_ms:,.0f} ms", ref_note, "report"])
    if comparable:
        limit = INSERT_LIMIT * reference["state_set_new_ns"]
        targets.append([f"`state_set` of a new key ({large:,} keys)", f"{insert_ns:,.0f} ns",
                        f"≤ {limit:,.0f} ns (1.25 × reference {reference['state_set_new_ns']:,.0f})",
                        verdict(insert_ns <= limit)])
    else:
        targets.append([f"`state_set` of a new key ({large:,} keys)", f"{insert_ns:,.0f} ns", ref_note, "report"])
    extra = [
        ["`health_snapshot`", f"{fmt_ns(med(health[f'mesh.{small}']))} ns at {small:,}",
         f"{fmt_ns(med(health[f'mesh.{large}']))} ns at {large:,}"],
        ["`state_keys(prefix)`, 10 keys returned", f"{med(prefix[f'mesh.{small}']) / 1e3:,.1f} µs at {small:,}",
         f"{prefix_us:,.1f} µs at {large:,}"],
        ["`state_keys()`, every key", "", f"{listing_ms:,.1f} ms at {large:,}"],
        ["`state_set` of a new key", "", f"{insert_ns:,.0f} ns at {large:,}"],
    ]
    return text + "\n\n" + table(["operation", "small store", "large store"], extra)


def memory_section(rows, targets, summary):
    by = {(r["impl"], r["kind"]): r for r in rows}
    out = []
    for kind, what in (("state", "state key, 100-byte value"), ("agents", "agent, no metadata")):
        mesh, pure = by[("mesh", kind)], by[("pure", kind)]
        limit = MEMORY_LIMITS[kind]
        ok = mesh["bytes_per_entry"] <= limit
        targets.append([f"memory per {what}", f"{mesh['bytes_per_entry']:.0f} B", f"≤ {limit} B", verdict(ok)])
        summary[kind] = {"mesh": mesh["bytes_per_entry"], "pure": pure["bytes_per_entry"], "result": verdict(ok)}
        out.append([what, f"{mesh['entries']:,}", f"{mesh['bytes_per_entry']:.0f}", f"{pure['bytes_per_entry']:.0f}",
                    f"≤ {limit}", verdict(ok)])
    return table(["entry", "entries", "korvo_mesh B/entry", "lean baseline B/entry", "target", "result"], out)


def instructions_section(data, targets):
    import instructions
    for r in data["rows"]:
        if r["target"]:
            targets.append([f"`{r['case']}` instructions/call", f"{r['per_call']:,.0f}", f"≤ {r['target']:,}",
                            r["result"]])
    return instructions.table(data["rows"])


# --- chart -------------------------------------------------------------------------------

def chart(summary, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(16, 11))

    ax = axes[0][0]
    methods = list(summary["methods"])
    speedups = [summary["methods"][m]["speedup"] for m in methods]
    shade = {"PASS": "#2b6cb0", "MISS": "#d0342c", "": "#999999"}
    colors = [shade[summary["methods"][m]["result"]] for m in methods]
    ax.barh(range(len(methods)), speedups, color=colors)
    for i, m in enumerate(methods):
        goal = summary["methods"][m]["target"]
        if goal:
            ax.plot([goal, goal], [i - 0.4, i + 0.4], color="black", lw=1.5)
    ax.set_yticks(range(len(methods)), methods, fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1, color="#888", lw=0.8)
    ax.set_xlabel("speed-up over the lean Python baseline (median of rounds, log); black tick = target, "
                  "grey = no target")
    ax.set_title("Methods on a small mesh")

    ax = axes[0][1]
    docs = list(summary["corpus"])
    kinds = [("mesh_roundtrip.fresh", "korvo_mesh", "#2b6cb0"), ("orjson.fresh", "orjson", "#e0a030"),
             ("stdlib.fresh", "json", "#999999"), ("mesh_roundtrip.same", "korvo_mesh, same str", "#9fc1e8"),
             ("orjson.same", "orjson, same str", "#f2d39b")]
    width = 0.16
    for k, (kind, label, color) in enumerate(kinds):
        ax.bar([i + (k - 2) * width for i in range(len(docs))],
               [summary["corpus"][d]["mb_per_s"][kind] for d in docs], width=width, label=label, color=color)
    ax.set_xticks(range(len(docs)), docs)
    ax.set_ylabel("MB/s of input (fresh str per call unless noted)")
    ax.set_title("Canonical round trip (state_set + state_get) of real documents")
    ax.legend(fontsize=8)

    ax = axes[1][0]
    rows = [r for r in summary["instructions"] if r["target"]]
    ax.barh(range(len(rows)), [r["per_call"] for r in rows],
            color=["#2b6cb0" if r["result"] == "PASS" else "#d0342c" for r in rows])
    for i, r in enumerate(rows):
        ax.plot([r["target"], r["target"]], [i - 0.4, i + 0.4], color="black", lw=1.5)
    ax.set_yticks(range(len(rows)), [r["case"] for r in rows], fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel("instructions per call (callgrind); black tick = target")
    ax.set_title("Instructions per call")

    ax = axes[1][1]
    ops = ("state_exists", "state_get", "get_agent")
    ax.bar([i - 0.2 for i in range(3)], [summary["scale"][o]["mesh_growth"] for o in ops], width=0.4,
           label="korvo_mesh", color="#2b6cb0")
    ax.bar([i + 0.2 for i in range(3)], [summary["scale"][o]["dict_growth"] for o in ops], width=0.4,
           label="plain dict", color="#999999")
    ax.set_xticks(range(3), ops)
    ax.set_ylabel(f"ns per call at {summary['large']:,} minus at {suite.SCALE_SMALL:,} entries")
    ax.set_title("Growth with the table's size (random keys)")
    ax.legend(fontsize=8)

    fig.suptitle(summary["title"], fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# --- main ----------------------------------------------------------------------------------

def cpu_name():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def commit():
    try:
        # the last commit that changed the module's sources, not the benchmark's
        head = subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%h", "--", *MODULE_SOURCES],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", *MODULE_SOURCES],
                               capture_output=True, text=True, check=True).stdout.strip()
        return head + ("+changes" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: every case, few rounds, 100,000 entries")
    parser.add_argument("--large", type=int, help="entries of the large scale tables (default 1,000,000)")
    parser.add_argument("--groups", default=",".join(GROUPS), help="comma-separated subset of " + ",".join(GROUPS))
    parser.add_argument("--record-reference", action="store_true",
                        help="store this run's state_keys() and new-key state_set figures as the reference")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    groups = [g for g in args.groups.split(",") if g]
    unknown = set(groups) - set(GROUPS)
    if unknown:
        parser.error(f"unknown groups: {', '.join(sorted(unknown))}")
    large = args.large or LARGE[mode]

    import korvo_mesh
    load_start = load_average()
    print(f"korvo_mesh {korvo_mesh.__version__} from {korvo_mesh.__file__}")
    print(f"load average at start: {load_start[0]:.2f} {load_start[1]:.2f} {load_start[2]:.2f} "
          f"({os.cpu_count()} CPUs)", flush=True)
    print("floor:", build_floor.build())
    RESULTS.mkdir(exist_ok=True)
    started = time.monotonic()
    reference = json.loads(REFERENCE.read_text()) if REFERENCE.exists() else None

    raw = {}
    for group in ("methods", "corpus", "scale"):
        if group in groups:
            raw[group] = run_group(group, args.quick, large)["data"]
    if "memory" in groups:
        print("\n### memory", flush=True)
        raw["memory"] = run_memory(mode)
    if "instructions" in groups:
        raw["instructions"] = run_instructions(args.quick)
    if "threads" in groups:
        raw["threads"] = threads.collect(args.quick, RESULTS, large)
    load_end = load_average()
    elapsed = time.monotonic() - started

    stamp = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    if args.record_reference:
        if args.quick or "scale" not in raw:
            parser.error("--record-reference needs a full run of the scale group")
        ops = raw["scale"]["ops"]
        reference = {"recorded": f"{stamp}, korvo_mesh {commit()}", "entries": large,
                     "state_keys_all_ms": round(med(ops["state_keys_all"][f"mesh.{large}"]) / 1e6, 1),
                     "state_set_new_ns": round(med(ops["state_set_new"][f"mesh.{large}"])),
                     "load_start": load_start[0]}
        REFERENCE.write_text(json.dumps(reference, indent=1) + "\n")
        print(f"reference recorded: {REFERENCE}")
    title = (f"korvo_mesh {korvo_mesh.__version__} ({commit()}) benchmarks: {mode} run, {stamp}; "
             f"{cpu_name()}, {os.cpu_count()} CPUs, Python {platform.python_version()}")
    loads = (f"Load average (1/5/15 min) at start {load_start[0]:.2f} / {load_start[1]:.2f} / {load_start[2]:.2f}, "
             f"at end {load_end[0]:.2f} / {load_end[1]:.2f} / {load_end[2]:.2f}; run took {elapsed / 60:.1f} min.")
    summary = {"title": title, "mode": mode, "large": large, "load_start": load_start, "load_end": load_end,
               "settings": suite.SETTINGS[mode], "methods": {}, "corpus": {}, "scale": {}, "memory": {}}
    targets, sections = [], []
    if "instructions" in raw:
        sections += ["## Instructions per call (callgrind; loop subtracted, the interpreter's call included)", "",
                     instructions_section(raw["instructions"], targets), ""]
        summary["instructions"] = raw["instructions"]["rows"]
    if "methods" in raw:
        rounds, batch = suite.SETTINGS[mode]["methods"]
        sections += ["## Methods against the lean Python baseline (small mesh: 1,000 agents, 1,010 state keys, "
                     "10 migrations)", "",
                     f"Median ns per call over {rounds} interleaved rounds (batches of ~{batch * 1e3:g} ms); "
                     "speed-up = median of the per-round ratios, interquartile range in brackets.", "",
                     methods_section(raw["methods"], targets, summary["methods"]), ""]
    if "corpus" in raw:
        sections += ["## Corpus: canonical round trip (state_set + state_get), a fresh str per call", "",
                     "korvo_mesh against `orjson.dumps(orjson.loads(s), option=OPT_SORT_KEYS).decode()` and "
                     "`json.dumps(json.loads(s), sort_keys=True, separators=(\",\", \":\"))`; MB/s of input, "
                     "ratios are medians of per-round ratios.", "",
                     corpus_section(raw["corpus"], targets, summary["corpus"]), ""]
    if "scale" in raw:
        sections += [f"## Scale: {suite.SCALE_SMALL:,} vs {large:,} entries (random keys from the whole table, "
                     f"{suite.SAMPLE:,} per batch), beside a plain dict of the same keys", "",
                     scale_section(raw["scale"], reference, args.quick, targets, summary["scale"]), ""]
    if "memory" in raw:
        sections += [f"## Memory: RSS growth per entry over {MEMORY_ENTRIES[mode]:,} inserts in a fresh process", "",
                     memory_section(raw["memory"], targets, summary["memory"]), ""]
    if "threads" in raw:
        sections += ["## Threads: what other Python threads see", "",
                     threads.section(raw["threads"], targets), ""]
        summary["threads"] = raw["threads"]
    passed = sum(row[3] == "PASS" for row in targets)
    missed = sum(row[3] == "MISS" for row in targets)
    head = [f"# {title}", "", loads, "",
            f"## Targets: {passed} PASS, {missed} MISS", "",
            table(["what", "measured", "target", "result"], targets), ""]
    if reference:
        head += [f"Reference figures ({reference['recorded']}): state_keys() of all {reference['entries']:,} keys "
                 f"{reference['state_keys_all_ms']:,.0f} ms; state_set of a new key "
                 f"{reference['state_set_new_ns']:,.0f} ns.", ""]
    report = "\n".join(head + sections + ["How this is measured: bench/README.md.", ""])
    print("\n" + report)

    (RESULTS / "summary.json").write_text(json.dumps(summary, indent=1))
    if all(g in groups for g in GROUPS):  # only a run of every group replaces the kept report
        (RESULTS / "summary.md").write_text(report)
        chart(summary, RESULTS / "chart.png")
        print(f"summary: {RESULTS / 'summary.md'}\nchart: {RESULTS / 'chart.png'}")
    print(f"total {elapsed:.0f} s")


if __name__ == "__main__":
    main()
