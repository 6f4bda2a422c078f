#!/usr/bin/env bash
# Builds tarnwick and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
# cargo usually lives under ~/.cargo/bin, which a bare shell may not have.
if ! command -v cargo >/dev/null 2>&1 && [ -x "$HOME/.cargo/bin/cargo" ]; then
  export PATH="$HOME/.cargo/bin:$PATH"
fi
bash scripts/build.sh
# The official MCP SDK client, for the end-to-end check that a real client
# can connect and list the tools.
mkdir -p build/sdk-client
cp tests/sdk/package.json build/sdk-client/package.json
(cd build/sdk-client && npm install --no-audit --no-fund --loglevel=error >&2)
ctest --test-dir build --output-on-failure -j "$(nproc)"
