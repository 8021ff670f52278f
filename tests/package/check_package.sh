#!/usr/bin/env bash
# check_package.sh BUILD_DIR SOURCE_DIR CXX_FLAGS VERSION
set -euo pipefail
build=$1 source=$2 flags=${3:-} version=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# An unusual prefix, deep and with characters a hard-coded path would trip over.
cmake --install "$build" --prefix "$work/opt/nuvex-1.0+x_y" >/dev/null
ln -s "$work/opt/nuvex-1.0+x_y" "$work/prefix"
test -f "$work/prefix/include/nuvexctrl.h"
test -f "$work/prefix/include/nuvexctrl_results.h"
test -f "$work/prefix/include/nuvexctrl_ex.h"
test -x "$work/prefix/bin/nuvexctl"
cmake -S "$source/examples/status" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/opt/nuvex-1.0+x_y" \
      -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/example" >/dev/null
NUVEX_HOST_ROOT="$work/root" LD_LIBRARY_PATH="$work/prefix/lib" "$work/example/nuvex_status"
# The pkg-config file names the same header and library.
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs nuvexctrl | grep -q -- "-lnuvexctrl"
# ... wherever the tree was installed: the .pc file finds its prefix from its own place, also
# after the tree is moved.
rm "$work/prefix"
mv "$work/opt/nuvex-1.0+x_y" "$work/moved-prefix"
ln -s "$work/moved-prefix" "$work/prefix"
pc_cflags=$(PKG_CONFIG_PATH="$work/moved-prefix/lib/pkgconfig" pkg-config --cflags nuvexctrl | tr -d " ")
pc_include=$(cd "${pc_cflags#-I}" 2>/dev/null && pwd -P || true)
if [ "$pc_include" != "$(cd "$work/moved-prefix/include" && pwd -P)" ]; then
    echo "package: pkg-config --cflags gives '$pc_cflags', not the installed include folder" >&2
    exit 1
fi
# The example builds with pkg-config alone, from the moved tree.
pc() { PKG_CONFIG_PATH="$work/moved-prefix/lib/pkgconfig" pkg-config "$@" nuvexctrl; }
# shellcheck disable=SC2046
c++ $flags $(pc --cflags) "$source/examples/status/main.cpp" -o "$work/status-pc" $(pc --libs)
NUVEX_HOST_ROOT="$work/root" LD_LIBRARY_PATH="$work/moved-prefix/lib" "$work/status-pc" >/dev/null
# A versioned shared object: the soname carries the major version, with the usual links.
if [ -e "$work/prefix/lib/libnuvexctrl.so" ] && [ -n "$version" ]; then
    test -f "$work/prefix/lib/libnuvexctrl.so.$version"
    test "$(readlink "$work/prefix/lib/libnuvexctrl.so")" = "libnuvexctrl.so.${version%%.*}"
    readelf -d "$work/prefix/lib/libnuvexctrl.so.$version" | grep -q "SONAME.*\[libnuvexctrl.so.${version%%.*}\]"
fi
# One version everywhere: the pkg-config file, the CMake package and the tool.
if [ -n "$version" ]; then
  test "$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --modversion nuvexctrl)" = "$version"
  # find_package asking for exactly this version accepts the installed package.
  mkdir "$work/version-cmake"
  printf 'cmake_minimum_required(VERSION 3.25)\nproject(v LANGUAGES CXX)\nfind_package(Nuvexctrl %s EXACT REQUIRED)\nmessage(STATUS "found ${Nuvexctrl_VERSION}")\n' \
      "$version" > "$work/version-cmake/CMakeLists.txt"
  found=$(cmake -S "$work/version-cmake" -B "$work/version-cmake/build" -DCMAKE_PREFIX_PATH="$work/moved-prefix" \
               -DCMAKE_CXX_FLAGS="$flags" 2>&1 || true)
  if ! grep -qx -- "-- found $version" <<<"$found"; then
    echo "package: find_package(Nuvexctrl $version EXACT) does not accept the installed package:" >&2
    echo "$found" >&2
    exit 1
  fi
  test "$(LD_LIBRARY_PATH="$work/prefix/lib" "$work/prefix/bin/nuvexctl" --version)" = "nuvexctl $version"
  # ... and the installed header's macros.
  printf '#include <nuvexctrl.h>\n#include <stdio.h>\nint main(void) { puts(NUVEXCTRL_VERSION); return NUVEXCTRL_VERSION_NUMBER != %d; }\n' \
      "$(echo "$version" | awk -F. '{print $1 * 10000 + $2 * 100 + $3}')" > "$work/version.c"
  cc $flags -I"$work/prefix/include" "$work/version.c" -o "$work/version"
  test "$("$work/version")" = "$version"
fi
# The manual page, the completion scripts and the documentation are installed where man,
# bash-completion and zsh look for them; the page is well-formed roff, and the bash script
# completes a verb once sourced.
page="$work/prefix/share/man/man1/nuvexctl.1"
test -f "$page"
test -f "$work/prefix/share/zsh/site-functions/_nuvexctl"
test -f "$work/prefix/share/doc/nuvexctrl/completion/nuvexctl.ps1"
for doc in nuvexctl.md api.md result-codes.md departures.md; do
  test -f "$work/prefix/share/doc/nuvexctrl/$doc"
done
grep -q '^\.TH NUVEXCTL 1 .*nuvexctl '"$version" "$page"
for section in NAME SYNOPSIS OPTIONS VERBS '"EXIT STATUS"'; do
  grep -q "^\.SH $section" "$page"
done
if command -v groff >/dev/null; then
  warnings=$(groff -man -ww -z "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "package: groff finds faults in the manual page:" >&2
    echo "$warnings" >&2
    exit 1
  fi
  groff -man -Tutf8 "$page" 2>/dev/null | grep -q "nuvexctl driver install"
else
  echo "package: groff is missing; the manual page was checked for its sections only" >&2
fi
completed=$(bash --norc --noprofile -c '
  source "$1"
  COMP_WORDS=(nuvexctl --json driv); COMP_CWORD=2; _nuvexctl; echo "${COMPREPLY[*]}"
  COMP_WORDS=(nuvexctl driver ""); COMP_CWORD=2; _nuvexctl; echo "${COMPREPLY[*]}"
  COMP_WORDS=(nuvexctl doc rights set --cou); COMP_CWORD=4; _nuvexctl; echo "${COMPREPLY[*]}"
  complete -p nuvexctl' bash "$work/prefix/share/bash-completion/completions/nuvexctl")
case "$(echo "$completed" | tr '\n' '/')" in
  "driver/install uninstall "*"/--count/complete -o default -F _nuvexctl nuvexctl/") ;;
  *) echo "package: the installed bash completion completes" >&2
     echo "$completed" >&2
     exit 1 ;;
esac
# The zsh function, driven with stand-ins for the completion system's _describe and _files.
if command -v zsh >/dev/null; then
  zsh -n "$work/prefix/share/zsh/site-functions/_nuvexctl"
  zsh_completed=$(zsh -f -c '
    fpath=("$1" $fpath); autoload -Uz _nuvexctl
    _describe() { local -a list; list=("${(@P)${@[-1]}}"); print -r -- "$3: ${(j: :)${list[@]%%:*}}"; }
    _files() { print -r -- files; }
    try() { words=("$@"); CURRENT=$#; PREFIX=${words[-1]}; _nuvexctl; }
    try nuvexctl --json driver ""; try nuvexctl driver install --so; try nuvexctl driver install --source ""
  ' zsh "$work/prefix/share/zsh/site-functions")
  case "$(echo "$zsh_completed" | tr '\n' '/')" in
    "verb: install uninstall "*"/option: --source --no-load "*"/files/") ;;
    *) echo "package: the installed zsh completion completes" >&2
       echo "$zsh_completed" >&2
       exit 1 ;;
  esac
else
  echo "package: zsh is missing; its completion script was not tried" >&2
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
# The 61 exports and the extension interface's.
test "$(grep -vc '^NuvexCtrlEx_' "$work/expected")" -eq 61
test "$(grep -c '^NuvexCtrlEx_' "$work/expected")" -eq 6
echo "package: installed tree builds and runs the example; it exports exactly the 61 exports and the 4 of the extension"
