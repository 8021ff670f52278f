#!/usr/bin/env bash
# Sets everything up, builds the three builds and runs every test suite; then the host suite
# again under AddressSanitizer + UndefinedBehaviorSanitizer (x64, x86) and ThreadSanitizer (x64),
# and a short run of every fuzz target.
#   NUVEX_SANITIZERS=0      skip the sanitizer builds
#   NUVEX_FUZZ_SECONDS=N    seconds per fuzz target (default 20; 0 skips fuzzing)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

stamp() { echo "== $(date -u +%H:%M:%S) $*" >&2; }

presets=(host-x64 host-x86 windows-x86)
if [[ "${NUVEX_SANITIZERS:-1}" == 1 ]]; then
  presets+=(host-x64-asan host-x86-asan host-x64-tsan)
fi

status=0
for preset in host-x64 host-x86 windows-x86; do
  stamp "$preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
for preset in host-x64 host-x86 windows-x86; do
  stamp "$preset: tests"
  ctest --preset "$preset" --repeat until-pass:2 || status=1
done
# Sanitizer builds one after the other: each is built, tested and its objects kept for reruns.
for preset in "${presets[@]:3}"; do
  stamp "$preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  stamp "$preset: tests"
  ctest --preset "$preset" --repeat until-pass:2 || status=1
done
fuzz_seconds=${NUVEX_FUZZ_SECONDS:-20}
if [[ "$fuzz_seconds" != 0 ]]; then
  stamp "fuzz targets: $fuzz_seconds s each"
  scripts/fuzz.sh "$fuzz_seconds" || status=1
fi
stamp "done (status $status)"
exit $status
