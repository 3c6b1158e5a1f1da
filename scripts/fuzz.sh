#!/usr/bin/env bash
# Coverage-guided fuzzing of the text-facing components with libFuzzer + AddressSanitizer
# + UBSan: one harness per mesh/fuzz/<name>_fuzz.cpp.
#
#   scripts/fuzz.sh [SECONDS]     run every harness for SECONDS (default 60)
#
# The harnesses are CMake targets (the fuzz preset: KORVO_BUILD_FUZZERS=ON), built with
# clang into build-fuzz/ with the project's own warnings and -Werror. Each run lays fresh seeds
# from the case tables in tests/data/ (see the tables below), runs the harnesses one
# after another and prints, per harness, the executions and the corpus size. What a
# harness finds is kept in build-fuzz/corpus/<name>/ between runs. Exits non-zero when
# a harness finds a crash or a broken property; the input is kept in
# build-fuzz/artifacts/<name>/ and can be replayed with: build-fuzz/<name>_fuzz <input>
#
# Environment:
#   FUZZ_CXX      the clang++ to use (default: clang++-19, installed with its libFuzzer
#                 runtime through apt when missing)
#   FUZZ_TARGETS  space-separated subset of the harness names (default: all of them)
#   JOBS          parallel compile jobs (default: the number of processors)
set -euo pipefail

# shellcheck source=scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# --- what each harness is fed ------------------------------------------------------
# Seed sets: a name, then the files under tests/data/ it is made of. A .jsonl case
# table gives one seed per row (its "input" text); any other file is a seed as it is.
SEED_SETS='
json   json-reader.jsonl  jsontestsuite/*.json
plan   plan-decode.jsonl
'
# Harnesses that take something other than the default: name, seed set, dictionary
# under mesh/fuzz/ ("-" for none). Every harness not listed reads JSON text and gets
# the json seeds and json.dict.
HARNESSES='
plan    plan   json.dict
quote   json   -
scan    json   -
'
DEFAULT_SEEDS=json
DEFAULT_DICT=json.dict

# --- arguments ------------------------------------------------------------------------
SECONDS_EACH="${1:-60}"
if ! [[ "$SECONDS_EACH" =~ ^[0-9]+$ ]] || [ "$SECONDS_EACH" -lt 1 ]; then
  log "SECONDS must be a positive whole number, not '$SECONDS_EACH'"
  exit 2
fi
OUT="$KORVO_ROOT/build-fuzz"
FUZZ="$KORVO_ROOT/mesh/fuzz"
DATA="$KORVO_ROOT/tests/data"
JOBS="${JOBS:-$(nproc 2>/dev/null || echo 2)}"

all=()
for src in "$FUZZ"/*_fuzz.cpp; do
  [ -f "$src" ] && all+=("$(basename "$src" _fuzz.cpp)")
done
[ ${#all[@]} -gt 0 ] || die "no harness in ${FUZZ#"$KORVO_ROOT"/}/ (*_fuzz.cpp)"
if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a TARGETS <<<"$FUZZ_TARGETS"
  for t in "${TARGETS[@]}"; do
    [[ " ${all[*]} " == *" $t "* ]] || die "FUZZ_TARGETS: no harness '$t' (there are: ${all[*]})"
  done
else
  TARGETS=("${all[@]}")
fi

# Seed set and dictionary of harness $1, as "SET DICT".
harness_inputs() {
  local name seeds dict
  while read -r name seeds dict; do
    [ "$name" = "$1" ] && { printf '%s %s\n' "$seeds" "$dict"; return; }
  done <<<"$HARNESSES"
  printf '%s %s\n' "$DEFAULT_SEEDS" "$DEFAULT_DICT"
}

# --- toolchain ------------------------------------------------------------------------
# The components need std::expected, which libstdc++ 12 offers only to compilers that
# report C++20 concepts in full: clang 19 does, Debian's default clang 14 and clang 16 do
# not. The libFuzzer runtime comes with libclang-rt-19-dev.
if [ -n "${FUZZ_CXX:-}" ]; then
  CXX="$FUZZ_CXX"
else
  apt_install_missing clang-19 libclang-rt-19-dev
  CXX=clang++-19
fi
CXX="$(command -v "$CXX")" || die "no compiler '${FUZZ_CXX:-clang++-19}'"

# --- build ----------------------------------------------------------------------------
# The fuzz preset (CMakePresets.json); its cmake and ninja are .venv's.
CMAKE="$(project_cmake)"
PATH="$KORVO_VENV/bin:$PATH"
cache="$OUT/CMakeCache.txt"
if [ -f "$cache" ] && [ "$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")" != "$CXX" ]; then
  log "compiler changed to $CXX: configuring build-fuzz/ anew"
  rm -rf "$cache" "$OUT/CMakeFiles"
fi
cd "$KORVO_ROOT"
[ -f "$cache" ] || "$CMAKE" --preset fuzz -DCMAKE_CXX_COMPILER="$CXX" >/dev/null
log "building with $("$CXX" --version | head -1)"
"$CMAKE" --build --preset fuzz -j "$JOBS" --target seed_split "${TARGETS[@]/%/_fuzz}"

# --- seeds ----------------------------------------------------------------------------
# Laid fresh each run, only the sets the chosen harnesses use.
rm -rf "$OUT/seeds"
declare -A wanted=()
for t in "${TARGETS[@]}"; do
  read -r seeds _ <<<"$(harness_inputs "$t")"
  wanted[$seeds]=1
done
while read -r seeds patterns; do
  if [ -z "$seeds" ] || [ -z "${wanted[$seeds]:-}" ]; then continue; fi
  dir="$OUT/seeds/$seeds"
  mkdir -p "$dir"
  read -r -a patterns <<<"$patterns"
  for pattern in "${patterns[@]}"; do
    matched=0
    for f in "$DATA"/$pattern; do
      [ -f "$f" ] || continue
      matched=1
      case "$f" in
        *.jsonl) "$OUT/seed_split" "$dir" "$f" >/dev/null ;;
        *) cp "$f" "$dir/" ;;
      esac
    done
    [ "$matched" = 1 ] || die "seed set $seeds: nothing matches tests/data/$pattern"
  done
  [ -n "$(ls -A "$dir")" ] || die "seed set $seeds is empty"
  unset "wanted[$seeds]"
done <<<"$SEED_SETS"
[ ${#wanted[@]} -eq 0 ] || die "no seed set named: ${!wanted[*]}"

# --- run ------------------------------------------------------------------------------
width=0
for t in "${TARGETS[@]}"; do [ ${#t} -gt "$width" ] && width=${#t}; done
status=0
summary=()
for t in "${TARGETS[@]}"; do
  read -r seeds dict <<<"$(harness_inputs "$t")"
  corpus="$OUT/corpus/$t"
  artifacts="$OUT/artifacts/$t"
  logf="$OUT/$t.log"
  mkdir -p "$corpus" "$artifacts"
  dict_opt=()
  if [ "$dict" != - ]; then
    [ -f "$FUZZ/$dict" ] || die "harness $t: no dictionary mesh/fuzz/$dict"
    dict_opt=(-dict="$FUZZ/$dict")
  fi
  log "$t for ${SECONDS_EACH}s, seeds: $seeds, dictionary: $dict (log: ${logf#"$KORVO_ROOT"/})"
  rc=0
  ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=1:abort_on_error=1" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-}:print_stacktrace=1:halt_on_error=1" \
    "$OUT/${t}_fuzz" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 "${dict_opt[@]}" -artifact_prefix="$artifacts/" \
      "$corpus" "$OUT/seeds/$seeds" >"$logf" 2>&1 || rc=$?
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$logf" | tail -1)"
  corp="$(grep -oE 'corp: [0-9]+/[0-9]+[a-zA-Z]*' "$logf" | tail -1 | sed 's/corp: //' || true)"
  cov="$(grep -oE 'cov: [0-9]+' "$logf" | tail -1 | sed 's/cov: //' || true)"
  if [ "$rc" -ne 0 ]; then
    status=1
    # shellcheck disable=SC2012  # names are ours: <prefix>crash-<sha1> and the like
    found="$(ls -t "$artifacts" 2>/dev/null | head -1)"
    log "$t FAILED (exit $rc); input: ${found:+$artifacts/$found}"
    grep -E 'property violated|ERROR: |runtime error|SUMMARY' "$logf" | head -5 >&2 || true
    summary+=("$(printf "%-${width}s  FAILED   executions %-10s corpus %s" "$t" "${execs:-?}" "${corp:-?}")")
  else
    summary+=("$(printf "%-${width}s  ok       executions %-10s corpus %-14s coverage %s" \
      "$t" "${execs:-?}" "${corp:-?}" "${cov:-?}")")
  fi
done

echo "fuzz.sh: ${SECONDS_EACH}s per harness"
printf '  %s\n' "${summary[@]}"
exit "$status"
