#!/usr/bin/env bash
# Sets up everything korvo_mesh needs to build and test on a Debian machine:
#   * a CPython 3.13 interpreter with its headers (not free-threaded),
#   * the system packages for the C++ build (g++, GoogleTest),
#   * a project-local virtual environment .venv with the pinned dev tools
#     (requirements-dev.txt: pytest, hypothesis, scikit-build-core, cmake, ninja),
#   * and, unless --no-project is given, the module itself installed into .venv.
#
# With --free-threaded it does the same for the free-threaded interpreter
# (python3.13t, built with --disable-gil): the environment is .venv-ft, its
# tools are pinned in requirements-ft.txt, and the private build goes to
# ~/.cache/korvo-mesh/cpython-3.13t.
#
# The interpreter is found in this order:
#   1. $KORVO_PYTHON ($KORVO_PYTHON_FT), or a python3.13 (python3.13t) that
#      runs and has its headers (PATH, pyenv versions, /usr/local, /usr, the
#      private build below);
#   2. the distribution's python3.13-dev / python3.13-venv packages, when apt
#      has a candidate for them (not for the free-threaded interpreter);
#   3. a private build from the python3.13 source package of the next Debian
#      suite, installed under ~/.cache/korvo-mesh/cpython-3.13 (cpython-3.13t)
#      and reused later.
#
# Safe to run again: once done it finishes in a fraction of a second (a stamp
# in the environment records the requirements it was built for). Rebuilding
# the module after source changes is the Makefile's job.
#
# Environment:
#   KORVO_PYTHON               use this interpreter (fail if it is unusable)
#   KORVO_PYTHON_FT            the same for --free-threaded
#   KORVO_FORCE_SOURCE_BUILD=1 skip steps 1 and 2 (to exercise the source build)
#   KORVO_CACHE_DIR            cache root (default: ${XDG_CACHE_HOME:-~/.cache}/korvo-mesh)
set -euo pipefail

# shellcheck source=scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
ROOT="$KORVO_ROOT"
CACHE_ROOT="${KORVO_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/korvo-mesh}"
CPY_SUITE="trixie"
# The C++ build: the compiler, GoogleTest, and the header-only libraries the core uses
# (Boost 1.81 for its open-addressing tables, fmt for shortest float digits).
SYSTEM_PACKAGES=(build-essential libgtest-dev libboost1.81-dev libfmt-dev)
CPY_BUILD_DEPS=(build-essential dpkg-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev
                liblzma-dev libsqlite3-dev libreadline-dev uuid-dev)

WITH_PROJECT=1
FREE_THREADED=0
for arg in "$@"; do
  case "$arg" in
    --no-project) WITH_PROJECT=0 ;;
    --free-threaded) FREE_THREADED=1 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) log "unknown argument: $arg"; exit 2 ;;
  esac
done

# The two interpreters differ in name, environment, pins, cache folder and one
# configure flag; everything else below is shared.
if [ "$FREE_THREADED" = 1 ]; then
  VENV="$KORVO_VENV_FT"
  REQS="$ROOT/requirements-ft.txt"
  PY_NAME=python3.13t
  PY_GIVEN="${KORVO_PYTHON_FT:-}"
  PY_GIVEN_VAR=KORVO_PYTHON_FT
  CPY_PREFIX="$CACHE_ROOT/cpython-3.13t"
  CPY_CONFIGURE=(--disable-gil)
  MODULE_TARGET=module-ft
else
  VENV="$KORVO_VENV"
  REQS="$ROOT/requirements-dev.txt"
  PY_NAME=python3.13
  PY_GIVEN="${KORVO_PYTHON:-}"
  PY_GIVEN_VAR=KORVO_PYTHON
  CPY_PREFIX="$CACHE_ROOT/cpython-3.13"
  CPY_CONFIGURE=()
  MODULE_TARGET=module
fi
STAMP="$VENV/.korvo-bootstrap"

# ---------------------------------------------------------------------------
# Quick path: everything was set up before for the same requirements.
# ---------------------------------------------------------------------------
stamp_key() {
  {
    sha256sum "$REQS" | cut -d' ' -f1
    printf 'python=%s force=%s\n' "$PY_GIVEN" "${KORVO_FORCE_SOURCE_BUILD:-}"
  } | sha256sum | cut -d' ' -f1
}

system_ready() {
  local p
  command -v g++ >/dev/null 2>&1 && command -v make >/dev/null 2>&1 || return 1
  for p in "${SYSTEM_PACKAGES[@]}"; do pkg_installed "$p" || return 1; done
}

module_importable() {
  "$VENV/bin/python" -c 'import korvo_mesh' >/dev/null 2>&1
}

[ -f "$REQS" ] || die "missing $REQS"

if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$(stamp_key)" ] \
   && "$VENV/bin/python" -c '' >/dev/null 2>&1 && system_ready; then
  if [ "$WITH_PROJECT" = 0 ] || module_importable; then
    exit 0
  fi
fi

# ---------------------------------------------------------------------------
# System packages
# ---------------------------------------------------------------------------
apt_install_missing "${SYSTEM_PACKAGES[@]}"

# ---------------------------------------------------------------------------
# The interpreter
# ---------------------------------------------------------------------------
# Prints nothing and succeeds when $1 is a usable CPython 3.13 for building
# extensions: it runs, is 3.13, is free-threaded exactly when --free-threaded
# was given, has Python.h and can create virtual environments with pip.
python_usable() {
  "$1" - "$FREE_THREADED" <<'EOF' >/dev/null 2>&1
import os, sys, sysconfig
assert sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 13)
assert bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == (sys.argv[1] == "1")
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
import venv, ensurepip  # noqa: F401
EOF
}

find_python() {
  local cand
  local -a cands=()
  cand="$(command -v "$PY_NAME" 2>/dev/null || true)"; [ -n "$cand" ] && cands+=("$cand")
  local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  # Newest 3.13.x first; python_usable tells the free-threaded builds (3.13.Nt) apart.
  while IFS= read -r cand; do [ -n "$cand" ] && cands+=("$cand"); done < <(
    for cand in "$pyenv_root"/versions/3.13*/bin/"$PY_NAME" "$HOME"/.pyenv/versions/3.13*/bin/"$PY_NAME"; do
      [ -e "$cand" ] && printf '%s\n' "$cand"
    done | sort -urV)
  cands+=("/usr/local/bin/$PY_NAME" "/usr/bin/$PY_NAME" "$CPY_PREFIX/bin/$PY_NAME")
  for cand in "${cands[@]}"; do
    [ -x "$cand" ] || continue
    if python_usable "$cand"; then printf '%s\n' "$cand"; return 0; fi
  done
  return 1
}

# Prints the archive URI of the machine's own Debian sources: the URIs: field of
# debian.sources (the stanza for this release), else the first matching deb line
# of sources.list.
archive_uri() {
  local codename uri=""
  codename="$(. /etc/os-release 2>/dev/null; printf '%s' "${VERSION_CODENAME:-}")"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri="$(awk -v want="$codename" '
      function flush() { if (uris != "" && (first == "" )) first = uris
                         if (uris != "" && hit && pick == "") pick = uris
                         uris = ""; hit = 0 }
      /^[[:space:]]*$/ { flush(); next }
      /^URIs:/ { uris = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == want) hit = 1 }
      END { flush(); print (pick != "" ? pick : first) }' /etc/apt/sources.list.d/debian.sources)"
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri="$(awk -v want="$codename" '
      $1 == "deb" {
        for (i = 2; i <= NF; i++) if ($i ~ /^[a-z+]+:\/\//) { u = $i; s = $(i + 1); break }
        if (first == "") first = u
        if (s == want && pick == "") pick = u
      }
      END { print (pick != "" ? pick : first) }' /etc/apt/sources.list)"
  fi
  [ -n "$uri" ] || return 1
  printf '%s\n' "${uri%/}"
}

build_cpython_from_source() {
  local done_marker="$CPY_PREFIX/.korvo-complete"
  if [ -f "$done_marker" ] && python_usable "$CPY_PREFIX/bin/$PY_NAME"; then
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
  printf 'deb-src%s %s %s main\n' "$keyring_opt" "$uri" "$CPY_SUITE" >"$work/sources.list"
  mkdir -p "$work/lists/partial" "$work/src"
  local -a apt_opts=(
    -o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=-"
    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
    -o "APT::Sandbox::User=root")
  log "fetching the python3.13 source package of $CPY_SUITE"
  apt-get -qq "${apt_opts[@]}" update || die "apt-get update of the $CPY_SUITE sources failed"
  (cd "$work/src" && apt-get -qq "${apt_opts[@]}" source --download-only python3.13 >/dev/null) \
    || die "apt-get source python3.13 failed"
  local -a dscs=("$work"/src/python3.13_*.dsc)
  local dsc="${dscs[0]}"
  [ -f "$dsc" ] || die "apt-get source python3.13 left no .dsc"
  # The upstream tree as released; the distribution's packaging patches are
  # about its own file layout, which a private prefix does not want.
  (cd "$work/src" && dpkg-source --skip-patches -x "$dsc" cpython >/dev/null 2>&1) \
    || die "dpkg-source -x $dsc failed"

  local logf="$CPY_PREFIX-build.log" t0=$SECONDS
  mkdir -p "$CACHE_ROOT"
  local version
  version="$(basename "$dsc" .dsc | cut -d_ -f2)"
  log "building CPython ${version%%-*} ${CPY_CONFIGURE[*]} into $CPY_PREFIX (a few minutes; log: $logf)"
  if ! (cd "$work/src/cpython" \
        && ./configure --prefix="$CPY_PREFIX" --with-ensurepip=install --disable-test-modules \
             "${CPY_CONFIGURE[@]}" \
        && make -j"$(nproc)" \
        && make install) >"$logf" 2>&1; then
    tail -n 40 "$logf" >&2
    rm -rf "$CPY_PREFIX"
    die "CPython build failed (full log: $logf)"
  fi
  "$CPY_PREFIX/bin/$PY_NAME" -c 'import ssl, sqlite3, zlib, ctypes, readline, bz2, lzma, uuid' \
    || die "the CPython build lacks standard modules (see $logf)"
  python_usable "$CPY_PREFIX/bin/$PY_NAME" || die "the CPython build is unusable (see $logf)"
  touch "$done_marker"
  rm -rf "$work"; trap - EXIT
  log "CPython built in $(( (SECONDS - t0) / 60 ))m$(( (SECONDS - t0) % 60 ))s"
}

PYTHON=""
if [ -n "$PY_GIVEN" ]; then
  python_usable "$PY_GIVEN" \
    || die "$PY_GIVEN_VAR=$PY_GIVEN is not a$([ "$FREE_THREADED" = 1 ] && echo ' free-threaded') CPython 3.13" \
           "with headers, venv and ensurepip"
  PYTHON="$PY_GIVEN"
elif [ "${KORVO_FORCE_SOURCE_BUILD:-0}" != 1 ]; then
  PYTHON="$(find_python || true)"
  # Debian 12 packages no free-threaded interpreter; the private build below provides one.
  if [ -z "$PYTHON" ] && [ "$FREE_THREADED" = 0 ]; then
    apt_lists_ready
    if [ -n "$(apt_candidate python3.13-dev)" ]; then
      apt_install_missing python3.13-dev python3.13-venv
      python_usable /usr/bin/python3.13 && PYTHON=/usr/bin/python3.13
    fi
  fi
fi
if [ -z "$PYTHON" ]; then
  build_cpython_from_source
  PYTHON="$CPY_PREFIX/bin/$PY_NAME"
fi
log "using $PYTHON ($("$PYTHON" -c 'import sys; print(sys.version.split()[0])'))"

# ---------------------------------------------------------------------------
# The virtual environment
# ---------------------------------------------------------------------------
want_base="$("$PYTHON" -c 'import sys; print(sys.base_prefix)')"
have_base="$("$VENV/bin/python" -c 'import sys; print(sys.base_prefix)' 2>/dev/null || true)"
if [ "$have_base" != "$want_base" ]; then
  [ -e "$VENV" ] && log "recreating $(basename "$VENV") (was: ${have_base:-broken})"
  rm -rf "$VENV"
  "$PYTHON" -m venv "$VENV"
fi
rm -f "$STAMP"
log "installing the pinned dev requirements"
"$VENV/bin/python" -m pip install -q --disable-pip-version-check -r "$REQS"
stamp_key >"$STAMP"

if [ "$WITH_PROJECT" = 1 ]; then
  log "installing korvo_mesh into $(basename "$VENV")"
  make --no-print-directory -C "$ROOT" "$MODULE_TARGET"
fi
log "ready: $VENV"
