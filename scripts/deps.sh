#!/usr/bin/env bash
# Installs the Debian 12 packages Kelvane needs, only those that are missing.
#   deps.sh run    what building and running the updater needs
#   deps.sh test   that, plus what the test suite and the benchmark need
#   deps.sh fuzz   that, plus clang and its libFuzzer and sanitizer runtimes
set -euo pipefail

packages=(cmake make g++ pkg-config libsodium-dev libssl-dev qt6-base-dev fonts-dejavu-core fonts-liberation2 python3 xvfb xauth xdg-utils xdotool)
if [ "${1:-run}" = test ] || [ "${1:-run}" = fuzz ]; then
    packages+=(curl man-db nginx-light nginx openssl gzip tinyproxy g++-mingw-w64-x86-64 wine wine64 time minisign desktop-file-utils systemd appstream dpkg-dev lintian)
fi
if [ "${1:-run}" = fuzz ]; then
    packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$p")
    fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
