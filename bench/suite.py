"""The benchmark cases, run by pyperf. run_bench.py drives this script once per group:

    python bench/suite.py --group methods|corpus|scale [pyperf options] -o OUT.json
    python bench/suite.py --memory mesh|pure agents|state N     (RSS per entry, no pyperf)

Every case is a time function: pyperf hands it a loop count, the function prepares what
the case needs without the clock running (a populated mesh, fresh ids, a document) and
returns the time of exactly `loops` calls. The loops are compiled from a one-line
statement so that the mesh, PureMesh and the floor are called in the same way, with
their arguments in local variables and no wrapper call in between.

How cases that cannot simply repeat are measured: in chunks of CHUNK timed calls, each
prepared and tidied up without the clock running, so that the tables stay at the small
mesh's size (a batch of 10^5 fresh ids in one table would measure cache misses instead):
  * register_agent: fresh ids registered (timed), then deregistered (untimed);
  * deregister_agent, state_delete: the chunk's ids/keys added (untimed), then each
    removed once (timed);
  * start_migration: fresh names on a fresh 10-record controller per chunk (migrations
    are never removed, and a name cannot be started twice while active);
  * advance_migration, rollback_migration: migrations started (and, for rollback,
    advanced to stage 5) untimed; each then takes five timed steps (1 -> 6, or 5 -> 0).
The floor for the 1-argument chunked cases (nop1_chunks) runs the same chunked loop.
"""
import json
import math
import os
import random
import sys
import time
from itertools import cycle, islice, repeat
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path[:0] = [str(BENCH / "build"), str(BENCH)]

DATA = BENCH / "data"
DOCUMENTS = ("canada", "citm_catalog", "twitter")
SCALE_SMALL = 1_000
SAMPLE = 65_536  # keys touched by a scale case, drawn at random from the whole table

PLAN = {
    "app_name": "shop",
    "backends": {
        "primary": {"backend_type": "sqlite", "config": {"path": "shop.db", "journal": "wal"}},
        "cache": {"backend_type": "redis", "config": {"url": "redis://127.0.0.1:6379/0", "ttl": 300}},
    },
    "functions": ["checkout", "restock"],
    "agents": ["Customer", "Inventory"],
}
METADATA = json.dumps({"region": "eu", "tier": 2})
ROUTE_ARGS = json.dumps({"basket": ["tea", "cups"]})
PAYLOAD = json.dumps({"order": 1017, "customer": "customer-42", "total": 12.5})
# A cart as an application would write it (json.dumps spacing); 100 bytes once canonical.
VALUE = {"currency": "EUR", "customer": "customer-42", "items": ["tea", "cups", "saucer"],
         "total": 12.5, "ts": 1733650000}
VALUE_TEXT = json.dumps(VALUE)


def implementation(impl):
    if impl == "mesh":
        from korvo_mesh import KorvoMesh
        return KorvoMesh
    if impl == "pure":
        from pure_mesh import PureMesh
        return PureMesh
    if impl == "floor":
        from _korvo_floor import Floor
        return Floor
    raise ValueError(impl)


# --- loops ---------------------------------------------------------------------------

HEADS = {
    "const": "for _ in repeat(None, loops):",  # no int object made per iteration
    "cycle": "for x in islice(cycle(seq), loops):",
}
CHUNK = 1000  # calls per timed chunk of a "chunks" loop


def compile_loop(stmt, head="const"):
    if head == "chunks":
        # seq: lists of CHUNK values; before(chunk) prepares the chunk untimed and returns
        # the object to call, after(o, chunk) tidies up untimed. Keeps tables at their size.
        src = ("def timed(loops, seq, o, a, b, c, d, before, after):\n"
               "    total = 0.0\n"
               "    for chunk in seq:\n"
               "        o = before(chunk)\n"
               "        t0 = perf_counter()\n"
               "        for x in chunk:\n"
               f"            {stmt}\n"
               "        total += perf_counter() - t0\n"
               "        after(o, chunk)\n"
               "    return total\n")
    else:
        src = ("def timed(loops, seq, o, a, b, c, d, before, after):\n"
               "    t0 = perf_counter()\n"
               f"    {HEADS[head]}\n"
               f"        {stmt}\n"
               "    return perf_counter() - t0\n")
    namespace = {"perf_counter": time.perf_counter, "islice": islice, "cycle": cycle, "repeat": repeat}
    exec(compile(src, f"<loop {stmt}>", "exec"), namespace)
    return namespace["timed"]


def time_func(stmt, setup, head="const", per_batch=False, reps=1):
    """A pyperf time function: `setup(loops)` gives the loop's variables (o, a..d, seq);
    it runs once per process, or before every batch when `per_batch` is set. Each of
    pyperf's loops runs the statement `reps` times (pyperf's inner loops)."""
    timed = compile_loop(stmt, head)
    per_batch = per_batch or head == "chunks"  # chunks are made for the batch's loop count
    memo = {}

    def run(loops):
        if per_batch or not memo:
            memo.clear()
            memo.update(setup(loops))
        env = {"seq": None, "o": None, "a": None, "b": None, "c": None, "d": None,
               "before": None, "after": None, **memo}
        return timed(loops * reps, **env)

    return run


# --- the small, realistic mesh ---------------------------------------------------------

def populated(cls):
    """1000 agents (10 of them Inventory), 1010 state keys, 10 migrations at various
    stages, 3 topics: a busy but ordinary application."""
    o = cls("shop", json.dumps(PLAN))
    for i in range(1000):
        kind = "Inventory" if i % 100 == 0 else "Customer"
        o.register_agent(kind, f"{kind.lower()}-{i}", i % 4, METADATA)
        if i % 3 == 0:
            o.update_agent_status(f"{kind.lower()}-{i}", "running")
        o.state_set(f"cart:customer-{i}", VALUE_TEXT)
    for i in range(10):
        o.state_set(f"config:option-{i}", json.dumps({"retries": i, "timeout_s": 1.5}))
        o.start_migration(f"var{i}.Items", "sqlite", "redis")
        for _ in range(i % 6):
            o.advance_migration(f"var{i}.Items", 0, 100)
    for topic in ("orders.created", "audit", "inventory.low"):
        o.publish(topic, PAYLOAD)
    return o


def fresh_ids(prefix, n):
    return [f"{prefix}-{i}" for i in range(n)]


def chunked(values):
    return [values[i:i + CHUNK] for i in range(0, len(values), CHUNK)]


def nothing(o, chunk):
    pass


def with_migrations(cls):
    """The migration side of populated(): a fresh controller with 10 records."""
    o = cls("shop", json.dumps(PLAN))
    for i in range(10):
        o.start_migration(f"var{i}.Items", "sqlite", "redis")
        for _ in range(i % 6):
            o.advance_migration(f"var{i}.Items", 0, 100)
    return o


def method_setups(cls):
    """method -> (statement, positional argument count, loop head, setup, per batch)."""
    shared = {}

    def mesh():
        if "o" not in shared:
            shared["o"] = populated(cls)
        return shared["o"]

    def const(**kw):
        return lambda loops: {"o": mesh(), **kw}

    # Chunked cases: CHUNK timed calls at a time, the tables kept at their populated size.
    def register(loops):
        def after(o, chunk):
            for agent_id in chunk:
                o.deregister_agent(agent_id)
        return {"a": "Customer", "b": METADATA, "seq": chunked(fresh_ids("new", loops)),
                "before": lambda chunk: mesh(), "after": after}

    def deregister(loops):
        def before(chunk):
            o = mesh()
            for agent_id in chunk:
                o.register_agent("Customer", agent_id)
            return o
        return {"seq": chunked(fresh_ids("gone", loops)), "before": before, "after": nothing}

    def delete(loops):
        def before(chunk):
            o = mesh()
            for key in chunk:
                o.state_set(key, VALUE_TEXT)
            return o
        return {"seq": chunked(fresh_ids("tmp:cart", loops)), "before": before, "after": nothing}

    def start(loops):
        # no migration is ever removed: each chunk starts on a fresh 10-record controller
        return {"a": "sqlite", "b": "redis", "seq": chunked(fresh_ids("new.Var", loops)),
                "before": lambda chunk: with_migrations(cls), "after": nothing}

    def stepping(rollback):
        def before(chunk):
            o = with_migrations(cls)
            for name in dict.fromkeys(chunk):
                o.start_migration(name, "sqlite", "redis")
                for _ in range(4 if rollback else 0):
                    o.advance_migration(name)
            return o

        def setup(loops):
            names = fresh_ids("step.Var", math.ceil(loops / 5))
            return {"a": 120, "seq": chunked([n for n in names for _ in range(5)][:loops]),
                    "before": before, "after": nothing}
        return setup

    return {
        "register_agent": ("o.register_agent(a, x, 3, b)", 4, "chunks", register, True),
        "get_agent": ("o.get_agent(a)", 1, "const", const(a="customer-42"), False),
        "list_agents": ("o.list_agents(a)", 1, "const", const(a="Inventory"), False),
        "update_agent_status": ("o.update_agent_status(a, b)", 2, "const",
                                const(a="customer-42", b="idle"), False),
        "deregister_agent": ("o.deregister_agent(x)", 1, "chunks", deregister, True),
        "route_agent_call": ("o.route_agent_call(a, b, c, d)", 4, "const",
                             const(a="Customer", b="customer-42", c="checkout", d=ROUTE_ARGS), False),
        "state_get": ("o.state_get(a)", 1, "const", const(a="cart:customer-42"), False),
        "state_set": ("o.state_set(a, b)", 2, "const", const(a="cart:customer-42", b=VALUE_TEXT), False),
        "state_delete": ("o.state_delete(x)", 1, "chunks", delete, True),
        "state_exists": ("o.state_exists(a)", 1, "const", const(a="cart:customer-42"), False),
        "state_keys": ("o.state_keys(a)", 1, "const", const(a="config:"), False),
        "publish": ("o.publish(a, b)", 2, "const", const(a="orders.created", b=PAYLOAD), False),
        "start_migration": ("o.start_migration(x, a, b)", 3, "chunks", start, True),
        "advance_migration": ("o.advance_migration(x, 0, a)", 3, "chunks", stepping(False), True),
        "rollback_migration": ("o.rollback_migration(x)", 1, "chunks", stepping(True), True),
        "get_migration": ("o.get_migration(a)", 1, "const", const(a="var3.Items"), False),
        "list_migrations": ("o.list_migrations()", 0, "const", const(), False),
        "health_snapshot": ("o.health_snapshot()", 0, "const", const(), False),
        "plan_json": ("o.plan_json()", 0, "const", const(), False),
        "__repr__": ("repr(o)", None, "const", const(), False),
    }


def floor_setups():
    shared = {}

    def floor():
        if "o" not in shared:
            shared["o"] = implementation("floor")()
        return shared["o"]

    def const(**kw):
        return lambda loops: {"o": floor(), **kw}

    args = {"a": "customer-42", "b": "idle", "c": "checkout", "d": ROUTE_ARGS}
    return {
        "nop0": ("o.nop0()", const()),
        "nop1": ("o.nop1(a)", const(**args)),
        "nop2": ("o.nop2(a, b)", const(**args)),
        "nop3": ("o.nop3(a, b, c)", const(**args)),
        "nop4": ("o.nop4(a, b, c, d)", const(**args)),
        "str0": ("o.str0()", const()),
        "str1": ("o.str1(a)", const(**args)),
        "nop1_chunks": ("o.nop1(x)", lambda loops: {"seq": chunked(fresh_ids("gone", loops)),
                                                    "before": lambda chunk: floor(), "after": nothing}),
    }


# The calls each mesh method is held against (same arity and loop shape).
def floor_for(method, arity, head):
    if arity is None:
        return None
    if head == "chunks" and arity == 1:
        return "nop1_chunks"
    return f"nop{arity}"


def methods_cases():
    cases = []
    for impl in ("mesh", "pure"):
        for method, (stmt, _arity, head, setup, per_batch) in method_setups(implementation(impl)).items():
            cases.append((f"method.{impl}.{method}", time_func(stmt, setup, head, per_batch)))
    for name, (stmt, setup) in floor_setups().items():
        head = "chunks" if name.endswith("_chunks") else "const"
        cases.append((f"method.floor.{name}", time_func(stmt, setup, head)))
    return cases


# --- corpus: canonical round trips of real documents -------------------------------------

def document(name):
    return (DATA / f"{name}.json").read_text(encoding="utf-8")


def corpus_cases():
    import orjson

    cases = []
    for doc in DOCUMENTS:
        def text(loops, doc=doc, **extra):
            return {"a": document(doc), **extra}

        mesh = lambda loops, text=text: text(loops, o=implementation("mesh")("bench"))  # noqa: E731
        cases += [
            (f"corpus.{doc}.mesh_roundtrip",
             time_func("o.state_set('doc', a); o.state_get('doc')", mesh)),
            (f"corpus.{doc}.mesh_publish", time_func("o.publish('docs', a)", mesh)),
            (f"corpus.{doc}.orjson",
             time_func("b(c(a), option=d).decode()",
                       lambda loops, text=text: text(loops, b=orjson.dumps, c=orjson.loads,
                                                     d=orjson.OPT_SORT_KEYS))),
            (f"corpus.{doc}.stdlib",
             time_func("b(c(a), sort_keys=True, separators=d)",
                       lambda loops, text=text: text(loops, b=json.dumps, c=json.loads, d=(",", ":")))),
        ]
    return cases


def canonical_outputs(doc):
    """Round-trip texts of one document by the mesh and by orjson (for the table's
    'same bytes' column)."""
    import orjson
    text = document(doc)
    mesh = implementation("mesh")("check")
    mesh.state_set("doc", text)
    return mesh.state_get("doc"), orjson.dumps(orjson.loads(text), option=orjson.OPT_SORT_KEYS).decode()


# --- scale: 1k vs 1M entries ------------------------------------------------------------

# "fast" operations run a fixed number of loops (one pass over the key sample); the
# "slow" ones (linear in the table size) run once per value.
SCALE_FAST = ("state_get", "state_set", "state_exists", "get_agent", "health_snapshot",
              "state_get_hot", "state_exists_hot", "get_agent_hot")
SCALE_SLOW = ("list_agents", "state_keys_prefix")
SCALE_OPS = SCALE_FAST + SCALE_SLOW


def scaled_mesh(n, agents, state):
    o = implementation("mesh")("shop", json.dumps(PLAN))
    if agents:
        for i in range(n):
            o.register_agent("Customer", f"agent-{i:07d}")
        for i in range(0, n, 4):
            o.update_agent_status(f"agent-{i:07d}", "running" if i % 8 else "idle")
    if state:
        for i in range(n):
            o.state_set(f"user:{i:07d}", VALUE_TEXT)
        for i in range(10):
            o.state_set(f"hot:{i}", "1")
    return o


def sample(prefix, n):
    """SAMPLE keys of the scaled tables (agent-0000123 / user:0000123), drawn at random."""
    rng = random.Random(20241208)
    sep = "-" if prefix == "agent" else ":"
    return [f"{prefix}{sep}{rng.randrange(n):07d}" for _ in range(SAMPLE)]


def scale_cases(large, ops=SCALE_OPS):
    cases = []
    for n in (SCALE_SMALL, large):
        def st(loops, n=n):
            return {"o": scaled_mesh(n, False, True), "seq": sample("user", n), "b": VALUE_TEXT}

        def ag(loops, n=n):
            return {"o": scaled_mesh(n, True, False), "seq": sample("agent", n)}

        setups = {
            "state_get": ("o.state_get(x)", "cycle", st),
            "state_set": ("o.state_set(x, b)", "cycle", st),
            "state_exists": ("o.state_exists(x)", "cycle", st),
            "get_agent": ("o.get_agent(x)", "cycle", ag),
            # the same key on every call: the lookup itself, without the cache misses
            "state_get_hot": ("o.state_get(a)", "const", lambda loops, st=st: {**st(loops), "a": "user:0000042"}),
            "state_exists_hot": ("o.state_exists(a)", "const",
                                 lambda loops, st=st: {**st(loops), "a": "user:0000042"}),
            "get_agent_hot": ("o.get_agent(a)", "const", lambda loops, ag=ag: {**ag(loops), "a": "agent-0000042"}),
            "health_snapshot": ("o.health_snapshot()", "const",
                                lambda loops, n=n: {"o": scaled_mesh(n, True, True)}),
            "list_agents": ("o.list_agents()", "const", lambda loops, n=n: {"o": scaled_mesh(n, True, False)}),
            "state_keys_prefix": ("o.state_keys(a)", "const",
                                  lambda loops, n=n: {"o": scaled_mesh(n, False, True), "a": "hot:"}),
        }
        for op in ops:
            stmt, head, setup = setups[op]
            # a linear operation on the small table is called often enough per value
            reps = max(1, 200_000 // n) if op in SCALE_SLOW else 1
            cases.append((f"scale.{op}.{n}", time_func(stmt, setup, head, reps=reps), reps))
    return cases


# --- memory: resident set growth per entry ---------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory(impl, kind, n):
    o = implementation(impl)("shop")
    before = rss_bytes()
    if kind == "agents":
        for i in range(n):
            o.register_agent("Customer", f"agent-{i:07d}")
    else:
        for i in range(n):
            o.state_set(f"user:{i:07d}", VALUE_TEXT)
    grown = rss_bytes() - before
    return {"impl": impl, "kind": kind, "entries": n, "bytes_per_entry": grown / n}


# --- entry point ---------------------------------------------------------------------

def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--memory":
        print(json.dumps(memory(sys.argv[2], sys.argv[3], int(sys.argv[4]))))
        return

    import pyperf

    def pass_through(cmd, args):
        cmd.extend(["--group", args.group, "--large", str(args.large), "--ops", args.ops])

    runner = pyperf.Runner(add_cmdline_args=pass_through)
    runner.argparser.add_argument("--group", choices=("methods", "corpus", "scale"), required=True)
    runner.argparser.add_argument("--large", type=int, default=1_000_000)
    runner.argparser.add_argument("--ops", choices=("all", "fast", "slow"), default="all",
                                  help="scale group: which operations")
    args = runner.parse_args()
    runner.metadata["korvo_mesh_file"] = implementation("mesh").__module__
    if args.group == "methods":
        cases = methods_cases()
    elif args.group == "corpus":
        cases = corpus_cases()
    else:
        ops = {"all": SCALE_OPS, "fast": SCALE_FAST, "slow": SCALE_SLOW}[args.ops]
        cases = scale_cases(args.large, ops)
    for name, func, *reps in cases:
        runner.bench_time_func(name, func, inner_loops=reps[0] if reps else None)


if __name__ == "__main__":
    main()
