#!/usr/bin/env bash
# Runs one Windows program under Wine with the Japanese ANSI code page (932).
#   wine_cp932.sh <prefix directory> <locale directory> <program.exe> [arguments...]
# Wine takes the ANSI code page from the locale variables, and the character set of Linux file
# names from the C library's locale, which must therefore exist: ja_JP.UTF-8 is compiled into
# the locale directory on first use (localedef, no installation needed). Without it the
# program runs in the default locale, where its code-page tests skip themselves.
set -euo pipefail
prefix=$1
locales=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$locales"
(
  flock 9
  if [[ ! -d "$locales/ja_JP.UTF-8" ]] && command -v localedef >/dev/null 2>&1; then
    localedef -i ja_JP -f UTF-8 "$locales/ja_JP.UTF-8" >/dev/null 2>&1 ||
      rm -rf "$locales/ja_JP.UTF-8"
  fi
) 9>"$locales.lock"

if [[ -d "$locales/ja_JP.UTF-8" ]]; then
  export LOCPATH=$locales LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8
else
  echo "wine_cp932.sh: the ja_JP.UTF-8 locale could not be made; running in the default locale" >&2
fi
exec "$here/wine_run.sh" "$prefix" "$@"
