#!/usr/bin/env bash
# check_package.sh BUILD_DIR SOURCE_DIR CXX_FLAGS VERSION
set -euo pipefail
build=$1 source=$2 flags=${3:-} version=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/nuvexctrl.h"
test -f "$work/prefix/include/nuvexctrl_results.h"
test -x "$work/prefix/bin/nuvexctl"
cmake -S "$source/examples/status" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/example" >/dev/null
NUVEX_HOST_ROOT="$work/root" LD_LIBRARY_PATH="$work/prefix/lib" "$work/example/nuvex_status"
# The pkg-config file names the same header and library.
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs nuvexctrl | grep -q -- "-lnuvexctrl"
# One version everywhere: the pkg-config file, the CMake package and the tool.
if [ -n "$version" ]; then
  test "$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --modversion nuvexctrl)" = "$version"
  grep -q "PACKAGE_VERSION \"$version\"" "$work/prefix/lib/cmake/Nuvexctrl/NuvexctrlConfigVersion.cmake"
  test "$(LD_LIBRARY_PATH="$work/prefix/lib" "$work/prefix/bin/nuvexctl" --version)" = "nuvexctl $version"
fi
# The installed library exports the names of the module-definition file and nothing else (no
# test hooks, no standard-library instantiations).
library=$(ls "$work/prefix"/lib*/libnuvexctrl.so | head -n 1)
nm -D --defined-only "$library" | awk '{print $NF}' | sort > "$work/exported"
sed -n 's/^[[:space:]]\{1,\}\([A-Za-z_]\{1,\}\)@[0-9]\{1,\}.*/\1/p' "$source/include/nuvexctrl.def" | sort > "$work/expected"
if ! diff -u "$work/expected" "$work/exported"; then
    echo "package: the installed library's dynamic symbols differ from include/nuvexctrl.def" >&2
    exit 1
fi
test "$(wc -l < "$work/expected")" -eq 61
echo "package: installed tree builds and runs the example; it exports exactly the 61 exports"
