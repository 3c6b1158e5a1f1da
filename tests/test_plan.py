"""The plan a mesh is built from: what it decodes to, the name it gives, the text it gives back."""
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import json_values, load_rows, python_canonical
from korvo_mesh import KorvoMesh

PLAN_ROWS = load_rows("plan-decode.jsonl")


def test_plan_table_is_complete():
    assert len(PLAN_ROWS) == 92


def split_backends(text):
    """The plan's members with their order and number texts kept; backends as a map."""
    pairs = json.loads(text, object_pairs_hook=list, parse_float=str, parse_int=str)
    members = dict(pairs)
    backends = dict(members.pop("backends"))
    return backends, [(k, v) for k, v in pairs if k != "backends"]


@pytest.mark.parametrize("row", PLAN_ROWS, ids=range(len(PLAN_ROWS)))
def test_plan_row_through_the_constructor(row):
    if "ok" in row:
        got = KorvoMesh("fallback", row["input"]).plan_json()
        want = row["ok"]
        if '"backends":{}' in want:
            assert got == want
        else:
            assert split_backends(got) == split_backends(want)
            assert len(got) == len(want)
    else:
        with pytest.raises(ValueError) as info:
            KorvoMesh("fallback", row["input"])
        assert info.value.args == ("Serialization error: " + row["err"],)


@pytest.mark.parametrize(
    "plan, app_name, migrations_app_name",
    [
        # A plan without a name gives an empty one; migrations keep the argument.
        ("{}", "", "myapp"),
        ("   ", "", "myapp"),
        (" \n{}\t", "", "myapp"),
        # A plan's name wins over the argument, also where Unicode white space surrounds the plan.
        ('{"app_name":"other"}', "other", "other"),
        ('\u00a0{"app_name":"nb"}\u3000', "nb", "nb"),
    ],
)
def test_app_name_from_the_plan(plan, app_name, migrations_app_name):
    mesh = KorvoMesh("myapp", plan)
    assert mesh.app_name == app_name
    assert mesh.start_migration("v", "a", "b").endswith(f'"app_name":"{migrations_app_name}"}}')


def test_plan_round_trip():
    text = ('{"app_name":"shop","backends":{"db":{"backend_type":"sqlite","config":{"b":1,"a":{"d":2,"c":3}}},'
            '"cache":{"backend_type":"redis"}},"functions":["f","f"],"agents":["Customer"],"version":7}')
    first = KorvoMesh("x", text).plan_json()
    assert '"db":{"backend_type":"sqlite","config":{"a":{"c":3,"d":2},"b":1}}' in first
    assert '"cache":{"backend_type":"redis","config":null}' in first
    again = KorvoMesh("y", first).plan_json()
    assert split_backends(again) == split_backends(first)


@settings(max_examples=200, deadline=None)
@given(
    name=st.text(),
    backends=st.dictionaries(st.text(max_size=6), st.tuples(st.text(max_size=6), json_values), max_size=4),
    functions=st.lists(st.text(max_size=6), max_size=4),
    agents=st.lists(st.text(max_size=6), max_size=4),
)
def test_generated_plans_round_trip(name, backends, functions, agents):
    plan = {"app_name": name, "backends": {k: {"backend_type": t, "config": c} for k, (t, c) in backends.items()},
            "functions": functions, "agents": agents}
    try:
        first = KorvoMesh("x", json.dumps(plan)).plan_json()
    except UnicodeEncodeError:
        return  # lone surrogates cannot cross as UTF-8
    decoded = json.loads(first)
    assert list(decoded) == ["app_name", "backends", "functions", "agents"]
    assert decoded["app_name"] == name and decoded["functions"] == functions and decoded["agents"] == agents
    assert decoded["backends"] == python_canonical(plan["backends"])
    again = KorvoMesh("y", first).plan_json()
    assert json.loads(again) == decoded
