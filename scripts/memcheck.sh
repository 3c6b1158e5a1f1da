#!/usr/bin/env bash
# Runs the C++ unit tests under valgrind's memcheck: invalid reads and writes, use of
# uninitialised values, mismatched frees and leaks all fail the run.
#
#   scripts/memcheck.sh [GTEST_FILTER]
#
# Builds the tests without sanitizers (-O1 -g; preset memcheck) into build-memcheck/, installing
# valgrind through apt when it is missing. Exits non-zero when a test fails or
# memcheck reports an error; the full report is in build-memcheck/memcheck.log.
set -euo pipefail

# shellcheck source=scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
ROOT="$KORVO_ROOT"
OUT="$ROOT/build-memcheck"
FILTER="${1:-*}"
JOBS="${JOBS:-2}"

# The memcheck preset (CMakePresets.json): no sanitizers, -O1 -g. Its cmake and ninja are .venv's.
CMAKE="$(project_cmake)"
PATH="$KORVO_VENV/bin:$PATH"

apt_install_missing valgrind

cd "$ROOT"
[ -f "$OUT/CMakeCache.txt" ] || "$CMAKE" --preset memcheck >/dev/null
"$CMAKE" --build --preset memcheck -j "$JOBS"

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
