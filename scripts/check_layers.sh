#!/usr/bin/env bash
# Fails when a source folder includes a folder at its own level or above it.
# Levels, highest first: server, tools, test_select, runner, then catalogue,
# suggest and platform side by side, then base. One exception: the output
# writer in base writes through platform/stdio.h, which includes nothing of
# ours.
set -euo pipefail
cd "$(dirname "$0")/../src"
level() {
  case "$1" in
    server) echo 6 ;; tools) echo 5 ;; test_select) echo 4 ;; runner) echo 3 ;;
    catalogue | suggest | platform) echo 2 ;; base) echo 1 ;; *) echo 0 ;;
  esac
}
status=0
while IFS=: read -r file _ target; do
  from=${file%%/*}
  to=${target%%/*}
  [ "$from" = "$to" ] && continue
  [ "$file" = base/output.cpp ] && [ "$target" = platform/stdio.h ] && continue
  if [ "$(level "$to")" -ge "$(level "$from")" ]; then
    echo "layering: $file includes $target" >&2
    status=1
  fi
done < <(grep -rnoE '#include "[a-z_]+/[^"]+"' --include='*.h' --include='*.cpp' . |
  sed -E 's|^\./||; s|#include "([^"]+)"|\1|' | grep -v '^main.cpp:')
exit $status
