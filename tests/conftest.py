import json
import pathlib

import pytest

import korvo_mesh

DATA = pathlib.Path(__file__).parent / "data"


def load_rows(name):
    with open(DATA / name, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


@pytest.fixture
def mesh():
    return korvo_mesh.KorvoMesh("myapp")
