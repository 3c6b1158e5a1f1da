#!/usr/bin/env bash
# Runs a command with a project environment's tools first on PATH:
#
#   scripts/venv_run.sh VENV CMD [ARG...]
#
# On this machine, or, for an environment made inside a Debian root (its .korvo-root names
# the suite; scripts/bootstrap.sh makes such environments), inside that root, in the same
# working directory when it lies in the project (else in /).
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
[ $# -ge 2 ] || die "usage: venv_run.sh VENV CMD [ARG...]"
venv="$1"
shift
if [ -f "$venv/.korvo-root" ]; then
  here=/
  case "$PWD/" in "$KORVO_ROOT"/*) here="$PWD" ;; esac
  exec "$KORVO_ROOT/scripts/debian_root.sh" run "$(cat "$venv/.korvo-root")" -C "$here" -- \
    env PATH="$venv/bin:/usr/local/bin:/usr/bin:/bin" VIRTUAL_ENV="$venv" "$@"
fi
PATH="$venv/bin:$PATH" VIRTUAL_ENV="$venv" exec "$@"
