"""The example scripts a framework author would copy, run as written."""
import io
import json
import pathlib
import subprocess
import sys
import threading
import urllib.request

import pytest

from korvo_mesh import KorvoMesh

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

import health_endpoint  # noqa: E402
import migrate_with_progress  # noqa: E402


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


def test_health_endpoint_serves_the_snapshot():
    mesh = KorvoMesh("shop")
    mesh.register_agent("Customer", "c1")
    server = health_endpoint.make_server(mesh)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        base = f"http://127.0.0.1:{server.server_address[1]}"
        with urllib.request.urlopen(base + "/health", timeout=10) as reply:
            assert reply.status == 200
            assert reply.headers["Content-Type"] == "application/json"
            assert reply.read().decode() == mesh.health_snapshot()
        with pytest.raises(urllib.error.HTTPError) as info:
            urllib.request.urlopen(base + "/nope", timeout=10)
        assert info.value.code == 404
    finally:
        server.shutdown()
        server.server_close()


@pytest.mark.parametrize("script", ["tour.py", "migrate_with_progress.py"])
def test_scripts_run(script):
    done = subprocess.run([sys.executable, str(EXAMPLES / script)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert '"status":"ok"' in done.stdout
