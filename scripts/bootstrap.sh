#!/usr/bin/env bash
# Sets up an interpreter for korvo_mesh and a project-local virtual environment on it:
#
#   scripts/bootstrap.sh [--python VERSION] [--no-project]
#   scripts/bootstrap.sh --list tested|headers|all    the versions of the table below
#   scripts/bootstrap.sh --list default               the one make test runs on (3.13)
#   scripts/bootstrap.sh --venvs                      VERSION=ENVIRONMENT for each of them
#   scripts/bootstrap.sh --probe VERSION              exit 0 when VERSION can be found as it is
#
# VERSION is one of the table below (default 3.13). For it this sets up
#   * the interpreter, with its headers: found if present, else installed (see below);
#   * for an interpreter on this machine, the system packages of the C++ build (g++,
#     GoogleTest, Boost, fmt);
#   * the environment (.venv for 3.13, .venv-VERSION for the others) with the pinned tools of
#     requirements-VERSION.txt where that file exists, else of requirements-dev.txt;
#   * and, unless --no-project is given, the module installed into it (make module-VERSION).
#
# The interpreter is found, or had, in this order:
#   1. $KORVO_PYTHON_<VERSION> (dots and the t as in KORVO_PYTHON_3_14, KORVO_PYTHON_3_13T;
#      KORVO_PYTHON and KORVO_PYTHON_FT also name 3.13 and 3.13t), which must be usable;
#   2. a pythonVERSION that runs, is that version, is free-threaded exactly when VERSION ends
#      in t, and has its headers, venv and ensurepip: on PATH, in pyenv's versions, /usr/local,
#      /usr, or the project's cache;
#   3. the distribution's pythonX.Y-dev and pythonX.Y-venv, when apt offers them here (not
#      for free-threaded builds, which Debian does not package);
#   4. what the table says: built once from a Debian suite's source package into the cache
#      (source:SUITE), or the binary packages of a Debian suite, installed into a Debian root
#      of that suite kept in the cache (root:SUITE, scripts/debian_root.sh). An environment
#      made in a root runs there: scripts/venv_run.sh enters it.
#   A version with no way left is "not available" (exit 3).
#
# Safe to run again: once done it finishes in a fraction of a second (a stamp in the
# environment records what it was made for). Rebuilding the module after source changes is
# the Makefile's job.
#
# Environment:
#   KORVO_PYTHON_<VERSION>     use this interpreter (fail if it is unusable)
#   KORVO_FORCE_SOURCE_BUILD=1 skip steps 1 to 3 (to exercise the source build)
#   KORVO_CACHE_DIR            cache root (default: ${XDG_CACHE_HOME:-~/.cache}/korvo-mesh)
set -euo pipefail

# shellcheck source=scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
ROOT="$KORVO_ROOT"

# Every interpreter the project knows, one line each: the next release is one more line.
#   version  tested:  the Python suite runs on it
#            headers: when no interpreter can be found, the facade is compiled against the
#                     headers of its base version (free-threaded) instead
#   how a missing one is had: source:SUITE, root:SUITE (see above), or - (found only)
INTERPRETERS='
3.13   tested   source:trixie
3.13t  tested   source:trixie
3.14   tested   root:sid
3.15   tested   root:sid
3.14t  headers  -
3.15t  headers  -
'
# The C++ build on this machine, and inside a root: the compiler (in a root also g++-12, the
# oldest that builds the module, for wheels that install on older systems) and the
# header-only libraries the core uses (Boost's open-addressing tables, fmt, fast_float). A root also gets
# the server the examples' tests start (on this machine the Makefile installs it).
SYSTEM_PACKAGES=(build-essential libgtest-dev libboost1.81-dev libfmt-dev libfast-float-dev)
ROOT_PACKAGES=(g++ g++-12 libboost-dev libfmt-dev libfast-float-dev redis-server)
CPY_BUILD_DEPS=(build-essential dpkg-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev
                liblzma-dev libsqlite3-dev libreadline-dev uuid-dev)

table() { awk 'NF >= 3 && $1 !~ /^#/' <<<"$INTERPRETERS"; }

VERSION="$KORVO_DEFAULT_PYTHON"
WITH_PROJECT=1
PROBE=0
while [ $# -gt 0 ]; do
  case "$1" in
    --python) VERSION="${2:?--python needs a version}"; shift ;;
    --no-project) WITH_PROJECT=0 ;;
    --probe) PROBE=1; VERSION="${2:?--probe needs a version}"; shift ;;
    --list)
      case "${2:-}" in
        tested|headers) table | awk -v k="$2" '$2 == k { print $1 }' ;;
        all) table | awk '{ print $1 }' ;;
        default) printf '%s\n' "$KORVO_DEFAULT_PYTHON" ;;
        *) die "--list takes tested, headers, all or default" ;;
      esac
      exit 0 ;;
    --venvs)
      table | while read -r v _; do printf '%s=%s\n' "$v" "$(korvo_venv "$v")"; done
      exit 0 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) log "unknown argument: $1"; exit 2 ;;
  esac
  shift
done

read -r _ KIND HOW <<<"$(table | awk -v v="$VERSION" '$1 == v')" || true
[ -n "${KIND:-}" ] || die "unknown interpreter version '$VERSION' (known: $(table | awk '{printf "%s ", $1}'))"
BASE="${VERSION%t}"            # 3.13 for 3.13t
FREE_THREADED=0
[ "$BASE" != "$VERSION" ] && FREE_THREADED=1
PY_NAME="python$VERSION"
VENV="$(korvo_venv "$VERSION")"
REQS="$ROOT/requirements-$VERSION.txt"
[ -f "$REQS" ] || REQS="$ROOT/requirements-dev.txt"
given_var="KORVO_PYTHON_$(tr '.t' '_T' <<<"$VERSION")"
PY_GIVEN="${!given_var:-}"
if [ -z "$PY_GIVEN" ]; then
  case "$VERSION" in
    "$KORVO_DEFAULT_PYTHON") PY_GIVEN="${KORVO_PYTHON:-}"; [ -n "$PY_GIVEN" ] && given_var=KORVO_PYTHON ;;
    "${KORVO_DEFAULT_PYTHON}t") PY_GIVEN="${KORVO_PYTHON_FT:-}"; [ -n "$PY_GIVEN" ] && given_var=KORVO_PYTHON_FT ;;
  esac
fi
CPY_PREFIX="$KORVO_CACHE/cpython-$VERSION"
# How a private build is configured (the test modules stay in: the suite fails allocations
# through _testcapi). A build in the cache made with other flags is made again.
CPY_CONFIGURE=(--with-ensurepip=install)
[ "$FREE_THREADED" = 1 ] && CPY_CONFIGURE+=(--disable-gil)
cache_current() { [ "$(cat "$CPY_PREFIX/.korvo-complete" 2>/dev/null)" = "${CPY_CONFIGURE[*]}" ]; }
STAMP="$VENV/.korvo-bootstrap"
RUN="$ROOT/scripts/venv_run.sh"

# ---------------------------------------------------------------------------
# Checks
# ---------------------------------------------------------------------------
# Succeeds when the interpreter ("$@", a command) is a usable CPython VERSION for building
# extensions: it runs, is that version, is free-threaded exactly when VERSION ends in t,
# has Python.h and can create virtual environments with pip.
python_usable() {
  "$@" - "$BASE" "$FREE_THREADED" <<'EOF' >/dev/null 2>&1
import os, sys, sysconfig
assert sys.implementation.name == "cpython" and "%d.%d" % sys.version_info[:2] == sys.argv[1]
assert bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == (sys.argv[2] == "1")
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
import venv, ensurepip  # noqa: F401
EOF
}

stamp_key() {
  {
    sha256sum "$REQS" | cut -d' ' -f1
    printf 'python=%s given=%s force=%s\n' "$1" "$PY_GIVEN" "${KORVO_FORCE_SOURCE_BUILD:-}"
    printf 'packages=%s / %s\n' "${SYSTEM_PACKAGES[*]}" "${ROOT_PACKAGES[*]}"
  } | sha256sum | cut -d' ' -f1
}

system_ready() {
  local p
  [ -f "$VENV/.korvo-root" ] && return 0
  command -v g++ >/dev/null 2>&1 && command -v make >/dev/null 2>&1 || return 1
  for p in "${SYSTEM_PACKAGES[@]}"; do pkg_installed "$p" || return 1; done
}

# ---------------------------------------------------------------------------
# Finding and having interpreters
# ---------------------------------------------------------------------------
find_python() {
  local cand pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  local -a cands=()
  cand="$(command -v "$PY_NAME" 2>/dev/null || true)"; [ -n "$cand" ] && cands+=("$cand")
  # Newest patch release first; python_usable tells the free-threaded builds (3.13.Nt) apart.
  while IFS= read -r cand; do [ -n "$cand" ] && cands+=("$cand"); done < <(
    for cand in "$pyenv_root"/versions/"$BASE"*/bin/"$PY_NAME" "$HOME"/.pyenv/versions/"$BASE"*/bin/"$PY_NAME"; do
      [ -e "$cand" ] && printf '%s\n' "$cand"
    done | sort -urV)
  cands+=("/usr/local/bin/$PY_NAME" "/usr/bin/$PY_NAME")
  cache_current && cands+=("$CPY_PREFIX/bin/$PY_NAME")
  for cand in "${cands[@]}"; do
    [ -x "$cand" ] || continue
    if python_usable "$cand"; then printf '%s\n' "$cand"; return 0; fi
  done
  return 1
}

build_cpython_from_source() {
  local suite="$1" done_marker="$CPY_PREFIX/.korvo-complete"
  local -a configure=("${CPY_CONFIGURE[@]}")
  # One builder at a time; one that waited finds the build made.
  mkdir -p "$KORVO_CACHE"
  exec 8>"$CPY_PREFIX.lock"
  flock 8
  if cache_current && python_usable "$CPY_PREFIX/bin/$PY_NAME"; then
    log "reusing CPython in $CPY_PREFIX"
    return 0
  fi
  rm -rf "$CPY_PREFIX"
  apt_install_missing "${CPY_BUILD_DEPS[@]}"

  local uri work keyring_opt=""
  uri="$(archive_uri)" || die "cannot find the Debian archive in the apt sources"
  work="$(mktemp -d "${TMPDIR:-/tmp}/korvo-cpython.XXXXXX")"
  chmod 0755 "$work"
  # shellcheck disable=SC2064
  trap "rm -rf '$work'" EXIT
  [ -f /usr/share/keyrings/debian-archive-keyring.gpg ] \
    && keyring_opt=" [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]"
  printf 'deb-src%s %s %s main\n' "$keyring_opt" "$uri" "$suite" >"$work/sources.list"
  mkdir -p "$work/lists/partial" "$work/src"
  local -a apt_opts=(
    -o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=-"
    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
    -o "APT::Sandbox::User=root")
  local package="python$BASE"
  log "fetching the $package source package of $suite"
  apt-get -qq "${apt_opts[@]}" update || die "apt-get update of the $suite sources failed"
  (cd "$work/src" && apt-get -qq "${apt_opts[@]}" source --download-only "$package" >/dev/null) \
    || die "apt-get source $package failed"
  local -a dscs=("$work"/src/"$package"_*.dsc)
  local dsc="${dscs[0]}"
  [ -f "$dsc" ] || die "apt-get source $package left no .dsc"
  # The upstream tree as released; the distribution's packaging patches are
  # about its own file layout, which a private prefix does not want.
  (cd "$work/src" && dpkg-source --skip-patches -x "$dsc" cpython >/dev/null 2>&1) \
    || die "dpkg-source -x $dsc failed"

  local logf="$CPY_PREFIX-build.log" t0=$SECONDS version
  mkdir -p "$KORVO_CACHE"
  version="$(basename "$dsc" .dsc | cut -d_ -f2)"
  log "building CPython ${version%%-*} ${configure[*]} into $CPY_PREFIX (a few minutes; log: $logf)"
  if ! (cd "$work/src/cpython" \
        && ./configure --prefix="$CPY_PREFIX" "${configure[@]}" \
        && make -j"$(nproc)" \
        && make install) >"$logf" 2>&1; then
    tail -n 40 "$logf" >&2
    rm -rf "$CPY_PREFIX"
    die "CPython build failed (full log: $logf)"
  fi
  "$CPY_PREFIX/bin/$PY_NAME" -c 'import ssl, sqlite3, zlib, ctypes, readline, bz2, lzma, uuid' \
    || die "the CPython build lacks standard modules (see $logf)"
  python_usable "$CPY_PREFIX/bin/$PY_NAME" || die "the CPython build is unusable (see $logf)"
  printf '%s\n' "${configure[*]}" >"$done_marker"
  rm -rf "$work"; trap - EXIT
  log "CPython built in $(( (SECONDS - t0) / 60 ))m$(( (SECONDS - t0) % 60 ))s"
}

# The interpreter of a Debian root; installs it there when missing.
python_in_root() {
  local suite="$1"
  "$ROOT/scripts/debian_root.sh" ensure "$suite" "python$BASE-dev" "python$BASE-venv" "${ROOT_PACKAGES[@]}"
  python_usable "$ROOT/scripts/debian_root.sh" run "$suite" -- "/usr/bin/$PY_NAME" \
    || die "the $suite root's $PY_NAME is not usable"
}

PYTHON=""      # the interpreter, as seen from where it runs
ROOT_SUITE=""  # the Debian root it runs in, if any
if [ -n "$PY_GIVEN" ]; then
  python_usable "$PY_GIVEN" \
    || die "$given_var=$PY_GIVEN is not a$([ "$FREE_THREADED" = 1 ] && echo ' free-threaded') CPython $BASE" \
           "with headers, venv and ensurepip"
  PYTHON="$PY_GIVEN"
elif [ "${KORVO_FORCE_SOURCE_BUILD:-0}" != 1 ]; then
  PYTHON="$(find_python || true)"
fi
if [ "$PROBE" = 1 ]; then
  [ -n "$PYTHON" ] && { printf '%s\n' "$PYTHON"; exit 0; }
  exit 3
fi

# Quick path: everything was set up before for the same requirements and interpreter.
if [ -f "$STAMP" ] && system_ready; then
  if [ -f "$VENV/.korvo-root" ]; then
    have="root:$(cat "$VENV/.korvo-root")"
  else
    have="${PYTHON:-none}"
  fi
  if [ "$(cat "$STAMP")" = "$(stamp_key "$have")" ] && "$RUN" "$VENV" python -c '' >/dev/null 2>&1; then
    if [ "$WITH_PROJECT" = 0 ] || "$RUN" "$VENV" python -c 'import korvo_mesh' >/dev/null 2>&1; then
      exit 0
    fi
  fi
fi

if [ -z "$PYTHON" ] && [ "${KORVO_FORCE_SOURCE_BUILD:-0}" != 1 ] && [ "$FREE_THREADED" = 0 ] \
   && command -v apt-get >/dev/null 2>&1; then
  apt_lists_ready
  if [ -n "$(apt_candidate "python$BASE-dev")" ]; then
    apt_install_missing "python$BASE-dev" "python$BASE-venv"
    python_usable "/usr/bin/$PY_NAME" && PYTHON="/usr/bin/$PY_NAME"
  fi
fi
if [ -z "$PYTHON" ]; then
  case "$HOW" in
    source:*) build_cpython_from_source "${HOW#source:}"; PYTHON="$CPY_PREFIX/bin/$PY_NAME" ;;
    root:*) ROOT_SUITE="${HOW#root:}"; python_in_root "$ROOT_SUITE"; PYTHON="/usr/bin/$PY_NAME" ;;
    *) log "CPython $VERSION is not available here (none found, and none can be installed)"; exit 3 ;;
  esac
fi
[ -z "$ROOT_SUITE" ] && apt_install_missing "${SYSTEM_PACKAGES[@]}"

# ---------------------------------------------------------------------------
# The virtual environment
# ---------------------------------------------------------------------------
# The command that runs the interpreter where it lives.
if [ -n "$ROOT_SUITE" ]; then
  in_place=("$ROOT/scripts/debian_root.sh" run "$ROOT_SUITE" --)
  log "using $PYTHON of the Debian $ROOT_SUITE root"
  have="root:$ROOT_SUITE"
else
  in_place=()
  log "using $PYTHON ($("$PYTHON" -c 'import sys; print(sys.version.split()[0])'))"
  have="$PYTHON"
fi
want_base="$("${in_place[@]}" "$PYTHON" -c 'import sys; print(sys.base_prefix)')"
have_base="$("$RUN" "$VENV" python -c 'import sys; print(sys.base_prefix)' 2>/dev/null || true)"
if [ "$have_base" != "$want_base" ] || [ "$([ -f "$VENV/.korvo-root" ] && cat "$VENV/.korvo-root")" != "$ROOT_SUITE" ]; then
  [ -e "$VENV" ] && log "recreating $(basename "$VENV") (was: ${have_base:-broken})"
  rm -rf "$VENV"
  "${in_place[@]}" "$PYTHON" -m venv "$VENV"
  [ -n "$ROOT_SUITE" ] && printf '%s\n' "$ROOT_SUITE" >"$VENV/.korvo-root"
fi
rm -f "$STAMP"
log "installing the pinned tools of $(basename "$REQS") into $(basename "$VENV")"
"$RUN" "$VENV" python -m pip install -q --disable-pip-version-check -r "$REQS"
stamp_key "$have" >"$STAMP"

if [ "$WITH_PROJECT" = 1 ]; then
  log "installing korvo_mesh into $(basename "$VENV")"
  make --no-print-directory -C "$ROOT" "module-$VERSION"
fi
log "ready: $VENV"
