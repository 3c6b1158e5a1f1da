import json
import pathlib

import pytest
from hypothesis import strategies as st

import korvo_mesh

DATA = pathlib.Path(__file__).parent / "data"

# A migration's stages in order: it starts at stage 1 and is complete at the last, DONE.
STAGES = ["idle", "shadow_write", "shadow_read", "dual_read", "new_primary", "cleanup", "done"]
DONE = len(STAGES) - 1


def load_rows(name):
    with open(DATA / name, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=8), children, max_size=5),
    max_leaves=30,
)


def python_canonical(value):
    """What the mesh's canonical text must decode to (floats compared by value)."""
    return json.loads(json.dumps(value, sort_keys=True))


@pytest.fixture
def mesh():
    return korvo_mesh.KorvoMesh("myapp")
