"""What other Python threads see while the mesh works: how long a long call keeps them
waiting, and how throughput grows with a second thread.

    python bench/threads.py gaps [--quick] [--large N] -o OUT.json
    python bench/threads.py scaling [--quick] -o OUT.json

run_bench.py runs `gaps` and `scaling` with its own interpreter (the GIL build) and
`scaling` once more with .venv-3.13t's interpreter (3.13t), each in a fresh process
(collect()), and turns the results into rows (section()).

gaps: a second thread stamps time.perf_counter() in a tight loop and keeps every gap
between two stamps longer than GAP_FLOOR_S. The main thread sleeps a moment, makes one
call, sleeps again; the longest gap that overlaps the call is the longest the other
thread was kept from running by it. The calls: state_set and publish of a ~44 MB
document (the corpus documents repeated into one array, a fresh str every round),
state_keys() over the large store; and, as floors, the same window with the main thread
asleep, and with it spinning in a pure Python loop. The switch interval is set to 1 ms
for the whole process: a thread waiting for the GIL asks the holder to drop it only
after one interval, so at the default 5 ms even pure Python code keeps the other thread
waiting ~5 ms. The collector is off while a window is open, so a collection is not
charged to the call. (The scaling part keeps the default interval.)

The listing cases run with a third thread that makes one writing call on the same
component while the listing runs; how long that call took is kept beside the gap.

scaling: one shared mesh (10,000 agents and 10,000 keys), a mix of calls; each thread
first builds its own list of calls with its own argument objects (keys and values made
in that thread, none shared; in the `_shared` mix one list made by the main thread is run
by both; `python_floor` calls a plain Python function instead of the mesh, the machine's own
two-thread figure), then all start together; wall time from the first start
to the last finish. ratio = (2-thread calls/s) / (1-thread calls/s), one ratio per
round, the 1- and 2-thread runs interleaved with alternating order, median of rounds.
"""
import argparse
import gc
import json
import os
import random
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path[:0] = [str(BENCH / "build"), str(BENCH)]

import suite  # noqa: E402
from report import med, table  # noqa: E402

FT_PYTHON = ROOT / ".venv-3.13t" / "bin" / "python"
SWITCH_INTERVAL_S = 0.001
GAP_FLOOR_S = 20e-6       # shorter gaps are the stamping loop itself
GAP_LIMIT_MS = 5.0
SCALING_TARGET = 1.8      # read-mostly, 3.13t
DOCUMENT_BYTES = 44_000_000
SETTINGS = {  # gap rounds, floor window (s), scaling rounds, calls per thread
    "full": {"gap_rounds": 9, "window": 0.1, "scaling_rounds": 11, "calls": 200_000},
    "quick": {"gap_rounds": 3, "window": 0.05, "scaling_rounds": 3, "calls": 100_000},
}
TABLE = 10_000            # agents and keys of the scaling mesh

clock = time.perf_counter


def build_name():
    return "3.13t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL build"


# --- gaps ------------------------------------------------------------------------------

def big_document_parts():
    """The corpus documents, repeated in turn as the members of one array whose UTF-8 form
    comes nearest DOCUMENT_BYTES (the brackets ride on the first and last member)."""
    docs = [suite.document(name) for name in suite.DOCUMENTS]
    sizes = [len(d.encode()) + 1 for d in docs]
    parts, total = [], 1
    while total + sizes[len(parts) % len(docs)] / 2 < DOCUMENT_BYTES:
        k = len(parts) % len(docs)
        parts.append(docs[k])
        total += sizes[k]
    parts[0], parts[-1] = "[" + parts[0], parts[-1] + "]"
    return parts


def big_document(parts):
    """A new str every call: nothing has asked it for its UTF-8 form yet."""
    return ",".join(parts)


def gap_window(call, settle, beside=None):
    """(duration of call() in s, longest gap in s the stamping thread saw overlap it, how long
    beside() took). beside, when given, runs in a third thread started just before the call."""
    gaps, stop, ready = [], [False], threading.Event()

    def stamper():
        last = clock()
        ready.set()
        while not stop[0]:
            now = clock()
            if now - last > GAP_FLOOR_S:
                gaps.append((last, now))
            last = now

    thread = threading.Thread(target=stamper)
    thread.start()
    ready.wait()
    time.sleep(settle)
    gc.disable()
    took = []
    third = beside and threading.Thread(target=lambda: took.append(beside()))
    if third:
        third.start()
    t0 = clock()
    result = call()
    t1 = clock()
    if third:
        third.join()
    time.sleep(settle)
    stop[0] = True
    thread.join()
    gc.enable()
    del result
    longest = max((b - a for a, b in gaps if b > t0 and a < t1), default=GAP_FLOOR_S)
    return t1 - t0, longest, (took or [None])[0]


def run_gaps(mode, large):
    from korvo_mesh import KorvoMesh

    s = SETTINGS[mode]
    window = s["window"]
    parts = big_document_parts()
    doc_bytes = len(big_document(parts).encode())
    started = time.monotonic()
    keyed = KorvoMesh("bench")
    for i in range(large):
        keyed.state_set(f"user:{i:07d}", "1")
        keyed.register_agent("Customer", f"agent-{i:07d}", 0, "{}")
    print(f"  {large:,} keys and agents: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)

    def writer(call):
        """One call from another thread, made while the listing runs: how long it took."""
        def run():
            time.sleep(0.002)
            t = clock()
            call()
            return clock() - t
        return run

    def spin():
        end = clock() + window
        while clock() < end:
            pass

    # case -> prepare(): the call to make, with its inputs made before the window opens
    cases = {
        "asleep": lambda: (lambda: time.sleep(window)),
        "python_loop": lambda: spin,
        "state_set": lambda: (lambda o=KorvoMesh("bench"), text=big_document(parts): o.state_set("doc", text)),
        "publish": lambda: (lambda o=KorvoMesh("bench"), text=big_document(parts): o.publish("docs", text)),
        "state_keys": lambda: keyed.state_keys,
        "state_keys_writer": lambda: (keyed.state_keys, writer(lambda: keyed.state_set("user:0000001", "2"))),
        "list_agents_writer": lambda: (keyed.list_agents,
                                       writer(lambda: keyed.update_agent_status("agent-0000001", "idle"))),
    }
    out = {name: {"call_s": [], "gap_s": [], "beside_s": []} for name in cases}
    names = list(cases)
    for r in range(s["gap_rounds"]):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            call = cases[name]()
            call, beside = call if isinstance(call, tuple) else (call, None)
            gc.collect()
            duration, gap, beside_s = gap_window(call, settle=0.02, beside=beside)
            del call
            out[name]["call_s"].append(duration)
            out[name]["gap_s"].append(gap)
            out[name]["beside_s"].append(beside_s)
        print(f"  round {r + 1}: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    return {"document_bytes": doc_bytes, "keys": large, "window_s": window, "cases": out}


# --- scaling ---------------------------------------------------------------------------

# mix -> [(call, weight)]; weights in percent
MIXES = {
    "read_mostly": [("get_agent", 30), ("state_get", 30), ("state_exists", 30), ("state_set", 5),
                    ("update_agent_status", 5)],
    # the same calls, with one list of argument objects made by the main thread and run by both
    "read_mostly_shared": [("get_agent", 30), ("state_get", 30), ("state_exists", 30), ("state_set", 5),
                           ("update_agent_status", 5)],
    # the floor: a plain Python function of one argument, nothing shared, no mesh
    "python_floor": [("python", 100)],
    "write_heavy": [("state_set", 50), ("update_agent_status", 30), ("get_agent", 10), ("state_get", 10)],
}
STATUSES = ("running", "idle")


def scaling_mesh():
    from korvo_mesh import KorvoMesh
    o = KorvoMesh("shop", json.dumps(suite.PLAN))
    for i in range(TABLE):
        o.register_agent("Customer", f"agent-{i:06d}", 0, suite.METADATA)
        o.state_set(f"user:{i:06d}", suite.VALUE_TEXT)
    return o


def build_calls(mesh, mix, n, seed):
    """n (bound method, args) pairs; every object made here, in the thread that runs them."""
    rng = random.Random(seed)
    names, weights = zip(*MIXES[mix])
    def python(key):
        return key

    bound = {name: python if name == "python" else getattr(mesh, name) for name in names}
    calls = []
    for name in rng.choices(names, weights, k=n):
        i = rng.randrange(TABLE)
        if name == "get_agent":
            args = (f"agent-{i:06d}",)
        elif name == "update_agent_status":
            args = (f"agent-{i:06d}", suite.fresh_copy(STATUSES[i & 1]))
        elif name == "state_set":
            args = (f"user:{i:06d}", suite.fresh_copy(suite.VALUE_TEXT))
        else:
            args = (f"user:{i:06d}",)
        calls.append((bound[name], args))
    return calls


def timed_run(mesh, mix, threads, calls, seed):
    """(calls per second, CPUs busy) of `threads` threads doing `calls` calls each, all at
    once. CPUs busy = the threads' CPU time over the wall time: below `threads` when the
    machine's other work or the GIL kept them waiting."""
    barrier = threading.Barrier(threads)
    spans = [None] * threads
    errors = []
    shared = build_calls(mesh, mix, calls, seed) if mix.endswith("_shared") else None

    def worker(t):
        try:
            work = shared or build_calls(mesh, mix, calls, seed + t)
            barrier.wait()
            t0, cpu0 = clock(), time.thread_time()
            for fn, args in work:
                fn(*args)
            spans[t] = (t0, clock(), time.thread_time() - cpu0)
        except BaseException as e:  # noqa: BLE001 - raised below
            errors.append(e)
            barrier.abort()

    gc.collect()
    gc.disable()
    try:
        workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        gc.enable()
    if errors:
        raise errors[0]
    wall = max(end for _, end, _ in spans) - min(start for start, _, _ in spans)
    return threads * calls / wall, sum(cpu for _, _, cpu in spans) / wall


def run_scaling(mode):
    s = SETTINGS[mode]
    mesh = scaling_mesh()
    out = {"build": build_name(), "gil_enabled": getattr(sys, "_is_gil_enabled", lambda: True)(),
           "calls_per_thread": s["calls"], "mixes": {}}
    started = time.monotonic()
    for mix in MIXES:
        timed_run(mesh, mix, 2, s["calls"] // 10, 0)  # warm-up
        runs = {1: [], 2: []}
        for r in range(s["scaling_rounds"]):
            for threads in ((1, 2) if r % 2 == 0 else (2, 1)):
                runs[threads].append(timed_run(mesh, mix, threads, s["calls"], 1000 * (r + 1)))
        out["mixes"][mix] = {"one": [rate for rate, _ in runs[1]], "two": [rate for rate, _ in runs[2]],
                             "cpus_one": [cpus for _, cpus in runs[1]], "cpus_two": [cpus for _, cpus in runs[2]]}
        print(f"  {mix}: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    return out


# --- run_bench.py's side: the processes and the rows -----------------------------------

def child(python, part, quick, out, large=None):
    cmd = [str(python), str(Path(__file__).resolve()), part, "-o", str(out)]
    cmd += (["--quick"] if quick else []) + (["--large", str(large)] if large else [])
    print(f"\n### threads {part} ({python}): {' '.join(cmd[2:])}", flush=True)
    started = time.monotonic()
    out.unlink(missing_ok=True)
    subprocess.run(cmd, check=True)
    print(f"### threads {part} took {time.monotonic() - started:.0f} s", flush=True)
    return json.loads(out.read_text())


def ft_python_problem():
    """Why .venv-3.13t's interpreter cannot run the scaling part, or None when it can."""
    if not FT_PYTHON.exists():
        return f"no {FT_PYTHON.relative_to(ROOT)} (make module-3.13t)"
    done = subprocess.run([str(FT_PYTHON), "-c", "import korvo_mesh, sys; print(sys._is_gil_enabled())"],
                          capture_output=True, text=True)
    if done.returncode != 0:
        return "korvo_mesh does not import in .venv-3.13t: " + (done.stderr.strip().splitlines() or ["?"])[-1]
    if done.stdout.strip() != "False":
        return ".venv-3.13t's interpreter runs with the GIL"
    return None


def collect(quick, results, large):
    """Every part, each in its own process; the 3.13t scaling part is skipped, with the reason,
    when .venv-3.13t cannot run it."""
    data = {"gaps": child(sys.executable, "gaps", quick, results / "threads-gaps.json", large)["data"],
            "scaling": {"GIL build": child(sys.executable, "scaling", quick,
                                           results / "threads-scaling.json")["data"]}}
    problem = ft_python_problem()
    data["scaling"]["3.13t"] = ({"skipped": problem} if problem else
                                child(FT_PYTHON, "scaling", quick, results / "threads-scaling-ft.json")["data"])
    return data


def _ms(seconds):
    return f"{seconds * 1e3:,.1f}"


def section(data, targets):
    """The tables for summary.md; rows with a target go to `targets` too."""
    gaps = data["gaps"]
    mb = gaps["document_bytes"] / 1e6
    what = {
        "asleep": ("floor: main thread asleep", None),
        "python_loop": ("floor: main thread in a pure Python loop", None),
        "state_set": (f"`state_set` of a {mb:.1f} MB document", GAP_LIMIT_MS),
        "publish": (f"`publish` of a {mb:.1f} MB document", GAP_LIMIT_MS),
        "state_keys": (f"`state_keys()` of {gaps['keys']:,} keys", GAP_LIMIT_MS),
        "state_keys_writer": (f"`state_keys()` of {gaps['keys']:,} keys, a `state_set` waiting", GAP_LIMIT_MS),
        "list_agents_writer": (f"`list_agents()` of {gaps['keys']:,} agents, an `update_agent_status` waiting",
                               None),
    }
    rows = []
    for case, (label, limit) in what.items():
        entry = gaps["cases"][case]
        gap_ms = med(entry["gap_s"]) * 1e3
        result = ("PASS" if gap_ms <= limit else "MISS") if limit else "report"
        if limit:
            targets.append([f"{label}: longest wait of another thread (GIL build)", f"{gap_ms:,.1f} ms",
                            f"≤ {limit:g} ms", result])
        waited = [b for b in entry.get("beside_s", []) if b is not None]
        if limit and waited:
            targets.append([f"{label}: the waiting call's own wait", f"{med(waited) * 1e3:,.2f} ms",
                            f"≤ {limit:g} ms", "PASS" if med(waited) * 1e3 <= limit else "MISS"])
        rows.append([label, _ms(med(entry["call_s"])), f"{gap_ms:,.2f}", _ms(max(entry["gap_s"])),
                     f"{med(waited) * 1e3:,.2f}" if waited else "", f"≤ {limit:g} ms" if limit else "", result])
    text = [table(["call on the main thread", "call ms", "longest gap ms (median)", "worst round ms",
                   "the waiting call ms", "target", "result"], rows), "",
            f"The str is made anew each round, never asked for its UTF-8 form before the call; the corpus "
            f"documents hold characters beyond U+FFFF, so it is a 4-byte-per-character str. "
            f"Switch interval {SWITCH_INTERVAL_S * 1e3:g} ms (sys.setswitchinterval) for these rows; "
            f"gaps under {GAP_FLOOR_S * 1e6:g} µs are not kept.", ""]

    rows = []
    for build in ("3.13t", "GIL build"):
        run = data["scaling"][build]
        for mix, label in (("read_mostly", "read-mostly (90% reads)"),
                           ("read_mostly_shared", "read-mostly, argument objects shared"),
                           ("python_floor", "floor: a plain Python function, nothing shared"),
                           ("write_heavy", "write-heavy (80% writes)")):
            goal = SCALING_TARGET if (build, mix) == ("3.13t", "read_mostly") else None
            name = f"{label}, 2 threads vs 1 ({build})"
            if "skipped" in run:
                targets.append([name, "–", f"≥ {goal:g}×" if goal else "", "skipped: " + run["skipped"]])
                rows.append([label, build, "–", "–", "–", "–", "skipped: " + run["skipped"]])
                continue
            one, two = run["mixes"][mix]["one"], run["mixes"][mix]["two"]
            ratios = [b / a for a, b in zip(one, two)]
            result = ("PASS" if med(ratios) >= goal else "MISS") if goal else "report"
            targets.append([name, f"{med(ratios):.2f}×", f"≥ {goal:g}×" if goal else "", result])
            lo, hi = min(ratios), max(ratios)
            cpus = run["mixes"][mix]["cpus_one"], run["mixes"][mix]["cpus_two"]
            rows.append([label, build, f"{med(one):,.0f}", f"{med(two):,.0f}",
                         f"{med(cpus[0]):.2f} / {med(cpus[1]):.2f}", f"{med(ratios):.2f}× ({lo:.2f}–{hi:.2f})",
                         result])
    calls = next((r["calls_per_thread"] for r in data["scaling"].values() if "skipped" not in r), 0)
    text += [table(["mix", "interpreter", "1 thread calls/s", "2 threads calls/s", "CPUs busy (1 / 2 threads)",
                    "ratio (min–max of rounds)", "result"], rows), "",
             f"{calls:,} calls per thread on one mesh of {TABLE:,} agents and {TABLE:,} keys; wall time from "
             "the first thread's start to the last one's end; ratios are medians of per-round ratios. CPUs "
             "busy: the threads' CPU time over the wall time (with 2 threads, below 2 when the machine's "
             "other work or the GIL kept one waiting).", ""]
    return "\n".join(text)


def main():
    parser = argparse.ArgumentParser(description="threads: other threads' gaps and 2-thread scaling")
    parser.add_argument("part", choices=("gaps", "scaling"))
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--large", type=int, default=1_000_000, help="keys listed by the state_keys() case")
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    load = suite.load_average()
    if args.part == "gaps":
        sys.setswitchinterval(SWITCH_INTERVAL_S)
        data = run_gaps(mode, args.large)
    else:
        data = run_scaling(mode)
    Path(args.output).write_text(json.dumps({"part": args.part, "mode": mode, "build": build_name(),
                                             "switch_interval_s": sys.getswitchinterval(),
                                             "load_before": load, "load_after": suite.load_average(),
                                             "data": data}))


if __name__ == "__main__":
    main()
