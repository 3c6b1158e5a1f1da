#!/usr/bin/env bash
# Coverage-guided fuzzing of the text-facing components (JSON reader and writer,
# plan decoding, the quoted text form) with libFuzzer + AddressSanitizer + UBSan.
#
#   scripts/fuzz.sh [SECONDS]     run every harness for SECONDS (default 60)
#
# Builds into build-fuzz/ (components compiled once, recompiled when a source or
# header changes), seeds build-fuzz/corpus/<harness>/ from the case tables in
# tests/data/, runs the harnesses one after another and prints, per harness, the
# executions and the corpus size. Exits non-zero when a harness finds a crash or a
# broken property; the input is kept in build-fuzz/artifacts/<harness>/ and can be
# replayed with: build-fuzz/<harness>_fuzz <artifact>
#
# Environment:
#   FUZZ_CXX      the clang++ to use (default: clang++-19, installed with its
#                 libFuzzer runtime through apt when missing)
#   FUZZ_TARGETS  space-separated subset of: json plan quote
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_EACH="${1:-60}"
OUT="$ROOT/build-fuzz"
SRC="$ROOT/mesh/src"
FUZZ="$ROOT/mesh/fuzz"
DATA="$ROOT/tests/data"
TARGETS=(${FUZZ_TARGETS:-json plan quote})
CLANG_VERSION=19
CXX="${FUZZ_CXX:-clang++-$CLANG_VERSION}"

if ! [[ "$SECONDS_EACH" =~ ^[0-9]+$ ]] || [ "$SECONDS_EACH" -lt 1 ]; then
  echo "fuzz.sh: SECONDS must be a positive whole number, not '$SECONDS_EACH'" >&2
  exit 2
fi

# --- toolchain -----------------------------------------------------------------
# The components need std::expected, which libstdc++ 12 only offers to compilers
# that report C++20 concepts in full (clang 19 does; Debian's default clang 14 and
# clang 16 do not). The libFuzzer runtime comes with libclang-rt-19-dev.
fuzzer_runtime_present() {
  local rt
  rt="$("$CXX" -print-resource-dir 2>/dev/null)/lib/linux/libclang_rt.fuzzer-x86_64.a"
  [ -f "$rt" ] || [ -f "$("$CXX" -print-resource-dir 2>/dev/null)/lib/x86_64-pc-linux-gnu/libclang_rt.fuzzer.a" ]
}
if ! command -v "$CXX" >/dev/null 2>&1 || ! fuzzer_runtime_present; then
  if [ -n "${FUZZ_CXX:-}" ]; then
    echo "fuzz.sh: $CXX is missing or has no libFuzzer runtime" >&2
    exit 1
  fi
  echo "fuzz.sh: installing clang-$CLANG_VERSION and its libFuzzer runtime"
  SUDO=()
  [ "$(id -u)" -ne 0 ] && SUDO=(sudo)
  "${SUDO[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq \
    "clang-$CLANG_VERSION" "libclang-rt-$CLANG_VERSION-dev" >/dev/null
fi

# --- build ----------------------------------------------------------------------
SAN=(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
CXXFLAGS=(-std=c++2b -O1 -g -Wall -Wextra -Wno-deprecated-declarations -I"$SRC" "${SAN[@]}")
mkdir -p "$OUT/obj"

# Newest modification time among the headers every object may depend on.
headers_mtime="$(stat -c %Y "$SRC"/*.h "$FUZZ"/*.h | sort -n | tail -1)"
newer_than() {  # newer_than OUTPUT INPUT...: true when OUTPUT exists and is newer than all
  local out="$1"; shift
  [ -f "$out" ] || return 1
  local t; t="$(stat -c %Y "$out")"
  [ "$t" -ge "$headers_mtime" ] || return 1
  for f in "$@"; do
    [[ "$f" == -* ]] && continue  # a flag, not an input
    [ "$t" -ge "$(stat -c %Y "$f")" ] || return 1
  done
}

compile() {  # compile SOURCE OBJECT EXTRA_FLAGS...
  local src="$1" obj="$2"; shift 2
  newer_than "$obj" "$src" && return 0
  "$CXX" "${CXXFLAGS[@]}" "$@" -c "$src" -o "$obj"
}
export -f compile newer_than
export CXX headers_mtime
export CXXFLAGS_STR="${CXXFLAGS[*]}"

component_objs=()
jobs_list=()
for src in "$SRC"/*.cpp; do
  name="$(basename "$src" .cpp)"
  [ "$name" = facade ] && continue   # the interpreter binding is not fuzzed here
  component_objs+=("$OUT/obj/$name.o")
  jobs_list+=("$src $OUT/obj/$name.o -fsanitize=fuzzer-no-link")
done
for t in "${TARGETS[@]}"; do
  jobs_list+=("$FUZZ/${t}_fuzz.cpp $OUT/obj/${t}_fuzz.o -fsanitize=fuzzer-no-link")
done
jobs_list+=("$FUZZ/seed_split.cpp $OUT/obj/seed_split.o")

echo "fuzz.sh: compiling with $("$CXX" --version | head -1)"
printf '%s\n' "${jobs_list[@]}" | xargs -P 2 -L 1 bash -c '
  read -r -a CXXFLAGS <<<"$CXXFLAGS_STR"; compile "$@"' _

link() {  # link OUTPUT OBJECT... (relinks when any object is newer)
  local out="$1"; shift
  newer_than "$out" "$@" && return 0
  "$CXX" "${SAN[@]}" "$@" -o "$out"
}
for t in "${TARGETS[@]}"; do
  link "$OUT/${t}_fuzz" -fsanitize=fuzzer "$OUT/obj/${t}_fuzz.o" "${component_objs[@]}"
done
link "$OUT/seed_split" "$OUT/obj/seed_split.o" "${component_objs[@]}"

# --- seeds ----------------------------------------------------------------------
# Seeds are laid fresh each run; what the fuzzer finds goes to corpus/<harness>/ and
# is kept between runs.
rm -rf "$OUT/seeds"
mkdir -p "$OUT/seeds/json" "$OUT/seeds/plan" "$OUT/seeds/quote"
"$OUT/seed_split" "$OUT/seeds/json" "$DATA/json-reader.jsonl" >/dev/null
cp "$DATA"/jsontestsuite/*.json "$OUT/seeds/json/"
"$OUT/seed_split" "$OUT/seeds/plan" "$DATA/plan-decode.jsonl" >/dev/null
cp "$OUT/seeds/json/"* "$OUT/seeds/quote/"

# --- run ------------------------------------------------------------------------
status=0
summary=()
for t in "${TARGETS[@]}"; do
  corpus="$OUT/corpus/$t"
  artifacts="$OUT/artifacts/$t"
  log="$OUT/$t.log"
  mkdir -p "$corpus" "$artifacts"
  dict=()
  [ "$t" != quote ] && dict=(-dict="$FUZZ/json.dict")
  echo "fuzz.sh: $t for ${SECONDS_EACH}s (log: ${log#"$ROOT"/})"
  rc=0
  ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=1:abort_on_error=1" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-}:print_stacktrace=1:halt_on_error=1" \
    "$OUT/${t}_fuzz" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 "${dict[@]}" -artifact_prefix="$artifacts/" \
      "$corpus" "$OUT/seeds/$t" >"$log" 2>&1 || rc=$?
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  corp="$(grep -oE 'corp: [0-9]+/[0-9]+[a-zA-Z]*' "$log" | tail -1 | sed 's/corp: //')"
  cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | sed 's/cov: //')"
  if [ "$rc" -ne 0 ]; then
    status=1
    found="$(ls -t "$artifacts" 2>/dev/null | head -1)"
    echo "fuzz.sh: $t FAILED (exit $rc); input: ${found:+$artifacts/$found}" >&2
    grep -E 'property violated|ERROR: |runtime error|SUMMARY' "$log" | head -5 >&2 || true
    summary+=("$(printf '%-6s FAILED   executions %-10s corpus %s' "$t" "${execs:-?}" "${corp:-?}")")
  else
    summary+=("$(printf '%-6s ok       executions %-10s corpus %-14s coverage %s' \
      "$t" "${execs:-?}" "${corp:-?}" "${cov:-?}")")
  fi
done

echo "fuzz.sh: ${SECONDS_EACH}s per harness"
printf '  %s\n' "${summary[@]}"
exit "$status"
