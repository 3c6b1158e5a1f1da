#!/usr/bin/env bash
# Runs the C++ unit tests under valgrind's memcheck: invalid reads and writes, use of
# uninitialised values, mismatched frees and leaks all fail the run.
#
#   scripts/memcheck.sh [GTEST_FILTER]
#
# Builds the tests without sanitizers (-O1 -g) into build-memcheck/, installing
# valgrind through apt when it is missing. Exits non-zero when a test fails or
# memcheck reports an error; the full report is in build-memcheck/memcheck.log.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$ROOT/build-memcheck"
FILTER="${1:-*}"
JOBS="${JOBS:-2}"

if [ -x "$ROOT/.venv/bin/cmake" ]; then CMAKE="$ROOT/.venv/bin/cmake"; else CMAKE="cmake"; fi
GENERATOR=()
if command -v ninja >/dev/null 2>&1 || [ -x "$ROOT/.venv/bin/ninja" ]; then
  GENERATOR=(-G Ninja)
  PATH="$ROOT/.venv/bin:$PATH"
fi

if ! command -v valgrind >/dev/null 2>&1; then
  echo "memcheck.sh: installing valgrind"
  SUDO=()
  [ "$(id -u)" -ne 0 ] && SUDO=(sudo)
  "${SUDO[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq valgrind >/dev/null
fi

if [ ! -f "$OUT/CMakeCache.txt" ]; then
  "$CMAKE" -S "$ROOT" -B "$OUT" "${GENERATOR[@]}" -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="-O1 -g" -DKORVO_BUILD_TESTS=ON -DKORVO_SANITIZE=OFF >/dev/null
fi
"$CMAKE" --build "$OUT" -j "$JOBS" --target korvo_core_tests

LOG="$OUT/memcheck.log"
echo "memcheck.sh: running korvo_core_tests under memcheck (report: ${LOG#"$ROOT"/})"
status=0
valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes --num-callers=30 \
  --log-file="$LOG" \
  "$OUT/korvo_core_tests" --gtest_filter="$FILTER" --gtest_brief=1 || status=$?

grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost' "$LOG" | sed 's/^==[0-9]*== /  /' || true
if [ "$status" -ne 0 ]; then
  echo "memcheck.sh: FAILED (exit $status); see ${LOG#"$ROOT"/}" >&2
fi
exit "$status"
