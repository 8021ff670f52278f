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
echo "package: installed tree builds and runs the example"
