#!/usr/bin/env bash
# check_zip.sh BUILD_DIR VERSION PYTHON DLL_VERSION_PY
# Builds the zip of the Windows build with cpack and checks what it holds: the DLL, its import
# library and .def, the headers, nuvexctl.exe and the documentation; and that the version of
# the DLL's resource, the header macros and the CMake and pkg-config files agree.
set -euo pipefail
build=$1 version=$2 python=$3 dll_version=$4
if ! command -v unzip >/dev/null; then
  echo "package_zip: unzip is missing (scripts/bootstrap.sh installs it)" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
zip=$work/nuvexctrl-$version-win32.zip
top=nuvexctrl-$version-win32
unzip -Z1 "$zip" | sed "s|^$top/||" > "$work/contents"
status=0
for file in bin/Nuvexctrl.dll lib/libNuvexctrl.dll.a lib/nuvexctrl.def include/nuvexctrl.h include/nuvexctrl_ex.h \
            include/nuvexctrl_results.h bin/nuvexctl.exe lib/cmake/Nuvexctrl/NuvexctrlConfig.cmake \
            lib/pkgconfig/nuvexctrl.pc share/doc/nuvexctrl/nuvexctl.md share/doc/nuvexctrl/api.md \
            share/doc/nuvexctrl/windows.md; do
  if ! grep -qx -- "$file" "$work/contents"; then
    echo "package_zip: $file is not in $(basename "$zip")" >&2
    status=1
  fi
done
if grep -E '^bin/(win_|test_)|gtest|_CPack' "$work/contents"; then
  echo "package_zip: the zip holds files of the build or the tests" >&2
  status=1
fi
unzip -q "$zip" -d "$work/unpacked"
root=$work/unpacked/$top
# One version everywhere: the DLL's resource, the header, the CMake package and pkg-config.
test "$("$python" "$dll_version" "$root/bin/Nuvexctrl.dll")" = "$version"
IFS=. read -r major minor patch <<<"$version"
grep -qx "#define NUVEXCTRL_VERSION_MAJOR $major" "$root/include/nuvexctrl.h"
grep -qx "#define NUVEXCTRL_VERSION_MINOR $minor" "$root/include/nuvexctrl.h"
grep -qx "#define NUVEXCTRL_VERSION_PATCH $patch" "$root/include/nuvexctrl.h"
grep -q "PACKAGE_VERSION \"$version\"" "$root/lib/cmake/Nuvexctrl/NuvexctrlConfigVersion.cmake"
grep -qx "Version: $version" "$root/lib/pkgconfig/nuvexctrl.pc"
echo "package_zip: $(basename "$zip") holds $(grep -vc '/$' "$work/contents") files"
exit $status
