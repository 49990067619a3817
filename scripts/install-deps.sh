#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when
# they are all present already.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-tidy cppcheck pkg-config binutils dpkg-dev file
  libgtest-dev libbenchmark-dev python3 python3-can python3-pytest python3-pip python3-setuptools python3-wheel python3-venv can-utils tmux
  user-mode-linux kmod iproute2 qemu-system-x86 busybox-static udev xz-utils
  libusb-1.0-0-dev libudev-dev umockdev libumockdev-dev libssl-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
