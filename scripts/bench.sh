#!/usr/bin/env bash
# The benchmarks, in one run, for both host word sizes: the cipher
# (memcpy, the literal routine, the library in one call and in 4096-byte chunks, every
# keystream routine, MD5) and whole files (encrypt, decrypt in place, decrypt to another file
# of a large file beside cp and openssl enc -chacha20, with wall and CPU time, ratios and peak
# memory). Not part of the test command.
#   --size-mib N   file size for the documents benchmark (default 256)
#   --rounds N     rounds per measurement; each keeps its best (default 3)
#   --only PRESET  host-x64 or host-x86 alone
set -euo pipefail
cd "$(dirname "$0")/.."

size=256
rounds=3
presets=(host-x64 host-x86)
while [[ $# -gt 0 ]]; do
  case "$1" in
    --size-mib) size="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --only) presets=("$2"); shift 2 ;;
    *) echo "usage: $0 [--size-mib N] [--rounds N] [--only host-x64|host-x86]" >&2; exit 2 ;;
  esac
done

# Build everything first, so that no build runs beside a measurement.
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target bench_seal bench_documents >/dev/null
done

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) processors," \
     "$(free -g | awk '/^Mem:/ {print $2}') GiB; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "openssl: $(openssl version 2>/dev/null || echo missing)"
for preset in "${presets[@]}"; do
  echo
  echo "=== $preset"
  "build/$preset/bin/bench_seal" --rounds "$rounds"
  echo
  "build/$preset/bin/bench_documents" --size-mib "$size" --rounds "$rounds"
done
