#!/usr/bin/env bash
# Packaging check: the stubs match the built module, a wheel builds with the right tags,
# it installs into a fresh environment outside the source tree and imports, and an sdist
# builds the same wheel. Needs the project's .venv (scripts/bootstrap.sh).
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
root="$KORVO_ROOT"
py="$KORVO_VENV/bin/python"
[ -x "$py" ] || die "no $py: run 'make bootstrap' first"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "== stubtest"
(cd "$work" && "$py" -m mypy.stubtest korvo_mesh)

echo "== wheel"
"$py" -m pip wheel -q --no-deps -w "$work/wheel" "$root"
wheel="$(ls "$work"/wheel/korvo_mesh-*.whl)"
tag="$("$py" -c 'import sys, sysconfig; print("cp%d%d-cp%d%d-%s" % (sys.version_info[:2] * 2 + (sysconfig.get_platform().replace("-", "_").replace(".", "_"),)))')"
echo "built $(basename "$wheel"), expecting tag $tag"
case "$(basename "$wheel")" in
  *"$tag".whl) ;;
  *) die "wrong wheel tags" ;;
esac
# Nothing may land at the top of site-packages but the module, its stub, the stub-only package
# and the dist-info folder: a stray top-level file (a py.typed marker, say) would belong to
# every distribution that ships one, and uninstalling one would remove the other's.
"$py" - "$wheel" <<'EOF'
import csv, io, sys, zipfile
wheel = zipfile.ZipFile(sys.argv[1])
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
print("top of site-packages:", ", ".join(sorted(tops)))
EOF

echo "== fresh environment"
"$py" -m venv "$work/env"
"$work/env/bin/python" -m pip install -q --no-deps "$wheel"
(cd "$work" && "$work/env/bin/python" -c '
import importlib.metadata, korvo_mesh, pathlib
m = korvo_mesh.KorvoMesh("wheel")
assert m.register_agent("T", "a").startswith("{\"agent_id\":\"a\"")
assert pathlib.Path(korvo_mesh.__file__).parent.joinpath("korvo_mesh.pyi").exists()
# One version for the distribution and the module, both from CMakeLists.txt.
assert korvo_mesh.__version__ == importlib.metadata.version("korvo-mesh"), \
    (korvo_mesh.__version__, importlib.metadata.version("korvo-mesh"))
print("imported", korvo_mesh.__file__, korvo_mesh.__version__)')
# A type checker run from outside the tree finds the types through the installed stubs.
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
"$py" -m build --sdist --no-isolation -o "$work/sdist" "$root" >/dev/null
sdist="$(ls "$work"/sdist/korvo_mesh-*.tar.gz)"
"$py" -m pip wheel -q --no-deps -w "$work/from-sdist" "$sdist"
ls "$work"/from-sdist/korvo_mesh-*"$tag".whl >/dev/null
echo "sdist $(basename "$sdist") builds $(basename "$(ls "$work"/from-sdist/*.whl)")"
