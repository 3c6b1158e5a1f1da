# shellcheck shell=bash
# Sourced by the scripts in this folder: the project root, logging, and the one way
# they install missing system packages.
#
#   . "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
#
# Provides:
#   KORVO_ROOT, KORVO_VENV      the repository root and the default interpreter's environment
#   KORVO_CACHE                 the project's cache folder (interpreters built or rooted here)
#   korvo_venv VERSION          prints the environment of an interpreter (3.13, 3.13t, 3.14, ...):
#                               .venv for the default one, .venv-VERSION for the others
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
#   archive_uri                 prints the Debian archive the machine's own apt sources name
#   project_cmake               prints the cmake to use (.venv's, else the one on PATH)

KORVO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The interpreter `make test` runs on; every other one is named by its version.
KORVO_DEFAULT_PYTHON=3.13
KORVO_VENV="$KORVO_ROOT/.venv"
KORVO_CACHE="${KORVO_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/korvo-mesh}"

korvo_venv() {
  if [ "$1" = "$KORVO_DEFAULT_PYTHON" ]; then
    printf '%s\n' "$KORVO_VENV"
  else
    printf '%s/.venv-%s\n' "$KORVO_ROOT" "$1"
  fi
}
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

# The archive URI of the machine's own Debian sources: the URIs: field of debian.sources (the
# stanza for this release), else the first matching deb line of sources.list.
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

# The cmake to configure with: .venv's (pinned, new enough for the presets), else the one on PATH.
project_cmake() {
  if [ -x "$KORVO_VENV/bin/cmake" ]; then
    printf '%s\n' "$KORVO_VENV/bin/cmake"
  elif command -v cmake >/dev/null 2>&1; then
    command -v cmake
  else
    die "no cmake: run 'make bootstrap' first"
  fi
}
