#!/usr/bin/env bash
# Installs what is missing, builds Zandrel optimised and runs it against its
# own service on loopback (the service alone while the client is not built).
#
# Every run starts one client in a folder of its own (run/client-1, a second
# run while the first one runs run/client-2, ...); the first run starts the
# service (run/service: its data, service.log and service.out), the others
# use it, and it stops when the last client started this way has ended.
#
# ZAN_BUILD_DIR names the build tree, ZAN_RUN_DIR the folder in place of
# run/, ZAN_PORT_BASE the service's first port; ZAN_SKIP_BUILD=1 runs what
# the build tree holds without installing or building.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ZAN_BUILD_DIR:-$top/build/release}
runDir=${ZAN_RUN_DIR:-$top/run}
portBase=${ZAN_PORT_BASE:-24000}
serviceDir=$runDir/service

if [ "${ZAN_SKIP_BUILD:-0}" != 1 ]; then
  bash "$top/scripts/deps.sh"
  # The programs only: tests and benchmarks belong to scripts/test.sh.
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZAN_SANITIZE=OFF -DZAN_TESTS=OFF -DZAN_BENCH=OFF
  cmake --build "$build" --parallel "$(nproc)"
fi
mkdir -p "$serviceDir"
# The authentication, log and upgrade hosts speak TLS: on first use a
# self-signed certificate for 127.0.0.1 is made beside the service's data,
# the service presents it and the client trusts it ("TLS_CA_File").
if [ ! -s "$serviceDir/tls-cert.pem" ] || [ ! -s "$serviceDir/tls-key.pem" ]; then
  (umask 077 && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3650 \
    -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
    -keyout "$serviceDir/tls-key.pem" -out "$serviceDir/tls-cert.pem" 2> /dev/null)
fi
# Every client of this service is on loopback, where the relay sends nothing by default.
service=("$build/server/zandrel-server" --bind 127.0.0.1 --port-base "$portBase" --data "$serviceDir"
  --tls-cert "$serviceDir/tls-cert.pem" --tls-key "$serviceDir/tls-key.pem" --relay-private-targets 1)

if [ ! -x "$build/client/zandrel" ]; then
  echo "zandrel: the client program is not part of this build yet; starting the service alone (Ctrl-C stops it)."
  exec "${service[@]}"
fi

# Whether the service this script family started is running.
service_running() {
  local pid
  pid=$(cat "$serviceDir/service.pid" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}

# Starts the service unless it runs already. It gets a session of its own, so
# neither Ctrl-C nor a closed terminal of the run that started it ends it
# while other clients still use it.
start_service() {
  exec {startLock}>"$serviceDir/.start.lock"
  flock "$startLock"
  if ! service_running; then
    # The locks are this script's, not the service's: closed for it.
    setsid "${service[@]}" > "$serviceDir/service.out" 2> "$serviceDir/service.log" < /dev/null \
      {startLock}>&- {clientsLock}>&- &
    echo $! > "$serviceDir/service.pid"
    for _ in $(seq 100); do
      grep -q ready "$serviceDir/service.out" && break
      service_running || { echo "zandrel: the service did not start; see $serviceDir/service.log" >&2; exit 1; }
      sleep 0.1
    done
  fi
  flock -u "$startLock"
}

# Ends the service when no other client started by this script still runs:
# every run holds a shared lock on the clients' list while its client runs,
# so an exclusive one means this was the last.
stop_service_if_last() {
  flock -u "$clientsLock"
  if flock -n -x "$clientsLock"; then
    local pid
    pid=$(cat "$serviceDir/service.pid" 2>/dev/null || true)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid"
      while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
    fi
    rm -f "$serviceDir/service.pid"
  fi
}

# The first client folder no running client holds; the lock stays ours (and
# the client's) until the client ends.
take_client_folder() {
  local n=1
  while :; do
    clientDir=$runDir/client-$n
    mkdir -p "$clientDir"
    exec {folderLock}>"$clientDir/.run.lock"
    flock -n "$folderLock" && return
    exec {folderLock}>&-
    n=$((n + 1))
  done
}

exec {clientsLock}>"$serviceDir/.clients.lock"
flock -s "$clientsLock"
start_service
take_client_folder
cd "$clientDir"
# The client runs in the folder that holds its skin: the template and every
# picture and sound it names. Without a skin it still runs, with no windows.
if [ -f "$top/skin/template.xml" ]; then
  cp -R "$top/skin/." "$clientDir/"
else
  echo "<skin></skin>" > "$clientDir/template.xml"
fi
# The service's address goes into the settings, not onto the command line:
# a restart after a crash keeps only "-log x" and must sign in to the same
# service. The settings end at their first empty line, which the client
# writes after the last one: the address goes in first.
touch settings.ini
{ echo "AUTHENTICATE_Host: 127.0.0.1:$portBase"; echo "TLS_CA_File: $serviceDir/tls-cert.pem"
  grep -iv '^authenticate_host:\|^tls_ca_file:' settings.ini || true; } > settings.ini.new
mv settings.ini.new settings.ini
echo "zandrel: client in $clientDir (its full log: $clientDir/zandrel.log), service in $serviceDir"
# Ctrl-C and SIGTERM reach the client, which signs off and ends; this script
# waits for it and then stops the service if no other client uses it.
trap ':' INT TERM
status=0
"$build/client/zandrel" "$@" {clientsLock}>&- {folderLock}>&- || status=$?
stop_service_if_last
exit "$status"
