#!/usr/bin/env bash
# Builds tarnwick, then compares a warm no-op `cargo check` answered through
# the server (tools/call over pipes) with the same `cargo check` run directly.
# Usage: bash bench/run.sh [rounds]   (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v cargo >/dev/null 2>&1 && [ -x "$HOME/.cargo/bin/cargo" ]; then
  export PATH="$HOME/.cargo/bin:$PATH"
fi
bash scripts/build.sh
exec python3 bench/noop_check.py ./build/tarnwick "${1:-30}"
