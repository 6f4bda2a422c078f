#!/usr/bin/env bash
# Builds tarnwick and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
# cargo usually lives under ~/.cargo/bin, which a bare shell may not have.
if ! command -v cargo >/dev/null 2>&1 && [ -x "$HOME/.cargo/bin/cargo" ]; then
  export PATH="$HOME/.cargo/bin:$PATH"
fi
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"
