#!/usr/bin/env bash
# A Debian root file system of a newer suite, for the interpreters this machine's own release
# does not package (their binaries need a newer C library than the host has):
#
#   scripts/debian_root.sh ensure SUITE [PACKAGE...]   make the root if it is missing (debootstrap,
#                                                      minbase) and install what is missing in it
#   scripts/debian_root.sh run SUITE [-C DIR] -- CMD... run CMD inside it
#   scripts/debian_root.sh path SUITE                  print where the root lives
#
# The root lives in the project's cache folder (${KORVO_CACHE_DIR:-~/.cache/korvo-mesh}/debian-SUITE)
# and is made from the archive the host's own apt sources name. A command runs in a mount and
# pid namespace of its own (unshare + chroot), so nothing stays mounted and nothing keeps running
# once it ends, however it ends. Inside, the project is at the same path as outside, so paths
# written by one side (virtual environments, build trees) hold for the other; the host's CA
# bundle and resolver configuration are lent to it for the run. The environment inside is
# clean: the host's pip configuration (its package caches and constraints do not exist there)
# is not inherited; KORVO_*, PYTEST_ADDOPTS, PYTHONHASHSEED and CI are passed through.
#
# Needs root, or sudo without a password (as apt does). Safe to run again.
set -euo pipefail

# shellcheck source=scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# What every root has besides what callers ask for.
BASE_PACKAGES=(ca-certificates)

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2; }

root_dir() { printf '%s/debian-%s\n' "$KORVO_CACHE" "$1"; }

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo -n "$@"; fi
}

# Installed packages of the root among "$@" that are missing, one per line.
missing_in_root() {
  local dir="$1" p
  shift
  for p in "$@"; do
    [ "$(as_root chroot "$dir" dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)" = installed ] \
      || printf '%s\n' "$p"
  done
}

make_root() {
  local suite="$1" dir="$2" uri partial="$2.partial" t0=$SECONDS
  uri="$(archive_uri)" || die "cannot find the Debian archive in the apt sources"
  apt_install_missing debootstrap
  log "making a Debian $suite root in $dir (debootstrap, minbase; a minute or two)"
  as_root rm -rf "$partial"
  mkdir -p "$KORVO_CACHE"
  if ! as_root debootstrap --variant=minbase --include="$(IFS=,; echo "${BASE_PACKAGES[*]}")" \
         "$suite" "$partial" "$uri" >"$partial.log" 2>&1; then
    tail -n 20 "$partial.log" >&2
    die "debootstrap of $suite failed (log: $partial.log)"
  fi
  # The archive's Release files may be past their validity date where the archive is a snapshot.
  as_root sh -c "cat >'$partial/etc/apt/apt.conf.d/90korvo'" <<'EOF'
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
EOF
  as_root mv "$partial" "$dir"
  rm -f "$partial.log"
  log "root made in $(( SECONDS - t0 ))s"
}

# Runs "$@" inside the root DIR with the namespaces and mounts described above: as root when
# AS is "root", else as the calling user. CD is the working directory inside.
enter() {
  local dir="$1" as="$2" cd="$3"
  shift 3
  local home=/root
  local -a user=()
  if [ "$as" != root ] && [ "$(id -u)" != 0 ]; then
    user=("--userspec=$(id -u):$(id -g)")
    home=/tmp
  fi
  local -a keep=(PATH=/usr/local/bin:/usr/bin:/bin "HOME=$home" LANG=C.UTF-8 LC_ALL=C.UTF-8
                 "TERM=${TERM:-dumb}" PIP_CONFIG_FILE=/dev/null PIP_DISABLE_PIP_VERSION_CHECK=1
                 PIP_CERT=/etc/ssl/certs/ca-certificates.crt SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt)
  local name
  while IFS='=' read -r name _; do
    case "$name" in KORVO_*|PYTEST_ADDOPTS|PYTHONHASHSEED|CI) keep+=("$name=${!name}") ;; esac
  done < <(env)
  # Mounts are made by a shell inside the new namespaces: they vanish with it.
  as_root unshare --mount --pid --fork --kill-child --propagation private \
    /bin/sh -euc '
      dir=$1 project=$2 cd=$3; shift 3
      mount -t proc proc "$dir/proc"
      mount --rbind /dev "$dir/dev"
      for f in /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt; do
        if [ -f "$f" ]; then
          [ -e "$dir$f" ] || : >"$dir$f"
          mount --bind -o ro "$f" "$dir$f"
        fi
      done
      mkdir -p "$dir$project"
      mount --rbind "$project" "$dir$project"
      exec chroot "$@"
    ' sh "$dir" "$KORVO_ROOT" "$cd" "${user[@]}" "$dir" /usr/bin/env -i "${keep[@]}" \
      /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$cd" "$@"
}

[ $# -ge 2 ] || usage
cmd="$1" suite="$2"
shift 2
dir="$(root_dir "$suite")"
case "$cmd" in
  path) printf '%s\n' "$dir" ;;
  ensure)
    mkdir -p "$KORVO_CACHE"
    exec 9>"$dir.lock"
    flock 9  # one maker at a time; others wait and then find it made
    [ -x "$dir/usr/bin/apt-get" ] || make_root "$suite" "$dir"
    mapfile -t missing < <(missing_in_root "$dir" "${BASE_PACKAGES[@]}" "$@")
    if [ ${#missing[@]} -gt 0 ]; then
      log "installing into the $suite root: ${missing[*]}"
      enter "$dir" root / sh -c 'apt-get -qq update && DEBIAN_FRONTEND=noninteractive apt-get -qq install -y "$@" >/dev/null' \
        sh "${missing[@]}" || die "could not install into the $suite root: ${missing[*]}"
    fi
    ;;
  run)
    cd_inside="$PWD"
    if [ "${1:-}" = -C ]; then cd_inside="$2"; shift 2; fi
    [ "${1:-}" = -- ] && shift
    [ $# -gt 0 ] || usage
    [ -x "$dir/usr/bin/apt-get" ] || die "no Debian $suite root yet: run '$0 ensure $suite'"
    enter "$dir" user "$cd_inside" "$@"
    ;;
  *) usage ;;
esac
