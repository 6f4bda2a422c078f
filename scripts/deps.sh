#!/usr/bin/env bash
# Installs the Debian packages tarnwick builds and tests with, when missing.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config nlohmann-json3-dev libre2-dev libfmt-dev libgtest-dev libsimdjson-dev)
# node and npm run the MCP SDK client test; the machine may bring its own.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
