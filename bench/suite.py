"""The timed benchmark cases. run_bench.py runs each group in a fresh process:

    python bench/suite.py --group methods|corpus|scale [--quick] [--large N] -o OUT.json
    python bench/suite.py --memory mesh|pure agents|state N      (RSS growth per entry)

How a group is timed: each case has contenders (the mesh, the lean Python baseline, the
floor, orjson, a plain dict...) that answer the same calls. A contender runs in batches of
a fixed number of calls, chosen once so that a batch takes about BATCH seconds. A case
then runs ROUNDS rounds; each round runs one batch of every contender, one after the
other, starting with a different contender each round. The machine's load drifts over
seconds, so contenders measured side by side within a round see the same machine: a
ratio is taken per round and the median over the rounds is reported. Raw ns per call of
every round go to the output file; run_bench.py takes the medians.

Every batch is a loop compiled from one statement, so that all contenders are called the
same way, with their arguments in local variables and no wrapper call in between:

    for x in seq:
        <statement>

Calls that cannot simply repeat run on prepared inputs: each chunk of up to CHUNK calls
is prepared (and afterwards tidied up) with the clock stopped, so that the tables keep
the small mesh's size:
  * register_agent: fresh ids registered (timed), then deregistered (untimed);
  * deregister_agent, state_delete: the chunk's ids/keys added (untimed), then each
    removed once (timed);
  * start_migration: fresh names on a fresh 10-record controller per chunk;
  * advance_migration, rollback_migration: migrations started (and, for rollback,
    advanced to stage 5) untimed; each then takes five timed steps.
The corpus cases make a pool of fresh, equal copies of the document before each batch,
so that every call gets a str whose UTF-8 form has never been asked for (see README.md).
"""
import argparse
import gc
import json
import os
import random
import statistics
import sys
import time
from itertools import repeat
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path[:0] = [str(BENCH / "build"), str(BENCH)]

from pure_mesh import DONE  # noqa: E402

DATA = BENCH.parent / "tests" / "data" / "corpus"  # the corpus documents, kept with the tests
DOCUMENTS = ("canada", "citm_catalog", "twitter")
SCALE_SMALL = 1_000
SAMPLE = 65_536  # keys looked up per batch by a scale case, drawn at random from the whole table
CHUNK = 1000     # calls per prepared chunk
STEPS = DONE - 1  # advances that take a migration from its first stage to its last

# Rounds and the time a batch should take, per group.
SETTINGS = {
    "full": {"methods": (31, 0.010), "corpus": (15, 0.030), "scale": (15, None), "scale-slow": (7, 0.050)},
    "quick": {"methods": (5, 0.002), "corpus": (3, 0.010), "scale": (3, None), "scale-slow": (3, 0.010)},
}

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
VALUE = {"currency": "EUR", "customer": "customer-42", "items": ["tea", "cups", "pot"], "total": 9.5,
         "ts": 1733650000}
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


def load_average():
    return os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")


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


def with_migrations(cls):
    """The migration side of populated(): a fresh controller with 10 records."""
    o = cls("shop", json.dumps(PLAN))
    for i in range(10):
        o.start_migration(f"var{i}.Items", "sqlite", "redis")
        for _ in range(i % 6):
            o.advance_migration(f"var{i}.Items", 0, 100)
    return o


_serial = iter(range(10**12))


def fresh_ids(prefix, n):
    """n names never used before in this process."""
    return [f"{prefix}-{next(_serial)}" for _ in range(n)]


def document(name):
    return (DATA / f"{name}.json").read_text(encoding="utf-8")


def fresh_copy(text):
    """An equal str that is a new object: nothing has asked it for its UTF-8 form yet."""
    copy = text[:1] + text[1:]
    assert copy == text and copy is not text
    return copy


# --- loops and contenders ------------------------------------------------------------------

# Batches are timed by the CPU time of this thread, not the wall clock: on a shared
# machine a batch is often descheduled, and the wall clock would count the other
# processes' time too. Reading this clock is a system call (0.3-3 us); its cost, taken
# once per process, is subtracted from every timed region.
clock = time.thread_time


def clock_overhead(samples=2001):
    pairs = []
    for _ in range(samples):
        t0 = clock()
        pairs.append(clock() - t0)
    return statistics.median(pairs)


CLOCK_OVERHEAD = None


def compile_loop(stmt):
    global CLOCK_OVERHEAD
    if CLOCK_OVERHEAD is None:
        CLOCK_OVERHEAD = clock_overhead()
    src = ("def loop(seq, o, a, b, c, d):\n"
           "    t0 = clock()\n"
           "    for x in seq:\n"
           f"        {stmt}\n"
           "    return clock() - t0 - overhead\n")
    namespace = {"clock": clock, "overhead": CLOCK_OVERHEAD}
    exec(compile(src, f"<loop {stmt}>", "exec"), namespace)
    return namespace["loop"]


class Contender:
    """One way of answering a case's calls. `env` gives the loop's o, a..d. With
    `prepare`, calls run in chunks: prepare(k) -> (o, items) untimed, the timed loop
    runs over items, tidy(o, items) untimed."""

    def __init__(self, name, stmt, env=None, prepare=None, tidy=None, chunk=CHUNK):
        self.name, self.stmt = name, stmt
        self.loop = compile_loop(stmt)
        self.env = {"o": None, "a": None, "b": None, "c": None, "d": None, **(env or {})}
        self.prepare, self.tidy, self.chunk = prepare, tidy, chunk
        self.calls = 1

    def batch(self, calls):
        env = self.env
        if self.prepare is None:
            return self.loop(repeat(None, calls), **env)
        total, left = 0.0, calls
        while left:
            k = min(left, self.chunk)
            o, items = self.prepare(k)
            total += self.loop(items, o, env["a"], env["b"], env["c"], env["d"])
            if self.tidy is not None:
                self.tidy(o, items)
            left -= k
        return total

    def calibrate(self, seconds):
        """Calls per batch: doubled until a batch takes `seconds` (the runs warm up too)."""
        calls = 1
        while True:
            if self.batch(calls) >= seconds or calls >= 1 << 24:
                self.calls = calls
                return calls
            calls *= 2


def interleave(contenders, rounds, seconds, calls=None):
    """ns per call of every contender in every round, the contenders run one after the
    other within a round, each round starting with the next one."""
    for c in contenders:
        if calls is not None:
            c.calls = calls
            c.batch(calls)  # warm-up
        else:
            c.calibrate(seconds)
    gc.collect()
    result = {c.name: [] for c in contenders}
    for r in range(rounds):
        k = r % len(contenders)
        for c in contenders[k:] + contenders[:k]:
            result[c.name].append(c.batch(c.calls) / c.calls * 1e9)
    return result


# --- methods: every method on the small mesh, against the baseline and the floor ----------

# method -> (statement, positional argument count); the statement's arguments come from
# method_env(); methods with prepared inputs use x.
METHODS = {
    "register_agent": ("o.register_agent(a, x, 3, b)", 4),
    "get_agent": ("o.get_agent(a)", 1),
    "list_agents": ("o.list_agents(a)", 1),
    "update_agent_status": ("o.update_agent_status(a, b)", 2),
    "deregister_agent": ("o.deregister_agent(x)", 1),
    "route_agent_call": ("o.route_agent_call(a, b, c, d)", 4),
    "state_get": ("o.state_get(a)", 1),
    "state_set": ("o.state_set(a, b)", 2),
    "state_delete": ("o.state_delete(x)", 1),
    "state_exists": ("o.state_exists(a)", 1),
    "state_keys": ("o.state_keys(a)", 1),
    "publish": ("o.publish(a, b)", 2),
    "start_migration": ("o.start_migration(x, a, b)", 3),
    "advance_migration": ("o.advance_migration(x, 0, a)", 3),
    "rollback_migration": ("o.rollback_migration(x)", 1),
    "get_migration": ("o.get_migration(a)", 1),
    "list_migrations": ("o.list_migrations()", 0),
    "health_snapshot": ("o.health_snapshot()", 0),
    "plan_json": ("o.plan_json()", 0),
    "__repr__": ("repr(o)", None),
}
PREPARED = ("register_agent", "deregister_agent", "state_delete", "start_migration", "advance_migration",
            "rollback_migration")
ARGS = {
    "register_agent": {"a": "Customer", "b": METADATA},
    "get_agent": {"a": "customer-42"},
    "list_agents": {"a": "Inventory"},
    "update_agent_status": {"a": "customer-42", "b": "idle"},
    "route_agent_call": {"a": "Customer", "b": "customer-42", "c": "checkout", "d": ROUTE_ARGS},
    "state_get": {"a": "cart:customer-42"},
    "state_set": {"a": "cart:customer-42", "b": VALUE_TEXT},
    "state_exists": {"a": "cart:customer-42"},
    "state_keys": {"a": "config:"},
    "publish": {"a": "orders.created", "b": PAYLOAD},
    "start_migration": {"a": "sqlite", "b": "redis"},
    "advance_migration": {"a": 120},
    "get_migration": {"a": "var3.Items"},
}


def method_contender(name, cls, method, mesh):
    """A contender calling `method` on `mesh` (a populated instance of cls)."""
    stmt, _ = METHODS[method]
    args = ARGS.get(method, {})
    if method not in PREPARED:
        return Contender(name, stmt, {"o": mesh, **args})

    if method == "register_agent":
        def prepare(k):
            return mesh, fresh_ids("new", k)

        def tidy(o, ids):
            for agent_id in ids:
                o.deregister_agent(agent_id)
        return Contender(name, stmt, args, prepare, tidy)
    if method == "deregister_agent":
        def prepare(k):
            ids = fresh_ids("gone", k)
            for agent_id in ids:
                mesh.register_agent("Customer", agent_id)
            return mesh, ids
        return Contender(name, stmt, args, prepare)
    if method == "state_delete":
        def prepare(k):
            keys = fresh_ids("tmp:cart", k)
            for key in keys:
                mesh.state_set(key, VALUE_TEXT)
            return mesh, keys
        return Contender(name, stmt, args, prepare)
    if method == "start_migration":
        # no migration is ever removed: each chunk starts on a fresh 10-record controller
        return Contender(name, stmt, args, lambda k: (with_migrations(cls), fresh_ids("new.Var", k)))

    rollback = method == "rollback_migration"

    def prepare(k):
        o = with_migrations(cls)
        names = fresh_ids("step.Var", -(-k // STEPS))
        for n in names:
            o.start_migration(n, "sqlite", "redis")
            for _ in range(STEPS - 1 if rollback else 0):
                o.advance_migration(n)
        return o, [n for n in names for _ in range(STEPS)][:k]
    return Contender(name, stmt, args, prepare)


def floor_contender(method):
    stmt, arity = METHODS[method]
    if arity is None:
        return None
    floor = implementation("floor")()
    args = ("a", "b", "c", "d")[:arity]
    stmt = f"o.nop{arity}({', '.join(args)})"
    if method in PREPARED:  # the same chunked loop, x as the first argument
        stmt = f"o.nop{arity}({', '.join(('x',) + args[1:])})"
        return Contender("floor", stmt, {"a": 1, "b": 2, "c": 3, "d": 4},
                         lambda k: (floor, fresh_ids("floor", k)))
    return Contender("floor", stmt, {"o": floor, "a": 1, "b": 2, "c": 3, "d": 4})


def run_methods(mode, only=None):
    rounds, seconds = SETTINGS[mode]["methods"]
    mesh_cls, pure_cls = implementation("mesh"), implementation("pure")
    mesh, pure = populated(mesh_cls), populated(pure_cls)
    out = {}
    for method in METHODS:
        if only and method not in only:
            continue
        contenders = [method_contender("mesh", mesh_cls, method, mesh),
                      method_contender("pure", pure_cls, method, pure)]
        floor = floor_contender(method)
        if floor is not None:
            contenders.append(floor)
        started = time.monotonic()
        out[method] = {"arity": METHODS[method][1], "rounds": interleave(contenders, rounds, seconds),
                       "calls_per_batch": {c.name: c.calls for c in contenders}}
        print(f"  {method}: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    return out


# --- corpus: canonical round trips of real documents ---------------------------------------

def run_corpus(mode, only=None):
    import orjson

    rounds, seconds = SETTINGS[mode]["corpus"]
    mesh_cls = implementation("mesh")
    out = {}
    for doc in DOCUMENTS:
        if only and doc not in only:
            continue
        text = document(doc)
        mesh = mesh_cls("bench")
        work = {
            "mesh_roundtrip": ("o.state_set('doc', x); o.state_get('doc')", {"o": mesh}),
            "mesh_publish": ("o.publish('docs', x)", {"o": mesh}),
            "orjson": ("b(c(x), option=d).decode()", {"b": orjson.dumps, "c": orjson.loads,
                                                     "d": orjson.OPT_SORT_KEYS}),
            "stdlib": ("b(c(x), sort_keys=True, separators=d)", {"b": json.dumps, "c": json.loads,
                                                                  "d": (",", ":")}),
        }
        contenders = []
        # The yardstick: simdjson's DOM parse, and that parse with a sorted canonical writer,
        # on the document's UTF-8 bytes (no str on either side).
        import _korvo_reference
        data = text.encode()
        for kind, fn in (("reference_roundtrip", _korvo_reference.canonical), ("reference_parse", _korvo_reference.parse)):
            contenders.append(Contender(kind, "a(x)", {"a": fn}, lambda k: (None, [data] * k)))
        for kind, (stmt, env) in work.items():
            # the same object every call (its UTF-8 form cached after the first) ...
            contenders.append(Contender(f"{kind}.same", stmt, env, lambda k, env=env: (env.get("o"), [text] * k)))
            # ... and a fresh, equal str for every call, made before the batch
            contenders.append(Contender(f"{kind}.fresh", stmt, env,
                                        lambda k, env=env: (env.get("o"), [fresh_copy(text) for _ in range(k)])))
        started = time.monotonic()
        out[doc] = {"bytes": len(text.encode()), "rounds": interleave(contenders, rounds, seconds),
                    "calls_per_batch": {c.name: c.calls for c in contenders}}
        print(f"  {doc}: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    return out


# --- scale: 1,000 vs 1,000,000 entries, beside a plain dict ----------------------------

def scaled_mesh(n):
    o = implementation("mesh")("shop", json.dumps(PLAN))
    for i in range(n):
        o.register_agent("Customer", f"agent-{i:07d}")
    for i in range(0, n, 4):
        o.update_agent_status(f"agent-{i:07d}", "running" if i % 8 else "idle")
    for i in range(n):
        o.state_set(f"user:{i:07d}", VALUE_TEXT)
    for i in range(10):
        o.state_set(f"hot:{i}", "1")
    return o


def sample(prefix, n, seed):
    """SAMPLE keys of a scaled table (agent-0000123 / user:0000123), drawn at random."""
    rng = random.Random(seed)
    sep = "-" if prefix == "agent" else ":"
    return [f"{prefix}{sep}{rng.randrange(n):07d}" for _ in range(SAMPLE)]


def run_scale(mode, large):
    rounds, _ = SETTINGS[mode]["scale"]
    slow_rounds, seconds = SETTINGS[mode]["scale-slow"]
    sizes = (SCALE_SMALL, large)
    meshes, dicts, samples = {}, {}, {}
    started = time.monotonic()
    for n in sizes:
        o = meshes[n] = scaled_mesh(n)
        # a plain dict of the same keys, each holding the text the mesh answers with
        dicts[n] = {"state": {f"user:{i:07d}": o.state_get(f"user:{i:07d}") for i in range(n)},
                    "agents": {f"agent-{i:07d}": o.get_agent(f"agent-{i:07d}") for i in range(n)}}
        samples[n] = {"state": sample("user", n, 1), "agents": sample("agent", n, 2)}
    print(f"  tables built: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)

    out = {"sizes": list(sizes), "ops": {}}
    point = {
        "state_exists": ("state", "o.state_exists(x)", "x in o"),
        "state_get": ("state", "o.state_get(x)", "o.get(x)"),
        "get_agent": ("agents", "o.get_agent(x)", "o.get(x)"),
    }
    for op, (table, mesh_stmt, dict_stmt) in point.items():
        contenders = []
        for n in sizes:
            keys = samples[n][table]
            contenders.append(Contender(f"mesh.{n}", mesh_stmt, prepare=lambda k, o=meshes[n], keys=keys: (o, keys),
                                        chunk=SAMPLE))
            contenders.append(Contender(f"dict.{n}", dict_stmt,
                                        prepare=lambda k, d=dicts[n][table], keys=keys: (d, keys), chunk=SAMPLE))
        out["ops"][op] = interleave(contenders, rounds, None, calls=SAMPLE)
        print(f"  {op}: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    del dicts, samples
    gc.collect()

    def on(n, stmt, a=None):
        return Contender(f"mesh.{n}", stmt, {"o": meshes[n], "a": a})

    out["ops"]["health_snapshot"] = interleave([on(n, "o.health_snapshot()") for n in sizes], rounds, 0.005)
    out["ops"]["state_keys_prefix"] = interleave([on(n, "o.state_keys(a)", "hot:") for n in sizes],
                                                 slow_rounds, seconds)
    out["ops"]["state_keys_all"] = interleave([on(large, "o.state_keys()")], slow_rounds, seconds)

    # state_set of a key the store does not have yet, in the large store; the keys fall
    # between existing ones, and each chunk is deleted again untimed.
    big = meshes[large]
    rng = random.Random(3)

    def new_keys(k):
        return big, [f"user:{rng.randrange(large):07d}~{next(_serial)}" for _ in range(k)]

    def delete(o, keys):
        for key in keys:
            o.state_delete(key)
    out["ops"]["state_set_new"] = interleave(
        [Contender(f"mesh.{large}", "o.state_set(x, a)", {"a": VALUE_TEXT}, new_keys, delete)],
        slow_rounds, seconds)
    print(f"  scale: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    return out


# --- memory: resident set growth per entry ---------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory(impl, kind, n):
    """RSS growth per entry while n entries are added to a fresh instance (the keys are
    made in the loop, so whatever an implementation keeps of them is counted)."""
    o = implementation(impl)("shop")
    gc.collect()
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
    parser = argparse.ArgumentParser(description="one benchmark group, interleaved rounds")
    parser.add_argument("--group", choices=("methods", "corpus", "scale"), required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--large", type=int, default=1_000_000)
    parser.add_argument("--only", default="", help="comma-separated methods or documents")
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    only = set(filter(None, args.only.split(",")))
    load = load_average()
    if args.group == "methods":
        data = run_methods(mode, only)
    elif args.group == "corpus":
        data = run_corpus(mode, only)
    else:
        data = run_scale(mode, args.large)
    Path(args.output).write_text(json.dumps({"group": args.group, "mode": mode, "settings": SETTINGS[mode],
                                             "load_before": load, "load_after": load_average(),
                                             "clock_overhead_ns": CLOCK_OVERHEAD * 1e9, "data": data}))


if __name__ == "__main__":
    main()
