"""Instructions per call, counted by valgrind's callgrind: a figure the machine's load does
not move.

    python bench/instructions.py [--quick] [--only CASE,...] [-o OUT.json]

One interpreter runs every case under `valgrind --tool=callgrind`. Only what happens
inside _korvo_floor.measured(fn) is counted (--collect-atstart=no
--toggle-collect=korvo_floor_measured), and every such call is written to its own
profile (--dump-after=korvo_floor_measured). For each case the driver (this file, with
--driver) builds its own small mesh, prepares its inputs, warms the loops up, then counts
two loops over the same inputs:

    for x in seq: pass                  # the loop alone
    for x in seq: <statement>           # the loop and the call

(calls - loop) / N is the cost of one call as a caller pays it: the interpreter's method
lookup and call sequence (some 150-250 instructions even for a method that does nothing;
see the floor rows), argument matching, the work, the result's str and its release.
Inputs that a call uses up (fresh ids, keys to delete, migrations to advance) are made
before the counted loops, so their preparation is not counted.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path[:0] = [str(BENCH / "build"), str(BENCH)]

import suite  # noqa: E402

CALLS = {"full": 2000, "quick": 500}        # calls counted per case
PREPARED_CALLS = {"full": 1000, "quick": 250}
CORPUS_CALLS = {"full": 3, "quick": 1}
WARM_UP = 100

# Instructions per call, the interpreter's own share of a method call included.
TARGETS = {
    "state_exists": 450, "state_get": 700, "update_agent_status": 800, "deregister_agent": 800,
    "state_delete": 800, "get_agent": 1100, "route_agent_call": 1800, "advance_migration": 1600,
    "start_migration": 2500, "register_agent": 3000, "state_set": 3000, "health_snapshot": 900,
}
# Instructions per byte of the document's canonical text, for the cases that read one.
PER_BYTE_TARGETS = {"corpus_get.twitter": 4.0}
ORDER = ["state_exists", "state_get", "update_agent_status", "deregister_agent", "state_delete", "get_agent",
         "route_agent_call", "advance_migration", "start_migration", "register_agent", "state_set",
         "health_snapshot", "corpus.canada", "corpus.citm_catalog", "corpus.twitter", "corpus_get.twitter",
         "floor.nop0", "floor.nop1", "floor.nop4"]
WHAT = {
    "state_exists": "state_exists (key present)",
    "state_get": "state_get (100-byte value)",
    "update_agent_status": "update_agent_status",
    "deregister_agent": "deregister_agent",
    "state_delete": "state_delete",
    "get_agent": "get_agent (small metadata)",
    "route_agent_call": "route_agent_call",
    "advance_migration": "advance_migration",
    "start_migration": "start_migration",
    "register_agent": "register_agent (small metadata)",
    "state_set": "state_set (100-byte value)",
    "health_snapshot": "health_snapshot",
    "corpus.canada": "state_set + state_get, canada (fresh str)",
    "corpus.citm_catalog": "state_set + state_get, citm_catalog (fresh str)",
    "corpus.twitter": "state_set + state_get, twitter (fresh str)",
    "corpus_get.twitter": "state_get of twitter's canonical text",
    "floor.nop0": "floor: native no-op, no argument",
    "floor.nop1": "floor: native no-op, 1 argument",
    "floor.nop4": "floor: native no-op, 4 arguments",
}


# --- the driver, run under callgrind -------------------------------------------------------

def loop_pair(stmt):
    src = ("def empty(seq, o, a, b, c, d):\n"
           "    for x in seq:\n"
           "        pass\n"
           "def calls(seq, o, a, b, c, d):\n"
           "    for x in seq:\n"
           f"        {stmt}\n")
    namespace = {}
    exec(compile(src, f"<count {stmt}>", "exec"), namespace)
    return namespace["empty"], namespace["calls"]


def case_setup(case, mode):
    """(statement, o, (a, b, c, d), warm-up inputs, counted inputs) of one case, on a
    fresh small mesh. Inputs are lists whose items the loops take as x; a call that can
    repeat gets a list of None."""
    n, prepared = CALLS[mode], PREPARED_CALLS[mode]
    mesh_cls = suite.implementation("mesh")
    if case.startswith("floor."):
        arity = int(case[-1])
        stmt = f"o.nop{arity}({', '.join('abcd'[:arity])})"
        return stmt, suite.implementation("floor")(), (1, 2, 3, 4), [None] * WARM_UP, [None] * n
    if case.startswith("corpus_get."):
        o = mesh_cls("bench")
        o.state_set("doc", suite.document(case.split(".", 1)[1]))
        return "o.state_get('doc')", o, (None,) * 4, [None], [None] * CORPUS_CALLS[mode]
    if case.startswith("corpus."):
        text = suite.document(case.split(".", 1)[1])
        counted = [suite.fresh_copy(text) for _ in range(CORPUS_CALLS[mode])]
        return ("o.state_set('doc', x); o.state_get('doc')", mesh_cls("bench"), (None,) * 4,
                [suite.fresh_copy(text)], counted)

    o = suite.populated(mesh_cls)
    args = suite.ARGS.get(case, {})
    abcd = tuple(args.get(k) for k in "abcd")
    stmt = suite.METHODS[case][0]
    if case not in suite.PREPARED:
        return stmt, o, abcd, [None] * WARM_UP, [None] * n

    def inputs(k):
        if case == "register_agent":
            return suite.fresh_ids("new", k)
        if case == "deregister_agent":
            ids = suite.fresh_ids("gone", k)
            for agent_id in ids:
                o.register_agent("Customer", agent_id)
            return ids
        if case == "state_delete":
            keys = suite.fresh_ids("tmp:cart", k)
            for key in keys:
                o.state_set(key, suite.VALUE_TEXT)
            return keys
        if case == "start_migration":
            return suite.fresh_ids("new.Var", k)
        if case == "advance_migration":  # each from stage 1 to the last
            names = suite.fresh_ids("step.Var", -(-k // suite.STEPS))
            for name in names:
                o.start_migration(name, "sqlite", "redis")
            return [name for name in names for _ in range(suite.STEPS)][:k]
        raise ValueError(case)

    return stmt, o, abcd, inputs(WARM_UP), inputs(prepared)


def driver(cases, mode):
    from _korvo_floor import measured

    done = []
    for case in cases:
        stmt, o, abcd, warm, counted = case_setup(case, mode)
        empty, calls = loop_pair(stmt)
        empty(warm, o, *abcd)  # warm-up: the interpreter adapts the loops, caches fill
        calls(warm, o, *abcd)
        measured(lambda: empty(counted, o, *abcd))
        measured(lambda: calls(counted, o, *abcd))
        done.append({"case": case, "calls": len(counted)})
    print(json.dumps(done))


# --- the runner ------------------------------------------------------------------------

def read_total(path):
    for line in Path(path).read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise ValueError(f"no total in {path}")


def count(cases, mode):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        raise SystemExit("valgrind is not installed (apt-get install valgrind)")
    with tempfile.TemporaryDirectory(prefix="korvo-callgrind-") as tmp:
        out = Path(tmp) / "callgrind.out"
        cmd = [valgrind, "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=korvo_floor_measured",
               "--dump-after=korvo_floor_measured", f"--callgrind-out-file={out}",
               sys.executable, __file__, "--driver", ",".join(cases), *(["--quick"] if mode == "quick" else [])]
        env = {**os.environ, "PYTHONHASHSEED": "0"}
        done = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
        ran = json.loads(done.stdout.strip().splitlines()[-1])
        dumps = sorted(Path(tmp).glob("callgrind.out.*"), key=lambda p: int(p.suffix[1:]))
        if len(dumps) != 2 * len(ran):
            raise SystemExit(f"expected {2 * len(ran)} profiles, found {len(dumps)}:\n{done.stderr[-2000:]}")
        rows = []
        for i, entry in enumerate(ran):
            loop, calls = read_total(dumps[2 * i]), read_total(dumps[2 * i + 1])
            per_call = (calls - loop) / entry["calls"]
            case = entry["case"]
            target = TARGETS.get(case)
            if case in PER_BYTE_TARGETS:
                target = PER_BYTE_TARGETS[case] * canonical_size(case)
            rows.append({"case": case, "what": WHAT[case], "calls": entry["calls"],
                         "loop_per_iteration": loop / entry["calls"], "per_call": per_call, "target": target,
                         "result": None if target is None else ("PASS" if per_call <= target else "MISS")})
        return rows


def canonical_size(case):
    """Bytes of the canonical text of a case's document."""
    mesh = suite.implementation("mesh")("size")
    mesh.state_set("doc", suite.document(case.split(".", 1)[1]))
    return len(mesh.state_get("doc").encode())


def table(rows):
    lines = ["| call | instructions per call | target | result |", "|---|---:|---:|---|"]
    for r in rows:
        value = f"{r['per_call']:,.0f}"
        if r["case"].startswith("corpus."):
            size = len(suite.document(r["case"].split(".", 1)[1]).encode())
            value += f" ({r['per_call'] / size:.1f} per input byte)"
        target = f"≤ {r['target']:,}" if r["target"] else "–"
        if r["case"] in PER_BYTE_TARGETS:
            size = canonical_size(r["case"])
            value += f" ({r['per_call'] / size:.2f} per byte)"
            target = f"≤ {PER_BYTE_TARGETS[r['case']]:g} per byte"
        lines.append(f"| {r['what']} | {value} | {target} | {r['result'] or ''} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description="instructions per call under callgrind")
    parser.add_argument("--quick", action="store_true", help="fewer calls per case")
    parser.add_argument("--only", default="", help="comma-separated cases (default: all)")
    parser.add_argument("--driver", help=argparse.SUPPRESS)
    parser.add_argument("-o", "--output", help="write the rows as JSON here")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    if args.driver:
        driver(args.driver.split(","), mode)
        return
    cases = [c for c in args.only.split(",") if c] or ORDER
    unknown = set(cases) - set(ORDER)
    if unknown:
        raise SystemExit(f"unknown cases: {', '.join(sorted(unknown))}")
    rows = count(cases, mode)
    print(table(rows))
    passed = sum(r["result"] == "PASS" for r in rows)
    print(f"\n{passed} PASS, {sum(r['result'] == 'MISS' for r in rows)} MISS "
          f"(valgrind --tool=callgrind, {mode} run)")
    if args.output:
        Path(args.output).write_text(json.dumps({"mode": mode, "rows": rows}, indent=1))


if __name__ == "__main__":
    main()
