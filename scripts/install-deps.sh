#!/usr/bin/env bash
# Installs every Debian package the build, the programs and the tests need. Run as root on
# Debian 12; packages that are already installed are left alone.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libsodium-dev libssl-dev
  clang-format
  clang libclang-rt-14-dev
  age p7zip-full
  strace
  shared-mime-info desktop-file-utils libglib2.0-bin
  python3
  chromium fonts-dejavu-core
  libgtk-4-dev libx11-dev xvfb xauth xdotool adwaita-icon-theme librsvg2-common
  libwebkitgtk-6.0-dev
  tmux
  locales
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: these packages are missing and installing them needs root: ${missing[*]}" >&2
  echo "install-deps: run this script as root (sudo $0)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
