"""make demo: a shop moves its carts from SQLite to Redis while it serves requests, losing nothing.

    python examples/demo.py [--seconds 7] [--workers 4] [--redis-url URL] [--redis-server PATH]

The carts (key -> JSON document) start in a SQLite file in a temporary folder. The demo starts a
redis-server of its own on a Unix socket in a temporary folder, persistence off, and stops it at
exit, Ctrl-C and errors included; --redis-url runs against a Redis of yours instead (the demo
works in a hash of its own there and removes it at exit). When no redis-server can be found and
no --redis-url is given, the demo says so and migrates into a second SQLite file.

Worker threads, each an agent of the mesh, serve requests the whole time, while a driver takes
the variable through every migration stage (live_migration.py). One line reports each stage as
it ends; the last line is the verdict, and the exit status is 1 unless no request failed and no
acknowledged write was lost.
"""
import argparse
import contextlib
import json
import math
import os
import random
import signal
import sys
import tempfile
import threading
import time
import urllib.request
import uuid

from prometheus_client.parser import text_string_to_metric_families

import cart_stores
import health_endpoint
import live_migration
from korvo_mesh import KorvoMesh, __version__

VARIABLE = "cart.Items"
# A run with its one rollback passes through nine stages (idle, shadow_write, shadow_read, back
# to shadow_write, shadow_read, dual_read, new_primary, cleanup, done): each gets an equal share.
STAGE_VISITS = 9


class Stopped(BaseException):
    """SIGINT or SIGTERM, raised in the main thread so that everything the demo started is stopped."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=7.0, help="how long the shop serves (default 7)")
    parser.add_argument("--workers", type=int, default=4, help="worker threads, one agent each (default 4)")
    parser.add_argument("--redis-url", help="migrate into this Redis (redis://host:port/db or unix://path) "
                                            "instead of a private redis-server")
    parser.add_argument("--redis-server", default="redis-server",
                        help="the redis-server program to start (default: the one on PATH); when it cannot "
                             "be found, the demo migrates into a second SQLite file")
    parser.add_argument("--carts", type=int, default=20_000, help="carts in SQLite before the migration")
    parser.add_argument("--seed", type=int, default=1, help="seed of the request mix")
    args = parser.parse_args(argv)
    if args.workers < 1 or args.carts < 1 or args.seconds <= 0:
        parser.error("--workers and --carts must be at least 1, --seconds above 0")
    return args


def open_target(args, folder, stack):
    """The backend the carts move to, and a line saying what it is."""
    try:
        import redis
    except ImportError:
        redis = None
    hash_name = f"korvo-demo:{os.getpid()}-{uuid.uuid4().hex[:8]}:carts"
    if args.redis_url is not None:
        if redis is None:
            sys.exit("demo: --redis-url needs redis-py (pip install -r requirements-examples.txt)")
        url = args.redis_url
        where = f"at {url} (yours: hash {hash_name}, removed at exit)"
    else:
        program = cart_stores.find_redis_server(args.redis_server)
        missing = (f"redis-server is not installed here (no {args.redis_server!r} found)" if program is None else
                   "redis-py is not installed (pip install -r requirements-examples.txt)" if redis is None else None)
        if missing:
            print(f"demo: {missing}: migrating into a second SQLite file instead")
            store = cart_stores.SqliteStore(os.path.join(folder, "target.db"))
            stack.callback(store.close)
            return store, f"sqlite {store.path}"
        server = stack.enter_context(cart_stores.PrivateRedis(program))
        url = server.url
        where = f"(private, pid {server.process.pid}) on unix socket {server.socket}, persistence off"

    client = redis.Redis.from_url(url, decode_responses=True)
    stack.callback(client.close)
    store = cart_stores.RedisStore(client, hash_name)
    stack.callback(store.drop)
    version = client.info("server")["redis_version"]
    return store, f"redis-server {version} {where}"


def scraper(url):
    """Reads /metrics with a plain HTTP client and prometheus_client's own parser."""

    def scrape():
        with urllib.request.urlopen(url, timeout=10) as reply:
            text = reply.read().decode()
        samples = {}
        for family in text_string_to_metric_families(text):
            for sample in family.samples:
                samples[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
        return samples

    return scrape


def percentile(sorted_values, q):
    if not sorted_values:
        return math.nan
    return sorted_values[max(0, math.ceil(q / 100 * len(sorted_values)) - 1)]


def stage_reporter(old, new, out):
    stage_key = ("korvo_mesh_migration_stage", (("source", old.name), ("target", new.name), ("variable", VARIABLE)))

    def report(stage):
        ms = sorted(latency * 1000 for latency in stage.latencies)
        scraped = stage.metrics.get(stage_key)
        print(f"stage {stage.stage} {stage.stage_name:<12} requests={len(ms):>6} copied={stage.copied:>6} "
              f"discrepancies={stage.discrepancies} p50={percentile(ms, 50):.2f}ms p99={percentile(ms, 99):.2f}ms"
              f"  /metrics: stage={'-' if scraped is None else int(scraped)}"
              f" running={int(stage.metrics.get(('korvo_mesh_agents', (('status', 'running'),)), 0))}"
              f" state_keys={int(stage.metrics.get(('korvo_mesh_state_keys', ()), 0))}"
              f"  -> {stage.outcome}", file=out, flush=True)

    return report


def run(args, out):
    """The whole run; everything it starts is stopped by the time it returns or raises."""
    with contextlib.ExitStack() as stack:
        folder = stack.enter_context(tempfile.TemporaryDirectory(prefix="korvo-demo-"))
        old = cart_stores.SqliteStore(os.path.join(folder, "shop.db"))
        stack.callback(old.close)
        new, target_line = open_target(args, folder, stack)

        plan = {"app_name": "shop", "agents": [live_migration.ShopWorker.AGENT_TYPE],
                "backends": {"carts_old": {"backend_type": old.name}, "carts_new": {"backend_type": new.name}}}
        mesh = KorvoMesh("shop", json.dumps(plan))
        shop = live_migration.Shop(mesh, VARIABLE, old, new, args.workers, seed=args.seed)
        shop.seed(args.carts, random.Random(args.seed))

        server = health_endpoint.make_server(mesh)
        threading.Thread(target=server.serve_forever, name="metrics", daemon=True).start()
        stack.callback(server.server_close)
        stack.callback(server.shutdown)
        metrics_url = f"http://127.0.0.1:{server.server_address[1]}/metrics"

        print(f"korvo_mesh {__version__}: the shop moves {VARIABLE} from sqlite to {new.name}", file=out)
        print(f"  source: sqlite {old.path} (WAL), {args.carts} carts", file=out)
        print(f"  target: {target_line}", file=out)
        print(f"  {args.workers} workers, agents {live_migration.ShopWorker.AGENT_TYPE}/shop-worker-0.."
              f"{args.workers - 1}; metrics at {metrics_url}", file=out)
        print(f"  stage changes are published to topic 'migrations.{VARIABLE}': publish returns 0, "
              "since nothing subscribes in-process", file=out, flush=True)

        driver = live_migration.MigrationDriver(shop, args.seconds / STAGE_VISITS, scrape=scraper(metrics_url),
                                                on_stage_end=stage_reporter(old, new, out))
        stack.callback(shop.shut_down)
        started = time.monotonic()
        shop.start()
        record = driver.run()
        seconds = time.monotonic() - started

        lost = shop.ledger.lost_writes(new)
        counters = shop.counters()
        left_in_old = old.count()
        errors = [error for worker in shop.workers for error in worker.errors]
        print(f"served {counters['requests']} requests ({counters['view_cart']} views, {counters['add_item']} "
              f"updates, {counters['new_cart']} new carts), counted in the mesh: one state key per worker; "
              f"{len(shop.ledger)} acknowledged carts read back from {new.name}; "
              f"{left_in_old} left in the old backend", file=out)
        for error in errors:
            print(f"  failed: {error}", file=out)
        for key in lost[:5]:
            print(f"  lost: {key}", file=out)
        if any(driver.published):
            print(f"  publish reached receivers: {driver.published}", file=out)
        return {
            "source": old.name, "target": new.name, "stage": record["stage_name"],
            "requests": counters["requests"], "failed": counters["failed"], "lost_writes": len(lost),
            "discrepancies": record["discrepancy_count"], "rollbacks": driver.rollbacks,
            "seconds": f"{seconds:.1f}", "left_in_old": left_in_old,
        }


def main(argv=None):
    args = parse_args(argv)

    received = []

    def stop(signum, _frame):
        received.append(signum)
        raise Stopped(signum)

    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)
    try:
        result = run(args, sys.stdout)
        # The exception a handler raises is dropped when it lands in code Python cannot raise
        # from (a finalizer run by the collector, say); the signal still stops the demo.
        if received:
            raise Stopped(received[0])
    except Stopped as stopped:
        interrupted = stopped.signum == signal.SIGINT
        print(f"demo: {'interrupted' if interrupted else 'terminated'}; everything it started is stopped",
              file=sys.stderr)
        return 130 if interrupted else 143
    left_in_old = result.pop("left_in_old")
    print("demo: " + " ".join(f"{name}={value}" for name, value in result.items()), flush=True)
    good = result["failed"] == 0 and result["lost_writes"] == 0 and result["stage"] == "done" and left_in_old == 0
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
