#!/usr/bin/env bash
# Runs one Windows program under Wine, in the build tree's own 32-bit prefix.
#   wine_run.sh <prefix directory> <program.exe> [arguments...]
# The prefix is made on first use (WINEARCH=win32 wineboot -i). No display is used: with
# DISPLAY unset, Wine's message boxes return at once instead of waiting for a person.
set -euo pipefail
prefix=$1
shift

export WINEPREFIX=$prefix
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono or Gecko installer prompts when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

if ! command -v wine >/dev/null 2>&1; then
  echo "wine_run.sh: wine is not installed (scripts/bootstrap.sh installs it)" >&2
  exit 1
fi

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [[ ! -f "$prefix/system.reg" ]]; then
    echo "wine_run.sh: creating the 32-bit Wine prefix $prefix" >&2
    wineboot -i >/dev/null 2>&1
    # The registry reaches the disk when the server ends.
    wineserver -w
  fi
) 9>"$prefix.lock"

exec wine "$@"
