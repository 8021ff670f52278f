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
  # A mirror in the middle of a sync fails an index now and then (seen: the security suite's
  # i386 index). The update is tried again; then the install is tried from what did arrive,
  # and when it cannot resolve, from the release's own suite alone (-t CODENAME), whose
  # indices of both architectures agree, so that an i386 library is not asked to match an
  # amd64 security update whose i386 twin is missing from the lists.
  install=(apt-get install -y -qq --no-install-recommends)
  for attempt in 1 2 3; do
    "${sudo_cmd[@]}" apt-get update -qq && break
    echo "bootstrap: package index update failed (attempt $attempt of 3)" >&2
    sleep $((attempt * 10))
  done
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if ! DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" "${install[@]}" "${missing[@]}" >/dev/null; then
    [[ -n "$codename" ]] || exit 1
    echo "bootstrap: install failed; trying again from the $codename suite alone" >&2
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" "${install[@]}" -t "$codename" "${missing[@]}" >/dev/null
  fi
fi
