#!/usr/bin/env bash
# Installs the Debian packages tarnwick builds and tests with, when missing.
set -euo pipefail
# shellcheck source=scripts/rust_path.sh
. "$(dirname "$0")/rust_path.sh"
packages=(g++ cmake ninja-build pkg-config nlohmann-json3-dev libre2-dev libfmt-dev libgtest-dev libsimdjson-dev
  libtomlplusplus-dev)
# node and npm run the MCP SDK client test; the machine may bring its own.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
# A Rust toolchain with clippy and rustfmt: a rustup one (or any cargo on
# PATH) is used as it is; without one, Debian's. Debian's cargo also gets the
# clippy and rustfmt packages it may lack.
cargo_path="$(command -v cargo || true)"
if [ -z "$cargo_path" ] || [ "$(readlink -f "$cargo_path")" = /usr/bin/cargo ]; then
  packages+=(cargo rustc rust-clippy rustfmt)
fi
# `dpkg -s` also succeeds for a package removed with its configuration kept.
installed() { dpkg-query -W -f='${db:Status-Status}\n' "$1" 2>/dev/null | grep -x installed >/dev/null; }
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  # sudo drops the caller's environment, so the variable goes through env.
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
