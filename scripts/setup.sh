#!/usr/bin/env bash
# Installs the Debian packages Cuewell needs to build, run and test.
# Idempotent: packages already present are not touched; sudo only when not root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-pdf-dev libqt6pdf6 qt6-qpa-plugins
  libgl-dev fonts-dejavu-core
  clang libclang-rt-14-dev
  liblo-tools liblo-dev liboscpack-dev
  poppler-utils qpdf iproute2
  xvfb xauth imagemagick
  openbox x11-utils x11-xserver-utils xdotool desktop-file-utils appstream dpkg-dev file
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
