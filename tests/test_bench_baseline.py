"""The benchmark's Python baseline (bench/pure_mesh.py) answers as the mesh does.

A race against a baseline that skips work the mesh does would flatter the mesh, so both
are driven through the same calls and their answers compared: results byte for byte with
timestamps masked (list results as sets of records), exceptions by type and message. A
JSON syntax error is compared by type and "Serialization error: " prefix only: the wording
after it is each parser's own.
"""
import json
import pathlib
import re
import sys

import pytest

from korvo_mesh import KorvoMesh

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))
from pure_mesh import PureMesh  # noqa: E402

TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?\+00:00")
SYNTAX = "Serialization error: "

VALUES = [
    '{"b": 1, "a": [true, null, false]}', '{"a": 1, "a": 2}', ' "text"\n', "1e2", "-0", "1.50", "-0.0e0",
    "1e-6", "0.00001", "2.5e-5", "0.0001", "1e15", "1e16", "-1.5e300", "5e-324", "1e-7",
    "18446744073709551615", "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
    "123456789012345678901234", '"caf\\u00e9 \\u001f\\b\\f\\n \\"q\\" \\\\ \\u007f"', '{"\\u00e9": 1, "z": 2, "Z": 3}',
    '{"ke+y": "one-time 1e-05", "n": [1e-05, 12345678901234567.0]}', "[]", "{}", "null",
]
BAD_JSON = ["x", "", "1 2", "{'a': 1}", "[1,]", "NaN", "1e400"]

# One application's life: every method, on success and on its common failure paths.
CALLS = [
    ("register_agent", "Customer", "c1"),
    ("register_agent", "Customer", "c2", 3, '{"region": "eu", "tier": 2, "big": 1e16, "small": 0.00001}'),
    ("register_agent", "Inventory", "i1", 4294967295, "[1, 2.5e-7, null]"),
    ("register_agent", 'Q"\\', "\u00e9\x1f\t", 1, ' "x" '),
    ("register_agent", "Customer", "c1"),
    ("register_agent", "Customer", "c1", 0, "{"),
    ("register_agent", "Customer", "c3", -1),
    ("register_agent", "Customer", "c3", 2**32),
    ("get_agent", "c2"), ("get_agent", "\u00e9\x1f\t"), ("get_agent", "ghost"),
    ("update_agent_status", "c1", "idle"), ("update_agent_status", "c2", "error"),
    ("update_agent_status", "i1", "stopped"), ("update_agent_status", "ghost", "idle"),
    ("update_agent_status", "c1", "RUNNING"), ("update_agent_status", "c1", 'a"b\\\t\x1b\u00a0caf\u00e9\0'),
    ("route_agent_call", "Customer", "c1", "checkout"),
    ("route_agent_call", "Other", "c1", "checkout", '{"basket": ["tea", "cups"]}'),
    ("route_agent_call", "Customer", "c2", "checkout"), ("route_agent_call", "Inventory", "i1", "restock"),
    ("route_agent_call", "Customer", "ghost", "m"), ("route_agent_call", "Customer", "c1", "m", "not json"),
    ("get_agent", "c1"),
    ("list_agents",), ("list_agents", "Customer"), ("list_agents", None, "running"), ("list_agents", "Nobody"),
    ("deregister_agent", "i1"), ("deregister_agent", "ghost"), ("get_agent", "i1"),
    *[("state_set", f"v{i}", text) for i, text in enumerate(VALUES)],
    *[("state_get", f"v{i}") for i in range(len(VALUES))],
    *[("state_set", "bad", text) for text in BAD_JSON],
    ("state_set", "", "[]"), ("state_set", "a\0b", '"\u00e9"'), ("state_set", "v1", "[1]"),
    ("state_exists", "v1"), ("state_exists", "bad"), ("state_get", "bad"), ("state_get", "v1"),
    ("state_keys",), ("state_keys", "v1"), ("state_keys", "a"), ("state_keys", "zzz"),
    ("state_delete", "v1"), ("state_delete", "v1"), ("state_exists", "v1"), ("state_keys", "v1"),
    ("publish", "orders", '{"id": 1}'), ("publish", "orders", "2"), ("publish", "audit", "null"),
    ("publish", "t", "[1"),
    ("start_migration", "v", "sqlite", "redis"), ("start_migration", "v", "a", "b"),
    ("start_migration", "w", "a", "b"), ("advance_migration", "v", 3, 100),
    ("advance_migration", "v", 2**64 - 1, 2**64 - 2), ("advance_migration", "v", 5, 5),
    ("advance_migration", "v", -1), ("advance_migration", "v", 0, 2**64), ("advance_migration", "ghost"),
    ("rollback_migration", "v"), ("rollback_migration", "ghost"), ("rollback_migration", "w"),
    ("rollback_migration", "w"), ("start_migration", "w", "a", "b"), ("get_migration", "v"),
    ("advance_migration", "v"), ("advance_migration", "v"), ("advance_migration", "v"),
    ("advance_migration", "v"), ("advance_migration", "v"), ("rollback_migration", "v"),
    ("start_migration", "v", "redis", "sqlite"), ("get_migration", "v"), ("get_migration", "ghost"),
    ("list_migrations",),
]

PLAN = json.dumps({
    "app_name": "shop",
    "backends": {"primary": {"backend_type": "sqlite", "config": {"path": "shop.db", "wal": True, "mmap": 1e-6}},
                 "cache": {"backend_type": "redis"}},
    "functions": ["checkout", "restock"],
    "agents": ["Customer", "Inventory"],
})


def answer(obj, name, *args):
    try:
        result = getattr(obj, name)(*args)
    except Exception as e:  # noqa: BLE001 - the exception is the answer
        message = str(e.args[0]) if e.args else ""
        if isinstance(e, ValueError) and message.startswith(SYNTAX):
            message = SYNTAX
        return type(e).__name__, message
    if isinstance(result, str):
        result = TIMESTAMP.sub("<time>", result)
        if name.startswith("list_"):
            return sorted(json.dumps(r) for r in json.loads(result)), len(result)
    return result


@pytest.mark.parametrize("app_name, plan", [("myapp", ""), ("caf\u00e9 \"x\"\x1b", ""), ("ignored", PLAN)])
def test_same_answers(app_name, plan):
    mesh, pure = KorvoMesh(app_name, plan), PureMesh(app_name, plan)
    assert (mesh.app_name, mesh.plan_json()) == (pure.app_name, pure.plan_json())
    for call in CALLS:
        assert answer(pure, *call) == answer(mesh, *call), call
        # the counts kept as calls go must agree with the mesh's after every call
        assert pure.health_snapshot() == mesh.health_snapshot(), call
        assert repr(pure).replace("PureMesh(", "KorvoMesh(", 1) == repr(mesh), call


@pytest.mark.parametrize("document", ["canada", "citm_catalog", "twitter"])
def test_same_canonical_documents(document):
    text = (pathlib.Path(__file__).parent / "data" / "corpus" / f"{document}.json").read_text(encoding="utf-8")
    mesh, pure = KorvoMesh("bench"), PureMesh("bench")
    mesh.state_set("doc", text)
    pure.state_set("doc", text)
    assert pure.state_get("doc") == mesh.state_get("doc")
