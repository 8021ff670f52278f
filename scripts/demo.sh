#!/usr/bin/env bash
# Sets everything up and runs the demo tour on the host platform with the simulated drivers.
set -euo pipefail
cd "$(dirname "$0")/.."
NUVEX_WITH_WINE=0 scripts/bootstrap.sh
cmake --preset host-x64 >/dev/null
cmake --build --preset host-x64
exec build/host-x64/bin/nuvexctl demo "$@"
