"""The example scripts a framework author would copy, run as written."""
import importlib
import io
import json
import os
import pathlib
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import urllib.request

import pytest

from korvo_mesh import KorvoMesh

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

import cart_stores  # noqa: E402
import live_migration  # noqa: E402
import migrate_with_progress  # noqa: E402

# The live migration and the metrics need requirements-examples.txt and redis-server. Where they
# are missing these tests skip; under make, which installs them, a missing one is a failure.
REQUIRED = os.environ.get("KORVO_EXAMPLES_REQUIRED") == "1"
INSTALL_HINT = "pip install -r requirements-examples.txt, or make test"


def need(module):
    try:
        return importlib.import_module(module)
    except ImportError as missing:
        (pytest.fail if REQUIRED else pytest.skip)(f"{module} is not installed ({INSTALL_HINT}): {missing}")


def need_redis_server():
    program = shutil.which("redis-server")
    if program is None:
        (pytest.fail if REQUIRED else pytest.skip)(
            "redis-server is not installed (apt-get install redis-server; make test does it)")
    return program


@pytest.fixture
def redis_server():
    need("redis")
    with cart_stores.PrivateRedis(need_redis_server()) as server:
        yield server


def serve(server):
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://127.0.0.1:{server.server_address[1]}"


def test_migration_reaches_done_through_a_rollback():
    mesh = KorvoMesh("shop")
    source = {f"k{i}": i for i in range(600)}
    target = {}
    out = io.StringIO()
    record = migrate_with_progress.migrate(mesh, "v", source, target, {"k5": -1}, batch=100, out=out)
    assert record["stage_name"] == "done" and target == source
    assert "discrepancies: back to" in out.getvalue()
    assert record["keys_migrated"] == 1200  # copied twice: once more after the rollback
    assert json.loads(mesh.health_snapshot())["migrations"]["active"] == 0


@pytest.mark.parametrize("path", ["/healthz", "/health"])
def test_health_endpoint_serves_the_snapshot(path):
    need("prometheus_client")
    health_endpoint = need("health_endpoint")
    mesh = KorvoMesh("shop")
    mesh.register_agent("Customer", "c1")
    server = health_endpoint.make_server(mesh)
    try:
        base = serve(server)
        with urllib.request.urlopen(base + path, timeout=10) as reply:
            assert reply.status == 200
            assert reply.headers["Content-Type"] == "application/json"
            assert reply.read().decode() == mesh.health_snapshot()
        with pytest.raises(urllib.error.HTTPError) as info:
            urllib.request.urlopen(base + "/nope", timeout=10)
        assert info.value.code == 404
    finally:
        server.shutdown()
        server.server_close()


def test_metrics_endpoint_reads_the_mesh_at_every_scrape():
    parser = need("prometheus_client.parser")
    health_endpoint = need("health_endpoint")
    mesh = KorvoMesh("shop")
    for agent_id, status in [("a", "running"), ("b", "running"), ("c", "stopped"), ("d", "error"), ("e", None)]:
        mesh.register_agent("Customer", agent_id)
        if status:
            mesh.update_agent_status(agent_id, status)
    mesh.state_set("k1", "1")
    mesh.state_set("k2", "2")
    mesh.publish("orders", "{}")
    mesh.start_migration("cart.Items", "sqlite", "redis")
    mesh.advance_migration("cart.Items", discrepancy_count=3, keys_migrated=40)
    mesh.start_migration("user.Profile", "sqlite", "postgres")
    while json.loads(mesh.advance_migration("user.Profile"))["stage_name"] != "done":
        pass
    server = health_endpoint.make_server(mesh)

    def scrape():
        with urllib.request.urlopen(base + "/metrics", timeout=10) as reply:
            assert reply.headers["Content-Type"].startswith("text/plain")
            text = reply.read().decode()
        return {(s.name, tuple(sorted(s.labels.items()))): s.value
                for family in parser.text_string_to_metric_families(text) for s in family.samples}

    cart = (("source", "sqlite"), ("target", "redis"), ("variable", "cart.Items"))
    profile = (("source", "sqlite"), ("target", "postgres"), ("variable", "user.Profile"))
    try:
        base = serve(server)
        samples = scrape()
        assert {status: samples[("korvo_mesh_agents", (("status", status),))]
                for status in health_endpoint.AGENT_STATUSES} == {
            "starting": 1, "running": 2, "idle": 0, "stopping": 0, "stopped": 1, "error": 1}
        assert [samples[(name, ())] for name in ("korvo_mesh_healthy", "korvo_mesh_state_keys", "korvo_mesh_topics",
                                                 "korvo_mesh_migrations_active")] == [1, 2, 1, 1]
        assert samples[("korvo_mesh_migration_stage", cart)] == 2
        assert samples[("korvo_mesh_migration_stage", profile)] == 6
        assert samples[("korvo_mesh_migration_keys_migrated_total", cart)] == 40
        assert samples[("korvo_mesh_migration_discrepancies_total", cart)] == 3

        mesh.advance_migration("cart.Items")
        mesh.state_delete("k1")
        samples = scrape()
        assert samples[("korvo_mesh_migration_stage", cart)] == 3
        assert samples[("korvo_mesh_state_keys", ())] == 1
    finally:
        server.shutdown()
        server.server_close()


@pytest.mark.parametrize("damage, lost", [(None, []), ("stale", ["k1234"]), ("missing", ["k1499"])])
def test_ledger_finds_every_write_the_target_does_not_hold(tmp_path, damage, lost):
    target = cart_stores.SqliteStore(tmp_path / "target.db")
    ledger = live_migration.Ledger()
    pairs = [(f"k{i}", f'{{"version":{i}}}') for i in range(1500)]  # more than one batch
    target.put_many(pairs)
    for key, value in pairs:
        ledger.record(key, value)
    if damage == "stale":
        ledger.record("k1234", '{"version":99999}')
    elif damage == "missing":
        target.delete_many(["k1499"])
    assert ledger.lost_writes(target) == lost
    target.close()


VERDICT = re.compile(r"demo: source=sqlite target=(?P<target>\w+) stage=(?P<stage>\w+) requests=(?P<requests>\d+) "
                     r"failed=(?P<failed>\d+) lost_writes=(?P<lost_writes>\d+) discrepancies=(?P<discrepancies>\d+) "
                     r"rollbacks=(?P<rollbacks>\d+) seconds=\d+\.\d")
STAGE_LINE = re.compile(r"stage (\d) (\w+) +requests= *(\d+) .*/metrics: stage=(\S+) ")
STAGES_WITH_ONE_ROLLBACK = ["idle", "shadow_write", "shadow_read", "shadow_write", "shadow_read", "dual_read",
                            "new_primary", "cleanup", "done"]


def run_demo(*args):
    command = [sys.executable, str(EXAMPLES / "demo.py"), "--seconds", "2", "--workers", "4", *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("target", ["redis", "sqlite"])
def test_live_migration_loses_no_write(target, request, tmp_path):
    need("prometheus_client")
    if target == "redis":
        server = request.getfixturevalue("redis_server")
        done = run_demo("--redis-url", server.url)
    else:  # what the demo does on a machine without redis-server
        done = run_demo("--redis-server", str(tmp_path / "no-such-redis-server"))
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    verdict = VERDICT.fullmatch(lines[-1])
    assert verdict, lines[-1]
    counts = {name: value if name in ("target", "stage") else int(value) for name, value in verdict.groupdict().items()}
    assert (counts["target"], counts["stage"], counts["failed"], counts["lost_writes"]) == (target, "done", 0, 0)
    assert counts["rollbacks"] >= 1 and counts["discrepancies"] >= 1

    stages = [STAGE_LINE.match(line).groups() for line in lines if line.startswith("stage ")]
    assert [name for _, name, _, _ in stages] == STAGES_WITH_ONE_ROLLBACK
    # Every worker serves at every stage (the driver waits for that), each line's scrape saw its stage,
    # and the stages' requests add up to the mesh's counters.
    assert all(int(requests) >= 4 for _, _, requests, _ in stages)
    assert [scraped for _, _, _, scraped in stages] == ["-"] + [number for number, _, _, _ in stages[1:]]
    assert sum(int(requests) for _, _, requests, _ in stages) == counts["requests"]
    if target == "redis":
        redis = need("redis")
        with redis.Redis(unix_socket_path=server.socket) as client:
            assert client.dbsize() == 0  # a Redis the demo was pointed at is left as it was
    else:
        assert "migrating into a second SQLite file instead" in lines[0]


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_stopped_demo_stops_its_redis_server(signum, status):
    need("prometheus_client")
    need("redis")
    need_redis_server()
    # Five seconds a stage: the signal comes early in shadow_write, around the copy.
    demo = subprocess.Popen([sys.executable, str(EXAMPLES / "demo.py"), "--seconds", "45"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in demo.stdout], daemon=True).start()
    try:
        server = None
        while True:
            line = lines.get(timeout=300)
            server = server or re.search(r"pid (\d+)\) on unix socket (\S+),", line)
            if line.startswith("stage 0 idle"):
                break
        demo.send_signal(signum)
        assert demo.wait(timeout=300) == status
    finally:
        if demo.poll() is None:
            demo.kill()
            demo.wait()
    pid, socket = int(server.group(1)), server.group(2)
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)
    assert not os.path.exists(os.path.dirname(socket))
    assert "everything it started is stopped" in demo.stderr.read()


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # the dropped one
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_whose_exception_is_dropped_still_stops_the_demo(monkeypatch, signum, status):
    need("prometheus_client")
    demo = importlib.import_module("demo")

    class Finalized:
        def __del__(self):  # an exception raised here is dropped: the handler's among them
            os.kill(os.getpid(), signum)
            for _ in range(1000):
                pass

    def run(args, out):
        Finalized()
        return {"left_in_old": 0, "failed": 0, "lost_writes": 0, "stage": "done"}

    monkeypatch.setattr(demo, "run", run)
    previous = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        assert demo.main(["--seconds", "1"]) == status
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


@pytest.mark.parametrize("script", ["tour.py", "migrate_with_progress.py"])
def test_scripts_run(script):
    done = subprocess.run([sys.executable, str(EXAMPLES / script)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert '"status":"ok"' in done.stdout
