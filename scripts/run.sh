#!/usr/bin/env bash
# Installs what is missing, builds Zandrel optimised and runs it against its
# own service on loopback (the service alone while the client is not built).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
build=${ZAN_BUILD_DIR:-$top/build/release}
# The programs only: tests and benchmarks belong to scripts/test.sh.
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZAN_SANITIZE=OFF -DZAN_TESTS=OFF -DZAN_BENCH=OFF
cmake --build "$build" --parallel "$(nproc)"
# The service runs on loopback with its data under run/service; the client
# signs in to it with no further set-up.
mkdir -p "$top/run"
cd "$top/run"
# The client runs in the folder that holds its skin: the template and every
# picture and sound it names. Without a skin it still runs, with no windows.
if [ -f "$top/skin/template.xml" ]; then
  cp -R "$top/skin/." "$top/run/"
else
  echo "<skin></skin>" > "$top/run/template.xml"
fi
# Every client of this service is on loopback, where the relay sends nothing by default.
service=("$build/server/zandrel-server" --bind 127.0.0.1 --port-base "${ZAN_PORT_BASE:-24000}" --data "$top/run/service"
         --relay-private-targets 1)
if [ -x "$build/client/zandrel" ]; then
  "${service[@]}" > "$top/run/service.out" 2> "$top/run/service.log" &
  server=$!
  trap 'kill $server 2>/dev/null; wait $server 2>/dev/null' EXIT
  for _ in $(seq 100); do grep -q ready "$top/run/service.out" && break; kill -0 $server || exit 1; sleep 0.1; done
  # The service's address goes into the settings, not onto the command
  # line: a restart after a crash keeps only "-log x" and must sign in to
  # the same service.
  # The settings end at their first empty line, which the client writes
  # after the last one: the address goes in first.
  touch settings.ini
  { echo "AUTHENTICATE_Host: 127.0.0.1:${ZAN_PORT_BASE:-24000}"; grep -iv '^authenticate_host:' settings.ini || true; } \
    > settings.ini.new
  mv settings.ini.new settings.ini
  "$build/client/zandrel" "$@"
  exit $?
fi
echo "zandrel: the client program is not part of this build yet; starting the service alone (Ctrl-C stops it)."
exec "${service[@]}"
