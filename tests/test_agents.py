"""Agent methods and call routing."""
import json
import re

import pytest

TS = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00$")
KEYS = ["agent_id", "agent_type", "status", "instance", "registered_at", "last_active", "metadata"]


def test_register_defaults(mesh):
    text = mesh.register_agent("Customer", "customer-123")
    entry = json.loads(text)
    assert list(entry) == KEYS
    assert entry["instance"] == 0 and entry["status"] == "starting" and entry["metadata"] == {}
    assert entry["registered_at"] == entry["last_active"]
    assert TS.match(entry["registered_at"])
    assert text.startswith('{"agent_id":"customer-123","agent_type":"Customer","status":"starting","instance":0,')
    assert text.endswith(',"metadata":{}}')
    assert mesh.get_agent("customer-123") == text


def test_duplicate_registration_leaves_the_first(mesh):
    first = mesh.register_agent("Customer", "customer-123")
    with pytest.raises(RuntimeError) as info:
        mesh.register_agent("Other", "customer-123", 5, "[1]")
    assert info.value.args == ("Agent 'customer-123' is already registered",)
    assert mesh.get_agent("customer-123") == first


@pytest.mark.parametrize(
    "metadata, written",
    [("[1, 2]", "[1,2]"), ("null", "null"), ('{"b":1,"a":2}', '{"a":2,"b":1}'), (None, "{}"), (' "x" ', '"x"')],
)
def test_metadata_is_stored_canonically(mesh, metadata, written):
    text = mesh.register_agent("T", "a", metadata_json=metadata)
    assert text.endswith(f',"metadata":{written}}}')


@pytest.mark.parametrize("metadata", ["", "{", "[1,]"])
def test_bad_metadata_touches_nothing(mesh, metadata):
    with pytest.raises(ValueError, match="^Serialization error: "):
        mesh.register_agent("T", "a", 0, metadata)
    assert mesh.get_agent("a") is None


def test_instance_bounds_and_escaping(mesh):
    assert '"instance":4294967295,' in mesh.register_agent("T", "a", 4294967295)
    text = mesh.register_agent('Q"\\', "\u00e9\x1f\t")
    assert text.startswith('{"agent_id":"\u00e9\\u001f\\t","agent_type":"Q\\"\\\\",')
    assert '"agent_id":""' in mesh.register_agent("T", "")


def test_get_and_deregister(mesh):
    assert mesh.get_agent("ghost") is None
    assert mesh.deregister_agent("ghost") is None
    mesh.register_agent("T", "a")
    assert mesh.deregister_agent("a") is None
    assert mesh.get_agent("a") is None
    assert mesh.deregister_agent("a") is None
    again = json.loads(mesh.register_agent("T", "a"))
    assert again["status"] == "starting"


def test_list_filters(mesh):
    assert mesh.list_agents() == "[]"
    mesh.register_agent("Customer", "c1")
    mesh.register_agent("Customer", "c2")
    mesh.register_agent("Order", "o1")
    mesh.register_agent("", "blank")
    mesh.update_agent_status("c2", "running")

    def ids(**kw):
        return sorted(e["agent_id"] for e in json.loads(mesh.list_agents(**kw)))

    assert ids() == ["blank", "c1", "c2", "o1"]
    assert ids(agent_type="Customer") == ["c1", "c2"]
    assert ids(agent_type="Customer", status="running") == ["c2"]
    assert ids(status="starting") == ["blank", "c1", "o1"]
    assert ids(agent_type="") == ["blank"]
    assert ids(agent_type=None, status=None) == ids()
    for odd in ["Running", "running ", ""]:
        assert mesh.list_agents(status=odd) == "[]"
    listing = mesh.list_agents(agent_type="Customer")
    assert listing.startswith("[{") and listing.endswith("}]") and "},{" in listing


def test_update_status(mesh):
    entry = json.loads(mesh.register_agent("T", "a"))
    for status in ["running", "idle", "stopping", "stopped", "error", "starting", "starting"]:
        assert mesh.update_agent_status("a", status) is None
        now = json.loads(mesh.get_agent("a"))
        assert now["status"] == status
        assert now["registered_at"] == entry["registered_at"]
        assert TS.match(now["last_active"])


def test_update_status_errors(mesh):
    with pytest.raises(KeyError) as info:
        mesh.update_agent_status("ghost", "running")
    assert info.value.args == ("Agent '/ghost' not found in registry",)
    with pytest.raises(ValueError) as info:
        mesh.update_agent_status("ghost", "RUNNING")
    assert str(info.value).startswith('Unknown status "RUNNING".')


@pytest.mark.parametrize(
    "status, shown",
    [
        ("Running", '"Running"'),
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("\t\r\n\0", '"\\t\\r\\n\\0"'),
        ("\x1b", '"\\u{1b}"'),
        ("e\u0301", '"e\\u{301}"'),
        ("\u00a0", '"\\u{a0}"'),
        ("caf\u00e9 'x'", "\"caf\u00e9 'x'\""),
        # The tables follow Unicode 17.0 on every interpreter (3.13's own database is 15.1):
        # U+1CC25 came in 16.0, U+32676 in 17.0; U+3347A is still unassigned.
        ("\U0001cc25\U00032676\U0003347a", '"\U0001cc25\U00032676\\u{3347a}"'),
    ],
)
def test_unknown_status_message_quotes_the_text(mesh, status, shown):
    with pytest.raises(ValueError) as info:
        mesh.update_agent_status("a", status)
    assert info.value.args == (
        f"Unknown status {shown}. Valid values: starting, running, idle, stopping, stopped, error",
    )


@pytest.mark.parametrize("agent_id, method", [
    ("customer-123", "checkout"), ("kunde-\u00fc", "pr\u00fcfen"), ("a\"b", "m\\n\U0001f600"),
])
def test_route_marks_running_and_describes(mesh, agent_id, method):
    mesh.register_agent("Customer", agent_id)
    text = mesh.route_agent_call("Customer", agent_id, method)
    assert text == json.dumps({"agent_id": agent_id, "agent_type": "Customer", "method": method,
                               "node": "localhost", "status": "routed"}, ensure_ascii=False, separators=(",", ":"))
    assert json.loads(mesh.get_agent(agent_id))["status"] == "running"
    assert mesh.route_agent_call("Customer", agent_id, method) == text


@pytest.mark.parametrize("status, routable", [
    ("starting", True), ("running", True), ("idle", True), ("stopping", True), ("stopped", False), ("error", False),
])
def test_route_by_status(mesh, status, routable):
    mesh.register_agent("Customer", "c")
    mesh.update_agent_status("c", status)
    if routable:
        mesh.route_agent_call("Other", "c", "m")
        assert json.loads(mesh.get_agent("c"))["status"] == "running"
    else:
        with pytest.raises(KeyError) as info:
            mesh.route_agent_call("Other", "c", "m")
        assert info.value.args == ("Agent 'Other/c' not found in registry",)
        assert json.loads(mesh.get_agent("c"))["status"] == status


def test_route_checks_json_first_and_ignores_its_value(mesh):
    with pytest.raises(ValueError, match="^Serialization error: "):
        mesh.route_agent_call("Customer", "ghost", "m", "not json")
    with pytest.raises(KeyError) as info:
        mesh.route_agent_call("Customer", "ghost", "m")
    assert info.value.args == ("Agent 'Customer/ghost' not found in registry",)
    mesh.register_agent("Customer", "c")
    for args in ["[]", "5", '{"secret": 1}']:
        assert "secret" not in mesh.route_agent_call("Other", "c", "m", args_json=args)
    assert '"agent_type":"Other"' in mesh.route_agent_call("Other", "c", "m")


def test_route_refreshes_last_active(mesh):
    first = json.loads(mesh.register_agent("T", "a"))
    seen = {first["last_active"]}
    for _ in range(50):
        mesh.route_agent_call("T", "a", "m")
        seen.add(json.loads(mesh.get_agent("a"))["last_active"])
    assert len(seen) > 1
