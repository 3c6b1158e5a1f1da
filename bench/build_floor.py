"""Builds the benchmark floor extension (_korvo_floor) into bench/build/.

No build backend: the running interpreter's own sysconfig says which compiler, headers
and file suffix to use, and one compiler call does the rest. Rebuilds only when the
source is newer than the library. Usage: python bench/build_floor.py [--force]
"""
import os
import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path

BENCH = Path(__file__).resolve().parent
SOURCE = BENCH / "floor" / "korvo_floor.c"
BUILD_DIR = BENCH / "build"


def target() -> Path:
    return BUILD_DIR / ("_korvo_floor" + sysconfig.get_config_var("EXT_SUFFIX"))


def build(force: bool = False) -> Path:
    out = target()
    if not force and out.exists() and out.stat().st_mtime >= SOURCE.stat().st_mtime:
        return out
    BUILD_DIR.mkdir(parents=True, exist_ok=True)
    cc = shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")
    include = sysconfig.get_paths()["include"]
    cmd = [*cc, "-O2", "-fPIC", "-shared", "-std=c11", "-Wall", "-Wextra", "-Werror",
           f"-I{include}", str(SOURCE), "-o", str(out)]
    print("building floor:", shlex.join(cmd), file=sys.stderr)
    subprocess.run(cmd, check=True)
    return out


if __name__ == "__main__":
    print(build(force="--force" in sys.argv[1:]))
