"""The health snapshot and the summary line."""
import pytest

from conftest import DONE
from korvo_mesh import KorvoMesh


def test_fresh_mesh(mesh):
    assert mesh.health_snapshot() == (
        '{"agents":{"error":0,"idle":0,"running":0,"total":0},"app":"myapp","channels":{"topics":0},'
        '"migrations":{"active":0},"state":{"keys":0},"status":"ok"}')
    assert repr(mesh) == 'KorvoMesh(app="myapp", agents=0, state_keys=0, migrations=0)'


def test_counts(mesh):
    mesh.register_agent("T", "a")
    mesh.register_agent("T", "b")
    mesh.register_agent("T", "c")
    mesh.register_agent("T", "d")
    mesh.route_agent_call("T", "a", "m")
    mesh.update_agent_status("b", "stopped")
    mesh.update_agent_status("c", "idle")
    mesh.update_agent_status("d", "error")
    for k in "xyz":
        mesh.state_set(k, "1")
    mesh.start_migration("v", "a", "b")
    mesh.start_migration("w", "a", "b")
    mesh.rollback_migration("w")
    mesh.start_migration("done", "a", "b")
    for _ in range(DONE - 1):
        mesh.advance_migration("done")
    mesh.publish("t", "1")
    assert mesh.health_snapshot() == (
        '{"agents":{"error":1,"idle":1,"running":1,"total":4},"app":"myapp","channels":{"topics":1},'
        '"migrations":{"active":2},"state":{"keys":3},"status":"ok"}')
    assert repr(mesh) == 'KorvoMesh(app="myapp", agents=4, state_keys=3, migrations=2)'


@pytest.mark.parametrize(
    "name, shown, json_text",
    [
        ('my"app', '"my\\"app"', '"my\\"app"'),
        ("", '""', '""'),
        ("a\\b\n", '"a\\\\b\\n"', '"a\\\\b\\n"'),
        ("caf\u00e9'", "\"caf\u00e9'\"", "\"caf\u00e9'\""),
        ("\x1b", '"\\u{1b}"', '"\\u001b"'),
    ],
)
def test_names_are_escaped(name, shown, json_text):
    mesh = KorvoMesh(name)
    assert repr(mesh).startswith(f"KorvoMesh(app={shown}, ")
    assert f'"app":{json_text},' in mesh.health_snapshot()
