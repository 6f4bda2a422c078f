#!/usr/bin/env bash
# Runs the SDK client check against the server binary given as $1, with the
# SDK installed by scripts/test.sh into the build tree ($2).
set -euo pipefail
server="$1"
modules="$2"
here="$(cd "$(dirname "$0")" && pwd)"
if [ ! -d "$modules/node_modules/@modelcontextprotocol/sdk" ]; then
  echo "MCP SDK not installed in $modules (run scripts/test.sh)" >&2
  exit 1
fi
for check in list_tools review_dialog; do
  cp "$here/$check.mjs" "$modules/$check.mjs"
  node "$modules/$check.mjs" "$server"
done
