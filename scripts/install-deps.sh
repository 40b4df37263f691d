#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those missing. Usage: install-deps.sh [extra packages]
set -euo pipefail
packages=(cmake make g++ pkg-config libsdl1.2-dev libgl1-mesa-dev libgl1-mesa-dri libgtest-dev
          libbenchmark-dev nlohmann-json3-dev rapidjson-dev libfmt-dev libx11-dev libxtst-dev xvfb xauth "$@")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  apt=(apt-get)
elif command -v sudo >/dev/null; then
  apt=(sudo apt-get)
else
  echo "Missing packages (${missing[*]}) and no root or sudo to install them." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${apt[@]}" update -q
"${apt[@]}" install -y -q --no-install-recommends "${missing[@]}"
