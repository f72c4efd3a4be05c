#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, when they are missing.
set -euo pipefail
packages=(build-essential cmake pkg-config python3 libssl-dev openssl libengine-gost-openssl
          libpoco-dev libboost-dev libcurl4-openssl-dev libxml2-dev libgtest-dev lintian
          python3-lxml clang libclang-rt-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
