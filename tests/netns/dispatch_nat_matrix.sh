#!/usr/bin/env bash
# The connection classes behind real NATs. Three network namespaces joined
# by veth pairs: the service (zandrel-server) in one, the headless client
# behind a router in another, and the router between them, which
#   RESTRICTED  masquerades (a reply gets in only where the client has sent),
#   SYMMETRIC   masquerades with a random port per destination,
#   FIREWALL    masquerades and drops every UDP datagram it would forward.
# Each class must be found as such and end Online. Needs root, iproute2 and
# iptables; exits 77 (skipped) without them.
#
# Usage: dispatch_nat_matrix.sh <zandrel-server> <zandispatch> [class ...]
set -u
server=$(readlink -f "$1")
client=$(readlink -f "$2")
shift 2
classes=${*:-RESTRICTED SYMMETRIC FIREWALL}

skip() {
  echo "SKIP: $1"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root"
command -v ip > /dev/null || skip "needs iproute2"
command -v iptables > /dev/null || skip "needs iptables"
[ -x "$server" ] || skip "no server at $server"
[ -x "$client" ] || skip "no headless client at $client"

# Names of this run only, so parallel runs never meet.
tag=zd$(($$ % 100000))
work=$(mktemp -d)
pids=()
failures=0

teardown() {
  # Whatever still runs inside our namespaces goes first: a background job's
  # pid may be a wrapper shell rather than the program it started.
  for ns in c r s; do
    ip netns pids "$tag$ns" 2> /dev/null | xargs -r kill -9 2> /dev/null
  done
  for p in "${pids[@]}"; do
    kill -9 "$p" 2> /dev/null
    wait "$p" 2> /dev/null
  done
  pids=()
  exec 3>&- 2> /dev/null
  for ns in c r s; do ip netns del "$tag$ns" 2> /dev/null; done
}
cleanup() {
  teardown
  rm -rf "$work"
}
trap cleanup EXIT

inns() {
  local ns=$1
  shift
  ip netns exec "$tag$ns" "$@"
}

# Waits up to $2 seconds for a line holding $3 in file $1.
wait_for() {
  local file=$1 seconds=$2 text=$3
  for _ in $(seq $((seconds * 10))); do
    grep -qF -- "$text" "$file" 2> /dev/null && return 0
    sleep 0.1
  done
  return 1
}

topology() {
  local class=$1
  for ns in c r s; do
    ip netns add "$tag$ns" || return 1
    inns $ns ip link set lo up
  done
  ip link add "${tag}cr" type veth peer name "${tag}rc" || return 1
  ip link add "${tag}sr" type veth peer name "${tag}rs" || return 1
  ip link set "${tag}cr" netns "${tag}c"
  ip link set "${tag}rc" netns "${tag}r"
  ip link set "${tag}sr" netns "${tag}s"
  ip link set "${tag}rs" netns "${tag}r"
  inns c ip addr add 10.77.1.2/24 dev "${tag}cr"
  inns r ip addr add 10.77.1.1/24 dev "${tag}rc"
  inns r ip addr add 10.77.2.1/24 dev "${tag}rs"
  inns s ip addr add 10.77.2.2/24 dev "${tag}sr"
  inns c ip link set "${tag}cr" up
  inns r ip link set "${tag}rc" up
  inns r ip link set "${tag}rs" up
  inns s ip link set "${tag}sr" up
  inns c ip route add default via 10.77.1.1
  inns r sysctl -qw net.ipv4.ip_forward=1
  case $class in
    RESTRICTED) inns r iptables -t nat -A POSTROUTING -o "${tag}rs" -j MASQUERADE ;;
    SYMMETRIC) inns r iptables -t nat -A POSTROUTING -o "${tag}rs" -j MASQUERADE --random-fully ;;
    FIREWALL)
      inns r iptables -t nat -A POSTROUTING -o "${tag}rs" -j MASQUERADE
      inns r iptables -A FORWARD -p udp -j DROP
      ;;
  esac
}

# The log lines each class must show, in this order.
expected_lines() {
  case $1 in
    RESTRICTED)
      echo "STUN complete, connection class is 'RESTRICTED' and route list is 'local://10.77.1.2:"
      ;;
    SYMMETRIC)
      echo "STUN found 'SYMMETRIC' NAT, treating it like firewall."
      echo "TURN complete, connection class is 'FIREWALL' and route list is 'local://10.77.1.2:"
      ;;
    FIREWALL)
      echo "STUN failed, must be behind 'FIREWALL', establishing TURN connection."
      echo "TURN complete, connection class is 'FIREWALL' and route list is 'local://10.77.1.2:"
      ;;
  esac
  echo "Changing state from 'Registering' to 'Online'"
}

fail() {
  echo "FAIL [$class]: $1"
  for f in "$work/$class/server.log" "$work/$class/client.out" "$work/$class/client.err" "$work/$class/client/zandrel"*.log; do
    [ -f "$f" ] && { echo "---- $f"; grep -v "SETTINGS" "$f" | tail -40; }
  done
  failures=$((failures + 1))
}

# The service's hosts speak TLS with a certificate for its address; the
# client trusts it through ZAN_TEST_CA_FILE.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=10.77.2.2" \
  -addext "subjectAltName=IP:10.77.2.2" -keyout "$work/key.pem" -out "$work/cert.pem" 2> /dev/null \
  || { echo "SKIP: cannot make a certificate"; exit 77; }
export ZAN_TEST_CA_FILE=$work/cert.pem

run_class() {
  class=$1
  local dir=$work/$class
  mkdir -p "$dir/client" "$dir/data"
  topology "$class" || { fail "cannot build the namespaces"; return; }

  ip netns exec "${tag}s" "$server" --bind 10.77.2.2 --port-base 20000 --data "$dir/data" --relay-port-low 20100 \
    --relay-port-count 10 --pbkdf2-iterations 20000 --log g --tls-cert "$work/cert.pem" --tls-key "$work/key.pem" \
    > "$dir/server.out" 2> "$dir/server.log" &
  pids+=($!)
  wait_for "$dir/server.out" 20 "ready" || { fail "the service did not start"; return; }

  mkfifo "$dir/in"
  exec 3<> "$dir/in"
  (cd "$dir/client" && exec ip netns exec "${tag}c" "$client" -auth 10.77.2.2:20000 -user "u$class" \
    -password secret -email "u$class@example.org" -upnp http://127.0.0.1:1/rootDesc.xml -log pP \
    -norestart 1 -silent 1 < "$dir/in" > "$dir/client.out" 2> "$dir/client.err") &
  local harness=$!
  pids+=("$harness")
  wait_for "$dir/client.out" 30 "NOTIFY CONNECTED" || { fail "never CONNECTED"; return; }
  local log
  log=$(cat "$dir/client/zandrel.log")
  local line rest=$log
  while IFS= read -r line; do
    case $rest in
      *"$line"*) rest=${rest#*"$line"} ;;
      *) fail "missing or out of order: $line"; return ;;
    esac
  done < <(expected_lines "$class")
  if [ "$class" = RESTRICTED ]; then
    # Host 3's answer never gets in: the class is known only when the wait is over.
    local from to
    from=$(grep -F "Changing state from 'Offline' to 'STUN'" <<< "$log" | head -1 | cut -c8-13)
    to=$(grep -F "Changing state from 'STUN' to 'CHOOSESERVER'" <<< "$log" | head -1 | cut -c8-13)
    local elapsed=$(( (10#${to:0:2} * 3600 + 10#${to:2:2} * 60 + 10#${to:4:2}) - \
      (10#${from:0:2} * 3600 + 10#${from:2:2} * 60 + 10#${from:4:2}) ))
    [ "$elapsed" -ge 5 ] || { fail "classified after ${elapsed}s, before the STUN wait was over"; return; }
  fi
  if [ "$class" = SYMMETRIC ]; then
    grep -qF "STUN complete" <<< "$log" && { fail "a symmetric NAT got a direct route"; return; }
  fi
  echo quit >&3
  wait_for "$dir/client.out" 20 "BYE" || { fail "did not end on quit"; return; }
  echo "PASS [$class]: $(grep -o "complete, connection class is.*" <<< "$log" | head -1)"
}

for class in $classes; do
  run_class "$class"
  teardown
done
[ "$failures" -eq 0 ]
