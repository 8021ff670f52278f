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
#   --no-wine        leave out the Windows DLL under Wine against the i386 library (64 MiB);
#                    it runs when Wine is installed and host-x86 is among the builds
set -euo pipefail
cd "$(dirname "$0")/.."

size=256
rounds=3
tree_rounds=1
tree_form=()
only_tree=0
wine_run=1
presets=(host-x64 host-x86)
while [[ $# -gt 0 ]]; do
  case "$1" in
    --size-mib) size="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --tree-rounds) tree_rounds="$2"; shift 2 ;;
    --tree-full) tree_form=(--full); shift ;;
    --only) presets=("$2"); shift 2 ;;
    --only-tree) only_tree=1; shift ;;
    --no-wine) wine_run=0; shift ;;
    *) echo "usage: $0 [--size-mib N] [--rounds N] [--tree-rounds N] [--tree-full] [--only host-x64|host-x86] [--only-tree] [--no-wine]" >&2; exit 2 ;;
  esac
done

if ((only_tree)) || [[ " ${presets[*]} " != *" host-x86 "* ]] || ! command -v wine >/dev/null 2>&1; then
  wine_run=0
fi

# Build everything first, so that no build runs beside a measurement.
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target bench_seal bench_documents bench_tree bench_file_calls nuvexctl >/dev/null
done
if ((wine_run)); then
  cmake --preset windows-x86 -DNUVEX_BUILD_BENCH=ON >/dev/null
  cmake --build --preset windows-x86 --target bench_file_calls >/dev/null
fi

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

if ((wine_run)); then
  # The same export calls through the DLL under Wine and through the i386 library, taking
  # turns three times; each side's median of the three runs' medians.
  echo
  echo "=== windows-x86 under Wine against host-x86 (64 MiB, 5 calls per run, 3 runs each)"
  bench_dir=$(mktemp -d "${TMPDIR:-/tmp}/nuvex-wine-bench.XXXXXX")
  trap 'rm -rf "$bench_dir"' EXIT
  prefix="$PWD/build/windows-x86/wineprefix"
  for run in 1 2 3; do
    tests/windows/wine_run.sh "$prefix" build/windows-x86/bin/bench_file_calls.exe --size-mib 64 \
      --rounds 5 --dir "Z:${bench_dir//\//\\}" | sed 's/^/wine /'
    build/host-x86/bin/bench_file_calls --size-mib 64 --rounds 5 --dir "$bench_dir" | sed 's/^/i386 /'
  done | tee "$bench_dir/runs.txt"
  awk '
    function median(list,   n, parts, i, j, t) {
      n = split(list, parts, " ")
      for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (parts[j] < parts[i]) { t = parts[i]; parts[i] = parts[j]; parts[j] = t }
      return parts[int((n + 1) / 2)]
    }
    $2 == "EncryptFile" { enc[$1] = enc[$1] " " $4 }
    $2 == "DecryptFile" { dec[$1] = dec[$1] " " $6 }
    END {
      printf "DLL under Wine / i386 library, median wall: encrypt %.2fx, decrypt in place %.2fx (goal <= 1.2x)\n",
             median(enc["wine"]) / median(enc["i386"]), median(dec["wine"]) / median(dec["i386"])
    }' "$bench_dir/runs.txt"
fi
