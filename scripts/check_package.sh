#!/usr/bin/env bash
# Packaging check:
#
#   scripts/check_package.sh VENV...     (make check-package passes every tested interpreter's)
#
# The stubs match the built module (stubtest, in the first environment). For each
# environment's interpreter, where that interpreter runs (inside its Debian root for one made
# there): a wheel builds, by the oldest C++23 compiler at hand (g++-12 where installed: a newer
# one's libstdc++ headers can raise the symbol versions the module needs); auditwheel repairs
# it to the oldest manylinux tag it qualifies for; it installs into a fresh environment of
# that interpreter outside the source tree and imports (on a free-threaded build with the GIL
# still off). Back on this machine each repaired wheel's tags must be ones this machine's glibc
# accepts, and only the module, its stubs and the dist-info may land at the top of
# site-packages; it then replaces that interpreter's wheel in dist/ (wheels of other
# interpreters stay). A type checker finds the installed stubs, and an sdist builds the same
# wheel. Needs auditwheel in every environment (make check-package sets it up).
#
#   scripts/check_package.sh --wheel OUT    the per-interpreter part, run by the above in the
#                                           interpreter's own place: the repaired wheel to OUT
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
root="$KORVO_ROOT"

# The tag a wheel built by PYTHON carries before repair: cp313-cp313[t]-linux_<arch>.
build_tag() {
  "$1" -c 'import sys, sysconfig
v = "%d%d" % sys.version_info[:2]
abi = "cp" + v + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
print("cp%s-%s-%s" % (v, abi, sysconfig.get_platform().replace("-", "_").replace(".", "_")))'
}

# --- one interpreter, where it runs ------------------------------------------------------
if [ "${1:-}" = --wheel ]; then
  out="${2:?--wheel needs an output folder}"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  tag="$(build_tag python)"
  cxx="$(command -v g++-12 || command -v g++ || true)"
  [ -n "$cxx" ] || die "no g++ to build the wheel with"
  echo "== wheel for $(cut -d- -f2 <<<"$tag"), built by $("$cxx" --version | head -1)"
  CXX="$cxx" python -m pip wheel -q --no-deps -w "$work/raw" "$root" >&2
  raw="$(ls "$work"/raw/korvo_mesh-*.whl)"
  case "$(basename "$raw")" in
    *"-$tag.whl") ;;
    *) die "built $(basename "$raw"), expected the tag $tag" ;;
  esac
  # auditwheel picks the oldest manylinux policy whose glibc and libstdc++ symbol versions
  # cover everything the module uses, and grafts any library outside that policy.
  auditwheel show "$raw" 2>&1 | grep -v '^INFO:' >&2
  auditwheel repair -w "$work/wheel" "$raw" >"$work/repair.log" 2>&1 \
    || { cat "$work/repair.log" >&2; die "auditwheel could not repair $(basename "$raw")"; }
  wheel="$(ls "$work"/wheel/korvo_mesh-*.whl)"
  # A fresh environment outside the tree, warnings as errors: on a free-threaded build an
  # import that switched the GIL back on would warn.
  python -m venv "$work/env"
  "$work/env/bin/python" -m pip install -q --no-deps "$wheel"
  (cd "$work" && env -u PYTHON_GIL "$work/env/bin/python" -W error -c '
import importlib.metadata, korvo_mesh, pathlib, sys, sysconfig
m = korvo_mesh.KorvoMesh("wheel")
assert m.register_agent("T", "a").startswith("{\"agent_id\":\"a\"")
m.state_set("k", "[1.5, {\"b\": 1, \"a\": null}]")
assert m.state_get("k") == "[1.5,{\"a\":null,\"b\":1}]"
assert pathlib.Path(korvo_mesh.__file__).parent.joinpath("korvo_mesh.pyi").exists()
# One version for the distribution and the module, both from CMakeLists.txt.
assert korvo_mesh.__version__ == importlib.metadata.version("korvo-mesh"), \
    (korvo_mesh.__version__, importlib.metadata.version("korvo-mesh"))
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
assert not free_threaded or not sys._is_gil_enabled(), "importing korvo_mesh enabled the GIL"
print("imported", korvo_mesh.__file__, korvo_mesh.__version__, sys.version.split()[0], *["(GIL off)"] * free_threaded)')
  mkdir -p "$out"
  rm -f "$out"/korvo_mesh-*.whl
  cp "$wheel" "$out/"
  exit 0
fi

# --- every interpreter -------------------------------------------------------------------
[ $# -ge 1 ] || die "usage: check_package.sh VENV... (or --wheel OUT)"
py="$1/bin/python"
[ -x "$py" ] || die "no $py: run 'make bootstrap' first"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "== stubtest"
(cd "$work" && "$py" -m mypy.stubtest korvo_mesh)

# Checks a repaired wheel on this machine: its tags are this interpreter's with manylinux
# platforms this machine's glibc satisfies (so pip here, and on any newer glibc, takes it),
# and nothing lands at the top of site-packages but the module, its stub, the stub-only
# package and the dist-info folder. A stray top-level file (a py.typed marker, say) would
# belong to every distribution that ships one; a grafted library folder would mean the
# module needs a shared library outside the manylinux policy.
check_repaired() {
  "$py" - "$1" "$2" <<'EOF'
import csv, io, os, re, sys, zipfile
from packaging.utils import parse_wheel_filename
path, python_tag = sys.argv[1], sys.argv[2]
interpreter, abi = python_tag.split("-")[:2]
_, _, _, tags = parse_wheel_filename(os.path.basename(path))
glibc = tuple(int(n) for n in os.confstr("CS_GNU_LIBC_VERSION").split()[1].split(".")[:2])
legacy = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
for tag in tags:
    if (tag.interpreter, tag.abi) != (interpreter, abi):
        sys.exit(f"{path}: tag {tag}, expected {interpreter}-{abi}")
    m = re.fullmatch(r"manylinux_(\d+)_(\d+)_(\w+)", tag.platform)
    legacy_match = re.fullmatch(r"(manylinux\d+)_(\w+)", tag.platform)
    if m:
        need = (int(m[1]), int(m[2]))
    elif legacy_match and legacy_match[1] in legacy:
        need = legacy[legacy_match[1]]
    else:
        sys.exit(f"{path}: platform {tag.platform} is not a manylinux tag")
    if need > glibc:
        sys.exit(f"{path}: {tag.platform} needs glibc {need}, this machine has {glibc}")
wheel = zipfile.ZipFile(path)
record = next(n for n in wheel.namelist() if n.endswith(".dist-info/RECORD"))
tops = set()
for row in csv.reader(io.TextIOWrapper(wheel.open(record), encoding="utf-8")):
    top = row[0].split("/")[0]
    if top.endswith(".dist-info"):
        top = "<dist-info>/"
    elif "/" in row[0]:
        top += "/"
    elif top.startswith("korvo_mesh.") and top.endswith(".so"):
        top = "<module>.so"
    tops.add(top)
want = {"<module>.so", "korvo_mesh.pyi", "korvo_mesh-stubs/", "<dist-info>/"}
if tops != want:
    sys.exit(f"the wheel installs {sorted(tops)} at the top of site-packages, expected {sorted(want)}")
print("tags:", ", ".join(sorted(map(str, tags))), "| top of site-packages:", ", ".join(sorted(tops)))
EOF
}

mkdir -p "$root/dist"
made=()
for venv in "$@"; do
  tag="$("$root/scripts/venv_run.sh" "$venv" bash -c "$(declare -f build_tag); build_tag python")"
  abi="$(cut -d- -f2 <<<"$tag")"
  out="$root/build-package/$abi"
  "$root/scripts/venv_run.sh" "$venv" bash "$root/scripts/check_package.sh" --wheel "$out"
  wheel="$(ls "$out"/korvo_mesh-*.whl)"
  check_repaired "$wheel" "$tag"
  # Only this interpreter's wheel is replaced: the others' stay as they were made.
  rm -f "$root"/dist/korvo_mesh-*-"$(cut -d- -f1,2 <<<"$tag")"-*.whl
  cp "$wheel" "$root/dist/"
  made+=("$(basename "$wheel")")
done

# A type checker run from outside the tree finds the types through the installed stubs.
echo "== mypy against an installed wheel"
"$py" -m venv "$work/env"
"$work/env/bin/python" -m pip install -q --no-deps "$root/dist/${made[0]}"
cat >"$work/use_types.py" <<'EOF'
from korvo_mesh import KorvoMesh
mesh = KorvoMesh("typed")
count: int = mesh.publish("t", "1")
text: str = mesh.state_get("k")  # a str or None: the checker must refuse this
EOF
if (cd "$work" && "$py" -m mypy --python-executable "$work/env/bin/python" --no-incremental use_types.py \
      >"$work/mypy.out" 2>&1); then
  cat "$work/mypy.out" >&2; die "mypy accepted an Optional[str] as str: the stubs were not found"
fi
grep -q 'Incompatible types in assignment (expression has type "str | None", variable has type "str")' "$work/mypy.out" \
  || { cat "$work/mypy.out" >&2; die "mypy did not check against the installed stubs"; }
echo "mypy reads the installed types"

echo "== sdist"
tag="$(build_tag "$py")"
"$py" -m build --sdist --no-isolation -o "$work/sdist" "$root" >/dev/null
sdist="$(ls "$work"/sdist/korvo_mesh-*.tar.gz)"
"$py" -m pip wheel -q --no-deps -w "$work/from-sdist" "$sdist"
ls "$work"/from-sdist/korvo_mesh-*"$tag".whl >/dev/null
echo "sdist $(basename "$sdist") builds $(basename "$(ls "$work"/from-sdist/*.whl)")"
echo "wheels made: ${made[*]}"
echo "wheels in dist/: $(cd "$root/dist" && echo korvo_mesh-*.whl)"
