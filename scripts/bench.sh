#!/usr/bin/env bash
# The benchmarks, in one run, for both host word sizes: the cipher
# (memcpy, the literal routine, the library in one call and in 4096-byte chunks, every
# keystream routine, MD5), whole files (encrypt, decrypt in place, decrypt to another file
# of a large file beside cp and openssl enc -chacha20, with wall and CPU time, ratios and peak
# memory) and a tree of small files (the library one file at a time beside a libcrypto loop
# with the same durability and nuvexctl -r with one and N jobs, with per-size-band times).
# Not part of the test command.
#   --size-mib N     file size for the documents benchmark (default 256)
#   --rounds N       rounds per measurement; each keeps its best (default 3)
#   --tree-rounds N  rounds of the tree benchmark (default 1: a round writes the tree 12 times)
#   --tree-full      the tree benchmark on 20,000 files (about 5.4 GB) instead of 2000
#   --only PRESET    host-x64 or host-x86 alone
#   --only-tree      the tree benchmark alone
set -euo pipefail
cd "$(dirname "$0")/.."

size=256
rounds=3
tree_rounds=1
tree_form=()
only_tree=0
presets=(host-x64 host-x86)
while [[ $# -gt 0 ]]; do
  case "$1" in
    --size-mib) size="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --tree-rounds) tree_rounds="$2"; shift 2 ;;
    --tree-full) tree_form=(--full); shift ;;
    --only) presets=("$2"); shift 2 ;;
    --only-tree) only_tree=1; shift ;;
    *) echo "usage: $0 [--size-mib N] [--rounds N] [--tree-rounds N] [--tree-full] [--only host-x64|host-x86] [--only-tree]" >&2; exit 2 ;;
  esac
done

# Build everything first, so that no build runs beside a measurement.
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target bench_seal bench_documents bench_tree nuvexctl >/dev/null
done

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) processors," \
     "$(free -g | awk '/^Mem:/ {print $2}') GiB; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "openssl: $(openssl version 2>/dev/null || echo missing)"
echo "file system of the benchmark folder: $(df -T "${TMPDIR:-/tmp}" | awk 'NR == 2 {print $2 " on " $1}')"
for preset in "${presets[@]}"; do
  echo
  echo "=== $preset"
  if ((!only_tree)); then
    "build/$preset/bin/bench_seal" --rounds "$rounds"
    echo
    "build/$preset/bin/bench_documents" --size-mib "$size" --rounds "$rounds"
    echo
  fi
  "build/$preset/bin/bench_tree" "${tree_form[@]}" --rounds "$tree_rounds" \
    --nuvexctl "build/$preset/bin/nuvexctl"
done
