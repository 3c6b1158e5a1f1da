"""The expected reader and plan-decoder results, row by row."""
import json

import pytest

from conftest import load_rows
from korvo_mesh import KorvoMesh

READER_ROWS = load_rows("json-reader.jsonl")
PLAN_ROWS = load_rows("plan-decode.jsonl")


def test_tables_are_complete():
    assert (len(READER_ROWS), len(PLAN_ROWS)) == (218, 92)


@pytest.mark.parametrize("row", READER_ROWS, ids=range(len(READER_ROWS)))
def test_reader_row_through_state_set(mesh, row):
    if "ok" in row:
        mesh.state_set("k", row["input"])
        assert mesh.state_get("k") == row["ok"]
    else:
        with pytest.raises(ValueError) as info:
            mesh.state_set("k", row["input"])
        assert info.value.args == ("Serialization error: " + row["err"],)
        assert not mesh.state_exists("k")


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


def test_plan_round_trip():
    text = ('{"app_name":"shop","backends":{"db":{"backend_type":"sqlite","config":{"b":1,"a":{"d":2,"c":3}}},'
            '"cache":{"backend_type":"redis"}},"functions":["f","f"],"agents":["Customer"],"version":7}')
    first = KorvoMesh("x", text).plan_json()
    assert '"db":{"backend_type":"sqlite","config":{"a":{"c":3,"d":2},"b":1}}' in first
    assert '"cache":{"backend_type":"redis","config":null}' in first
    again = KorvoMesh("y", first).plan_json()
    assert split_backends(again) == split_backends(first)


def test_plan_trims_unicode_white_space():
    assert KorvoMesh("x", '\u00a0{"app_name":"nb"}\u3000').app_name == "nb"
