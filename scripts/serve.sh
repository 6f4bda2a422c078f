#!/usr/bin/env bash
# Builds tarnwick and starts it; it then waits for MCP messages on stdin.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh tarnwick
exec ./build/tarnwick "$@"
