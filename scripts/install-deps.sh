#!/usr/bin/env bash
# Installs the Debian packages the project builds with, when any is missing.
# Safe to run repeatedly; needs root (or sudo) only when something must be installed.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-dev            # Boost.Format (header-only)
  libgtest-dev libgmock-dev
  libbenchmark-dev
  libcli11-dev libtiff-dev libpng-dev nlohmann-json3-dev
  clang libclang-rt-dev clang-format
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
