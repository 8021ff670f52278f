#!/usr/bin/env bash
# Installs the Debian packages the builds need, when they are missing. Idempotent.
set -euo pipefail

packages=(cmake make g++ g++-multilib clang libclang-rt-14-dev g++-mingw-w64-i686 googletest libgtest-dev
          libcli11-dev nlohmann-json3-dev binutils-mingw-w64-i686 python3 pkg-config openssl
          groff-base unzip zsh python3-jsonschema
          "libssl-dev:$(dpkg --print-architecture)" libssl-dev:i386)  # libcrypto of both word sizes (the tree benchmark)
if [[ "${NUVEX_WITH_WINE:-1}" == 1 ]]; then
  wine_packages=(wine wine32:i386)
else
  wine_packages=()
fi

missing=()
for p in "${packages[@]}" "${wine_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}" >&2
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  if [[ " ${missing[*]}" == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
