"""The expected reader results, row by row."""
import pytest

from conftest import load_rows

READER_ROWS = load_rows("json-reader.jsonl")
assert READER_ROWS, "json-reader.jsonl holds no rows"


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
