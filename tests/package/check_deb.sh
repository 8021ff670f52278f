#!/usr/bin/env bash
# check_deb.sh BUILD_DIR VERSION
# Builds the Debian package of the host build with cpack and checks what it holds: the library
# with its soname links, the headers, the CMake and pkg-config files, the tool, its manual page,
# completion scripts and the documentation, under /usr, with the project's version.
set -euo pipefail
build=$1 version=$2
if ! command -v dpkg-deb >/dev/null; then
  echo "package_deb: dpkg-deb is missing (scripts/bootstrap.sh installs it)" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/nuvexctrl_"$version"_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' > "$work/contents"
status=0
for file in /usr/lib/libnuvexctrl.so."$version" /usr/lib/libnuvexctrl.so."${version%%.*}" /usr/lib/libnuvexctrl.so \
            /usr/include/nuvexctrl.h /usr/include/nuvexctrl_ex.h /usr/include/nuvexctrl_results.h \
            /usr/lib/pkgconfig/nuvexctrl.pc /usr/lib/cmake/Nuvexctrl/NuvexctrlConfig.cmake \
            /usr/lib/cmake/Nuvexctrl/NuvexctrlConfigVersion.cmake /usr/bin/nuvexctl \
            /usr/share/man/man1/nuvexctl.1 /usr/share/bash-completion/completions/nuvexctl \
            /usr/share/zsh/site-functions/_nuvexctl /usr/share/doc/nuvexctrl/nuvexctl.md \
            /usr/share/doc/nuvexctrl/api.md; do
  if ! grep -qx -- "$file" "$work/contents"; then
    echo "package_deb: $file is not in $(basename "$deb")" >&2
    status=1
  fi
done
# Nothing of the build or the tests goes along.
if grep -E 'test|gtest|gmock|_CPack|\.a$' "$work/contents" | grep -v '^/usr/share/doc/'; then
  echo "package_deb: the package holds files of the build or the tests" >&2
  status=1
fi
test "$(dpkg-deb -f "$deb" Package)" = nuvexctrl
test "$(dpkg-deb -f "$deb" Version)" = "$version"
# The packaged tool runs from the unpacked tree (its library found beside it through its rpath)
# and says the same version.
dpkg-deb -x "$deb" "$work/root"
test "$("$work/root/usr/bin/nuvexctl" --version)" = "nuvexctl $version"
echo "package_deb: $(basename "$deb") holds $(grep -vc '/$' "$work/contents") files"
exit $status
