#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need, if missing.
# Extra package names may be given as arguments (the outside-tools check adds its own).
set -euo pipefail

packages=(build-essential cmake pkg-config qtbase5-dev qtbase5-dev-tools libqt5opengl5-dev stm32flash picocom
          libusb-1.0-0-dev zlib1g-dev xvfb xauth clang libclang-rt-14-dev fonts-dejavu-core fonts-liberation2
          binutils-arm-none-eabi srecord umockdev libumockdev-dev "$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
