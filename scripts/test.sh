#!/usr/bin/env bash
# Builds tarnwick and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/rust_path.sh
bash scripts/build.sh
# The official MCP SDK client, for the end-to-end check that a real client
# can connect and list the tools.
mkdir -p build/sdk-client
cp tests/sdk/package.json build/sdk-client/package.json
(cd build/sdk-client && npm install --no-audit --no-fund --loglevel=error >&2)
# One test per core, or CTEST_PARALLEL_LEVEL at once when set (a shared machine).
ctest --test-dir build --output-on-failure -j "${CTEST_PARALLEL_LEVEL:-$(nproc)}"
