#!/usr/bin/env bash
# Builds tarnwick, then measures its output path and its test selection:
#  1. a warm no-op `cargo check` answered through the server (tools/call over
#     pipes) against the same `cargo check` run directly, for a crate without
#     warnings and for one with about 2,000;
#  2. cargo's JSON through the server against a plain pipe, peak memory over
#     the response size, cancel to dead tree and the cost of tools/list
#     (bench/throughput.py, with a stand-in cargo);
#  3. test selection and bisection through cargo_test against the same single
#     test run by hand (bench/test_select.py, 3 rounds).
# Usage: bash bench/run.sh [rounds] [other-server]   (default 30 rounds)
#        bash bench/run.sh --tests-only [rounds] [other-server]   (step 3, default 3)
# A second server (a build of another revision, say) is measured in the same
# rounds, so that the two are compared under the same load.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/rust_path.sh
. scripts/rust_path.sh
tests_only=false
if [ "${1:-}" = "--tests-only" ]; then
  tests_only=true
  shift
fi
bash scripts/build.sh
servers="./build/tarnwick${2:+,$2}"
if $tests_only; then
  exec python3 bench/test_select.py "$servers" --rounds "${1:-3}"
fi
rounds="${1:-30}"
python3 bench/noop_check.py "$servers" "$rounds" 0
python3 bench/noop_check.py "$servers" "$rounds" 2000
python3 bench/throughput.py "$servers"
exec python3 bench/test_select.py "$servers"
