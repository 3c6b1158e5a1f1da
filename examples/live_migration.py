"""A running shop service whose carts move from one backend to another, stage by stage.

The pieces, in the order a request meets them:

- `ShopWorker`: one of the shop's agents, registered in the mesh, serving requests on its own
  thread. Each request is routed by `route_agent_call`, learns the variable's migration stage
  from the mesh (`get_migration`) and bumps the worker's counters in the mesh's state store.
- `CartRouter`: what a read and a write do at each stage (STAGE_READS, STAGE_WRITES).
- `KeyLocks` and `Ledger`: writes to one cart are serialized, the batch copy takes the same
  locks, and every write a request was told succeeded is recorded, last value per key.
- `MigrationDriver`: takes the variable through the stages, copies the keys that existed before
  the migration in batches, verifies, and on discrepancies rolls back one stage, repairs and
  advances again.

`demo.py` puts them together against SQLite and Redis and reports.
"""
import contextlib
import dataclasses
import json
import random
import threading
import time

# Where a read is served from at each stage: one backend, or "both", read and compared.
STAGE_READS = {
    "idle": "old", "shadow_write": "old", "shadow_read": "both", "dual_read": "both",
    "new_primary": "new", "cleanup": "new", "done": "new",
}
# Where a write goes, in order: first the backend reads are served from.
STAGE_WRITES = {
    "idle": ("old",), "shadow_write": ("old", "new"), "shadow_read": ("old", "new"),
    "dual_read": ("new", "old"), "new_primary": ("new", "old"), "cleanup": ("new",), "done": ("new",),
}
# The stages the driver verifies with a full comparison while requests flow: both backends still
# take every write there, so any difference is a real one.
VERIFIED_STAGES = ("shadow_read", "dual_read", "new_primary")


def dumps(value):
    return json.dumps(value, separators=(",", ":"), sort_keys=True)


def cart_document(key, version, items):
    return dumps({"cart": key, "items": items, "version": version})


class KeyLocks:
    """Striped locks: one cart's writers, and the copy of that cart, take turns."""

    def __init__(self, stripes=1024):
        self._locks = [threading.RLock() for _ in range(stripes)]

    @contextlib.contextmanager
    def holding(self, keys):
        # Always taken in stripe order, so two holders of several stripes never wait on each other.
        stripes = sorted({hash(key) % len(self._locks) for key in keys})
        held = []
        try:
            for stripe in stripes:
                self._locks[stripe].acquire()
                held.append(self._locks[stripe])
            yield
        finally:
            for lock in reversed(held):
                lock.release()


class Ledger:
    """The last value of every write a request was told succeeded, per key.

    A write is recorded while its key's lock is still held, after every backend it went to
    took it, so the ledger's order per key is the backends' order.
    """

    def __init__(self):
        self._values = {}

    def record(self, key, value):
        self._values[key] = value

    def get(self, key):
        return self._values.get(key)

    def __len__(self):
        return len(self._values)

    def lost_writes(self, store, batch=500):
        """The keys whose value in `store` is not their last acknowledged one (absent ones too)."""
        items = list(self._values.items())
        lost = []
        for start in range(0, len(items), batch):
            chunk = items[start:start + batch]
            found = store.get_many([key for key, _ in chunk])
            lost.extend(key for (key, value), got in zip(chunk, found) if got != value)
        return lost


class CartRouter:
    """Reads and writes of carts as the migration stage has them."""

    def __init__(self, old, new, locks):
        self.old, self.new, self.locks = old, new, locks
        self._stores = {"old": old, "new": new}

    def differs(self, key):
        """Whether the backends disagree on `key`, looked at with its writers held off."""
        with self.locks.holding([key]):
            return self.old.get(key) != self.new.get(key)

    def read(self, stage, key):
        """The value served at `stage`, and whether the two backends disagree on the key."""
        side = STAGE_READS[stage]
        if side != "both":
            return self._stores[side].get(key), False
        old, new = self.old.get(key), self.new.get(key)
        if old != new:
            # A write may have gone by between the two reads: look again with the key's writers held off.
            with self.locks.holding([key]):
                old, new = self.old.get(key), self.new.get(key)
            if old != new:
                return old, True  # the old backend stays authoritative until new_primary
        return (old if stage == "shadow_read" else new), False

    def write(self, stage, key, value):
        """Writes `value` wherever `stage` sends writes; the caller holds the key's lock."""
        for side in STAGE_WRITES[stage]:
            self._stores[side].put(key, value)


def current_stage(mesh, variable):
    record = mesh.get_migration(variable)
    return "idle" if record is None else json.loads(record)["stage_name"]


def discrepancy_prefix(variable):
    return f"migration:{variable}:discrepant:"


class ShopWorker:
    """One of the shop's agents: a stream of cart requests, each routed through the mesh.

    Its counters live in the mesh's state store under a key of its own (`counter_key`). Only this
    worker writes that key, so its read-modify-write needs no lock; readers add the workers up.
    The counters also say at which stage its last request ran, which is how the driver knows that
    no request is still acting on the stage before.
    """

    AGENT_TYPE = "ShopWorker"
    MIX = (("view_cart", 60), ("add_item", 30), ("new_cart", 10))
    SKUS = ("tea", "cups", "kettle", "honey", "spoon", "tray", "filter", "mugs")

    def __init__(self, index, shop, seed):
        self.index = index
        self.shop = shop
        self.agent_id = f"shop-worker-{index}"
        self.counter_key = f"shop:counters:{self.agent_id}"
        self.rng = random.Random(seed)
        self.samples = {}     # stage name -> latencies (seconds) of the requests served at it
        self.errors = []      # the first few failures, for the report
        self.created = 0
        self._methods = [name for name, _ in self.MIX]
        self._weights = [weight for _, weight in self.MIX]
        mesh = shop.mesh
        mesh.register_agent(self.AGENT_TYPE, self.agent_id, index, dumps({"serves": "carts"}))
        mesh.state_set(self.counter_key, dumps({"requests": 0, "failed": 0, "discrepancies": 0,
                                                "view_cart": 0, "add_item": 0, "new_cart": 0, "stage": None}))

    # --- the requests -------------------------------------------------------------
    def view_cart(self, stage, key):
        expected = self.shop.ledger.get(key)
        value, disagree = self.shop.router.read(stage, key)
        if disagree:
            self.report_discrepancy(stage, key)
        # Right when it is the write acknowledged before the read began, or one made since.
        return value is not None and (value == expected or
                                      json.loads(value)["version"] > json.loads(expected)["version"])

    def add_item(self, stage, key):
        shop = self.shop
        with shop.locks.holding([key]):
            current, disagree = shop.router.read(stage, key)
            if disagree:
                self.report_discrepancy(stage, key)
            if current is None or current != shop.ledger.get(key):
                return False  # with the key's writers held off, anything else is stale or lost
            cart = json.loads(current)
            items = (cart["items"] + [{"sku": self.rng.choice(self.SKUS), "qty": self.rng.randint(1, 3)}])[-8:]
            value = cart_document(key, cart["version"] + 1, items)
            shop.router.write(stage, key, value)
            shop.ledger.record(key, value)
        return True

    def new_cart(self, stage, key):
        shop = self.shop
        value = cart_document(key, 1, [{"sku": self.rng.choice(self.SKUS), "qty": 1}])
        with shop.locks.holding([key]):
            shop.router.write(stage, key, value)
            shop.ledger.record(key, value)
        shop.catalogue.append(key)
        return True

    # --- serving ------------------------------------------------------------------
    def pick_cart(self):
        carts = self.shop.hot if self.rng.random() < 0.25 else self.shop.catalogue
        return carts[self.rng.randrange(len(carts))]

    def serve_one(self):
        shop = self.shop
        method = self.rng.choices(self._methods, self._weights)[0]
        if method == "new_cart":
            self.created += 1
            key = f"cart:{self.agent_id}:{self.created:06d}"
        else:
            key = self.pick_cart()
        started = time.perf_counter()
        stage = current_stage(shop.mesh, shop.variable)
        try:
            route = json.loads(shop.mesh.route_agent_call(self.AGENT_TYPE, self.agent_id, method,
                                                          dumps({"cart": key})))
            agent = shop.agents[route["agent_id"]]
            ok = getattr(agent, route["method"])(stage, key)
            if not ok:
                self.note_error(f"{method} {key} at {stage}: wrong answer")
        except Exception as exc:  # a request that raised is a failed request; the worker goes on
            ok = False
            self.note_error(f"{method} {key} at {stage}: {exc!r}")
        self.samples.setdefault(stage, []).append(time.perf_counter() - started)
        self.count(method, stage, ok)

    def count(self, method, stage, ok):
        mesh = self.shop.mesh
        counters = json.loads(mesh.state_get(self.counter_key))
        counters["requests"] += 1
        counters[method] += 1
        counters["failed"] += not ok
        counters["stage"] = stage
        mesh.state_set(self.counter_key, dumps(counters))

    def report_discrepancy(self, stage, key):
        """Leaves the key for the driver in the mesh's state store; the driver repairs it."""
        mesh = self.shop.mesh
        mesh.state_set(discrepancy_prefix(self.shop.variable) + key, dumps({"stage": stage, "by": self.agent_id}))
        counters = json.loads(mesh.state_get(self.counter_key))
        counters["discrepancies"] += 1
        mesh.state_set(self.counter_key, dumps(counters))

    def note_error(self, text):
        if len(self.errors) < 5:
            self.errors.append(text)

    def run(self, stop):
        while not stop.is_set():
            self.serve_one()


class Shop:
    """The service: its backends, its agents and the threads they serve on."""

    def __init__(self, mesh, variable, old, new, workers, seed=0):
        self.mesh, self.variable, self.old, self.new = mesh, variable, old, new
        self.locks = KeyLocks()
        self.ledger = Ledger()
        self.router = CartRouter(old, new, self.locks)
        self.catalogue = []   # every cart a request may ask for; grows as carts are opened
        self.hot = []         # the carts asked for most
        self.workers = [ShopWorker(i, self, seed * 1000 + i) for i in range(workers)]
        self.agents = {worker.agent_id: worker for worker in self.workers}
        self.stop = threading.Event()
        self.threads = []

    def seed(self, carts, rng):
        """The carts that exist before any request: written to the old backend, and to the ledger."""
        pairs = []
        for i in range(carts):
            key = f"cart:{i:07d}"
            items = [{"sku": rng.choice(ShopWorker.SKUS), "qty": rng.randint(1, 3)} for _ in range(rng.randint(1, 4))]
            pairs.append((key, cart_document(key, 1, items)))
        self.old.put_many(pairs)
        for key, value in pairs:
            self.ledger.record(key, value)
        self.catalogue.extend(key for key, _ in pairs)
        self.hot.extend(self.catalogue[:200])

    def start(self):
        for worker in self.workers:
            thread = threading.Thread(target=worker.run, args=(self.stop,), name=worker.agent_id)
            thread.start()
            self.threads.append(thread)

    def shut_down(self):
        self.stop.set()
        for thread in self.threads:
            thread.join()
        for worker in self.workers:
            with contextlib.suppress(KeyError):
                self.mesh.update_agent_status(worker.agent_id, "stopped")

    def counters(self):
        """The workers' counters from the mesh, added up."""
        total = {}
        for worker in self.workers:
            for name, value in json.loads(self.mesh.state_get(worker.counter_key)).items():
                if isinstance(value, int):
                    total[name] = total.get(name, 0) + value
        return total

    def wait_for_stage(self, stage, limit_seconds=60):
        """Returns once every worker has served a request at `stage`: none acts on an earlier one."""
        deadline = time.monotonic() + limit_seconds
        while True:
            seen = [json.loads(self.mesh.state_get(w.counter_key))["stage"] for w in self.workers]
            if all(s == stage for s in seen):
                return
            ended = [t.name for t in self.threads if not t.is_alive()]
            if ended:
                raise RuntimeError(f"worker threads ended: {', '.join(ended)}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"workers still not at {stage} after {limit_seconds} s: {seen}")
            time.sleep(0.001)

    def harvest(self, stage):
        """The latencies of the requests served at `stage` since the last harvest of it."""
        return [latency for worker in self.workers for latency in worker.samples.pop(stage, [])]


@dataclasses.dataclass
class StageReport:
    stage: int
    stage_name: str
    latencies: list
    copied: int
    discrepancies: int
    metrics: dict
    outcome: str


class MigrationDriver:
    """Moves the shop's variable from its old backend to its new one while the shop serves."""

    def __init__(self, shop, dwell_seconds, batch=1000, topic=None, scrape=None, on_stage_end=print,
                 max_rollbacks=5):
        self.shop = shop
        self.mesh = shop.mesh
        self.variable = shop.variable
        self.dwell_seconds = dwell_seconds
        self.batch = batch
        self.topic = topic or f"migrations.{shop.variable}"
        self.scrape = scrape or (lambda: {})
        self.on_stage_end = on_stage_end
        self.rollbacks = 0
        self.max_rollbacks = max_rollbacks
        self.published = []   # what each publish returned: 0, nothing subscribes in-process

    # --- the stage machine ---------------------------------------------------------
    def run(self):
        """Takes the variable from before its migration to done; returns the final record."""
        old, new = self.shop.old, self.shop.new
        self.dwell(time.monotonic())
        record = self.end_stage(0, "idle", 0, 0, "start",
                                lambda: self.mesh.start_migration(self.variable, old.name, new.name))
        # Every request now writes both backends: what the old one holds is what needs copying.
        snapshot = [key for keys in old.key_batches(self.batch) for key in keys]
        carried = 0       # discrepancies not yet reported to the mesh: they go with the next advance
        repair = set()    # keys to set right at the start of the next stage
        while record["stage_name"] != "done":
            stage, name = record["stage"], record["stage_name"]
            started = time.monotonic()
            # Reports from requests still under way when the last stage ended are repaired here too:
            # up to this point the old backend is complete and authoritative for any key not since written.
            late = self.reported_discrepancies() - repair
            carried += len(late)
            copied = self.repair(repair | late) if repair or late else 0
            if name == "shadow_write" and snapshot is not None:
                copied += self.copy(snapshot)
                snapshot = None
            elif name == "cleanup":
                self.empty_old()
            found = self.verify() if name in VERIFIED_STAGES else set()
            self.dwell(started)
            if name in VERIFIED_STAGES:
                found |= self.reported_discrepancies()
            if found:
                if self.rollbacks == self.max_rollbacks:
                    raise RuntimeError(f"{len(found)} discrepancies at {name} still, after {self.rollbacks} "
                                       f"rollbacks and repairs: {sorted(found)[:5]}")
                self.rollbacks += 1
                carried += len(found - late)
                repair = found
                record = self.end_stage(stage, name, copied, len(found | late), "roll back",
                                        lambda: self.mesh.rollback_migration(self.variable))
            else:
                count, carried, repair = carried, 0, set()
                record = self.end_stage(stage, name, copied, len(late), "advance",
                                        lambda: self.mesh.advance_migration(self.variable, discrepancy_count=count,
                                                                            keys_migrated=copied))
        self.dwell(time.monotonic())
        self.end_stage(record["stage"], "done", 0, 0, "stop", None)
        return record

    def dwell(self, started):
        """Lets the shop serve at the current stage until it has had its time."""
        remaining = self.dwell_seconds - (time.monotonic() - started)
        if remaining > 0:
            self.shop.stop.wait(remaining)

    def end_stage(self, stage, name, copied, discrepancies, outcome, make_change):
        """Scrapes the metrics, makes the stage change (none after done: the shop shuts down), and
        reports the stage that ended; returns the new record."""
        metrics = self.scrape()
        record = None
        if make_change is None:
            self.shop.shut_down()
        else:
            record = self.change(make_change())
        self.on_stage_end(StageReport(stage, name, self.shop.harvest(name), copied, discrepancies, metrics, outcome))
        return record

    def change(self, record_json):
        """Announces a stage change and waits until every worker acts on it."""
        record = json.loads(record_json)
        self.published.append(self.mesh.publish(self.topic, record_json))
        self.shop.wait_for_stage(record["stage_name"])
        return record

    # --- the work of the stages ------------------------------------------------------
    def copy(self, keys):
        """Copies `keys` from the old backend to the new one in batches; returns how many it copied.

        Each batch is read and written with its keys' locks held, so a request that writes one of
        them lands either before the batch (and the batch copies its value) or after it (and
        overwrites the copy): never a stale copy over a newer write.
        """
        old, new = self.shop.old, self.shop.new
        copied = 0
        for start in range(0, len(keys), self.batch):
            chunk = keys[start:start + self.batch]
            with self.shop.locks.holding(chunk):
                pairs = [(key, value) for key, value in zip(chunk, old.get_many(chunk)) if value is not None]
                new.put_many(pairs)
            copied += len(pairs)
            if start == 0:
                self.legacy_write()
        return copied

    def legacy_write(self):
        """An out-of-band writer that knows only the old backend (an import job on last year's code)
        opens one cart there while the copy runs. The copy's key list predates it, so the new
        backend misses it until the next stage's comparison finds it and the driver repairs it."""
        key = "cart:import:000001"
        value = cart_document(key, 1, [{"sku": "gift-card", "qty": 1}])
        with self.shop.locks.holding([key]):
            self.shop.old.put(key, value)
            self.shop.ledger.record(key, value)   # the job was told its write succeeded

    def repair(self, keys):
        """Copies the old backend's value of each key to the new one (the old is authoritative
        in the stages a rollback returns to); returns how many keys it set right."""
        keys = sorted(keys)
        old, new = self.shop.old, self.shop.new
        with self.shop.locks.holding(keys):
            values = old.get_many(keys)
            new.put_many([(key, value) for key, value in zip(keys, values) if value is not None])
            new.delete_many([key for key, value in zip(keys, values) if value is None])
        return len(keys)

    def verify(self):
        """Compares the two backends over every key of the old one; returns the keys that differ."""
        old, new, router = self.shop.old, self.shop.new, self.shop.router
        found = set()
        for keys in old.key_batches(self.batch):
            for key, a, b in zip(keys, old.get_many(keys), new.get_many(keys)):
                if a != b and router.differs(key):
                    found.add(key)
        return found

    def reported_discrepancies(self):
        """The keys the workers found the backends disagreeing on, taken from the state store."""
        prefix = discrepancy_prefix(self.variable)
        keys = self.mesh.state_keys(prefix)
        for key in keys:
            self.mesh.state_delete(key)
        return {key[len(prefix):] for key in keys}

    def empty_old(self):
        """The cleanup: no request writes the old backend any more, so it is emptied in batches."""
        removed = 0
        while keys := next(self.shop.old.key_batches(self.batch), None):
            self.shop.old.delete_many(keys)
            removed += len(keys)
        return removed
