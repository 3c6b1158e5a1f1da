"""The README's Python examples run exactly as written."""
import pathlib
import re

README = pathlib.Path(__file__).parent.parent / "README.md"


def test_readme_python_blocks_run():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)
    assert len(blocks) >= 2
    namespace = {}
    for block in blocks:  # later blocks continue with the names of earlier ones
        exec(compile(block, str(README), "exec"), namespace)
    assert namespace["mesh"].app_name == "myapp"
