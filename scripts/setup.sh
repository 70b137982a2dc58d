#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine (run as root).
set -euo pipefail
packages=(
    cmake make g++ googletest
    g++-mingw-w64-x86-64-posix mingw-w64-tools
    wine wine64
    libgcrypt20-dev libgcrypt-mingw-w64-dev
    wireguard-go wireguard-tools iproute2
    dante-server microsocks tshark python3
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
