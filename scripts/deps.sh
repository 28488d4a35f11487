#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need.
# Does nothing when all are present; needs root (or sudo) only when something is missing.
#   scripts/deps.sh [--fuzz] [PACKAGE...]   --fuzz: also clang and libFuzzer for fuzz/
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgl-dev
  libtomcrypt-dev libtommath-dev zlib1g-dev
  python3 procps
)
for arg in "$@"; do
  if [[ "$arg" == --fuzz ]]; then
    packages+=(clang libclang-rt-14-dev)
  else
    packages+=("$arg")
  fi
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
