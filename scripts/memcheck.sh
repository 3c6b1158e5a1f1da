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

# shellcheck source=scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
ROOT="$KORVO_ROOT"
OUT="$ROOT/build-memcheck"
FILTER="${1:-*}"
JOBS="${JOBS:-2}"

CMAKE="$(project_cmake)"
GENERATOR=()
if [ -x "$KORVO_VENV/bin/ninja" ] || command -v ninja >/dev/null 2>&1; then
  GENERATOR=(-G Ninja)
  PATH="$KORVO_VENV/bin:$PATH"
fi

apt_install_missing valgrind

if [ ! -f "$OUT/CMakeCache.txt" ]; then
  "$CMAKE" -S "$ROOT" -B "$OUT" "${GENERATOR[@]}" -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="-O1 -g" -DKORVO_BUILD_TESTS=ON -DKORVO_SANITIZE=OFF >/dev/null
fi
"$CMAKE" --build "$OUT" -j "$JOBS" --target korvo_core_tests

LOG="$OUT/memcheck.log"
log "running korvo_core_tests under memcheck (report: ${LOG#"$ROOT"/})"
status=0
valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes --num-callers=30 \
  --log-file="$LOG" \
  "$OUT/korvo_core_tests" --gtest_filter="$FILTER" --gtest_brief=1 || status=$?

grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost' "$LOG" | sed 's/^==[0-9]*== /  /' || true
if [ "$status" -ne 0 ]; then
  log "FAILED (exit $status); see ${LOG#"$ROOT"/}"
fi
exit "$status"
