#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (all
# targets, or the one named as $1).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh >&2
# CI sets TARNWICK_WARNINGS_AS_ERRORS=ON; a user's build only warns.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNWICK_WARNINGS_AS_ERRORS="${TARNWICK_WARNINGS_AS_ERRORS:-OFF}" >&2
cmake --build build ${1:+--target "$1"} >&2
