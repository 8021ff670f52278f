#!/usr/bin/env bash
# Sets everything up, builds the three builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

status=0
for preset in host-x64 host-x86 windows-x86; do
  echo "== $preset: configure and build" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
for preset in host-x64 host-x86 windows-x86; do
  echo "== $preset: tests" >&2
  ctest --preset "$preset" || status=1
done
exit $status
