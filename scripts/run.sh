#!/usr/bin/env bash
# Installs what is missing, builds Zandrel optimised and runs it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
build=${ZAN_BUILD_DIR:-$top/build/release}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZAN_SANITIZE=OFF
cmake --build "$build" --parallel "$(nproc)"
if [ -x "$build/client/zandrel" ]; then
  mkdir -p "$top/run"
  cd "$top/run"
  exec "$build/client/zandrel" "$@"
fi
echo "zandrel: built the libraries; the program entry is not part of this build yet."
