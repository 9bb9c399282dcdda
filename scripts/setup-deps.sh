#!/usr/bin/env bash
# Installs the Debian packages that building and testing pktgate needs, when any is missing:
# git (CI's first step, the format check, lists the files with it), the compiler and build
# tools, Qt 6 (Core, Network, Widgets, Test; HTTP Server for the status page, with the WebSockets
# development files that Debian's qt6-httpserver-dev needs but does not pull in) and a font for
# the offscreen window. Runs apt-get as root (or through sudo). Extra package names may be passed.
set -euo pipefail
packages=(git g++ cmake ninja-build qt6-base-dev qt6-httpserver-dev qt6-websockets-dev fonts-dejavu-core "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "setup: installing Debian packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
