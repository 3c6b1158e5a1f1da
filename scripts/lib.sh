# shellcheck shell=bash
# Sourced by the scripts in this folder: the project root, logging, and the one way
# they install missing system packages.
#
#   . "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
#
# Provides:
#   KORVO_ROOT, KORVO_VENV      the repository root and its virtual environment
#   KORVO_VENV_FT               the environment of the free-threaded interpreter (3.13t)
#   log MESSAGE... / die MESSAGE...
#                               a line on stderr prefixed with the script's name; die
#                               exits 1
#   pkg_installed PACKAGE       true when dpkg has PACKAGE installed
#   apt_install_missing PKG...  installs those of the packages that are not installed;
#                               runs `apt-get update` once per script, and only when
#                               something is to be installed; as root, else through
#                               `sudo -n`; never asks a question
#   apt_update_once             `apt-get update` unless this script already did
#   apt_lists_ready             `apt_update_once` when the machine has no package lists
#   apt_candidate PACKAGE       prints the version apt would install, if any
#   project_cmake               prints the cmake to use (.venv's, else the one on PATH)

KORVO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KORVO_VENV="$KORVO_ROOT/.venv"
# shellcheck disable=SC2034  # read by the scripts that source this file
KORVO_VENV_FT="$KORVO_ROOT/.venv-ft"
KORVO_SCRIPT="$(basename "${BASH_SOURCE[1]:-$0}")"

log() { printf '%s: %s\n' "$KORVO_SCRIPT" "$*" >&2; }
die() { printf '%s: error: %s\n' "$KORVO_SCRIPT" "$*" >&2; exit 1; }

pkg_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true)" = installed ]
}

# True when apt-get can run as root: we are root, or sudo works without a password
# (a prompt would hang CI and `make` alike).
_apt_as_root_ok() {
  [ "$(id -u)" = 0 ] || { command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; }
}

_apt_get() {
  local -a as_root=()
  [ "$(id -u)" = 0 ] || as_root=(sudo -n)
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=300 "$@" </dev/null
}

_KORVO_APT_UPDATED=0
apt_update_once() {
  [ "$_KORVO_APT_UPDATED" = 1 ] && return 0
  _apt_as_root_ok || die "cannot run apt-get update: not root, and sudo -n is not allowed"
  log "apt-get update"
  _apt_get -qq update >/dev/null || die "apt-get update failed"
  _KORVO_APT_UPDATED=1
}

apt_install_missing() {
  local -a missing=()
  local p
  for p in "$@"; do pkg_installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  command -v apt-get >/dev/null 2>&1 \
    || die "missing system packages: ${missing[*]} (no apt-get here: install them yourself)"
  _apt_as_root_ok || die "missing system packages: ${missing[*]}; not root, and sudo -n is not" \
    "allowed: run 'apt-get install ${missing[*]}' as root, then run this again"
  apt_update_once
  log "apt-get install ${missing[*]}"
  _apt_get -qq install -y --no-install-recommends "${missing[@]}" >/dev/null \
    || die "could not install: ${missing[*]}"
}

apt_lists_ready() {
  compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null || apt_update_once
}

apt_candidate() {
  apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { if ($2 != "(none)") print $2; exit }'
}

project_cmake() {
  if [ -x "$KORVO_VENV/bin/cmake" ]; then
    printf '%s\n' "$KORVO_VENV/bin/cmake"
  elif command -v cmake >/dev/null 2>&1; then
    command -v cmake
  else
    die "no cmake: run 'make bootstrap' first"
  fi
}
