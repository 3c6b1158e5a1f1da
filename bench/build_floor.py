"""Builds the benchmark floor extension (_korvo_floor) into bench/build/.

The bench-floor preset of CMakePresets.json builds it for .venv's interpreter with the
project's warnings; ninja rebuilds it only when its source changed.
Usage: python bench/build_floor.py [--force]
"""
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
BUILD_DIR = BENCH / "build"


def target() -> Path:
    return BUILD_DIR / ("_korvo_floor" + sysconfig.get_config_var("EXT_SUFFIX"))


def build(force: bool = False) -> Path:
    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or "cmake"
    tree = BUILD_DIR / "cmake"
    if force or not (tree / "CMakeCache.txt").exists():
        subprocess.run([cmake, "--preset", "bench-floor", "--fresh"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", "--preset", "bench-floor"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    out = target()
    if not out.exists():
        sys.exit(f"the bench-floor preset did not build {out}")
    return out


if __name__ == "__main__":
    print(build(force="--force" in sys.argv[1:]))
