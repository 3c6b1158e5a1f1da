#!/usr/bin/env bash
# Packaging check: the stubs match the built module, a wheel builds with the right tags,
# it installs into a fresh environment outside the source tree and imports, and an sdist
# builds the same wheel. Needs the project's .venv (scripts/bootstrap.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
py="$root/.venv/bin/python"
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
  *) echo "wrong wheel tags" >&2; exit 1 ;;
esac
"$py" -m zipfile -l "$wheel" | grep -q 'korvo_mesh.pyi' || { echo "stubs missing from the wheel" >&2; exit 1; }

echo "== fresh environment"
"$py" -m venv "$work/env"
"$work/env/bin/python" -m pip install -q --no-deps "$wheel"
(cd "$work" && "$work/env/bin/python" -c '
import korvo_mesh, pathlib
m = korvo_mesh.KorvoMesh("wheel")
assert m.register_agent("T", "a").startswith("{\"agent_id\":\"a\"")
assert pathlib.Path(korvo_mesh.__file__).parent.joinpath("korvo_mesh.pyi").exists()
print("imported", korvo_mesh.__file__, korvo_mesh.__version__)')

echo "== sdist"
"$py" -m build --sdist --no-isolation -o "$work/sdist" "$root" >/dev/null
sdist="$(ls "$work"/sdist/korvo_mesh-*.tar.gz)"
"$py" -m pip wheel -q --no-deps -w "$work/from-sdist" "$sdist"
ls "$work"/from-sdist/korvo_mesh-*"$tag".whl >/dev/null
echo "sdist $(basename "$sdist") builds $(basename "$(ls "$work"/from-sdist/*.whl)")"
