#!/usr/bin/env bash
# UPnP port mapping against a real router daemon. Network namespaces of this
# run only: a LAN with our computer (192.168.77.2) behind a router running
# miniupnpd, whose outside interface has an address of a range that exists
# only between these namespaces. Checked, with upnpc listing the router's
# table from the LAN:
#   the mapping is added for our address and port and removed on close;
#   a stale entry of ours on the drawn port is replaced;
#   another program's entry on this very computer (same address, another
#   port and description) is left alone, and no mapping is made there;
#   a router whose outside address cannot be reached from the internet (it
#   says it is not connected) is asked once, with one warning.
# Needs root, iproute2, iptables (legacy) and miniupnpd; exits 77 without.
#
# Usage: upnp_real_router.sh <zanupnp>
set -u
# A program that died before reading its fifo must fail a check, not kill
# the script with the write.
trap '' PIPE
program=$(readlink -f "$1")

skip() {
  echo "SKIP: $1"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root"
command -v ip > /dev/null || skip "needs iproute2"
command -v iptables-legacy > /dev/null || skip "needs iptables-legacy"
command -v miniupnpd > /dev/null || skip "needs miniupnpd"
command -v upnpc > /dev/null || skip "needs upnpc"
[ -x "$program" ] || skip "no program at $program"

tag=zu$(($$ % 100000))
work=$(mktemp -d)
failures=0

teardown() {
  for ns in l r w; do
    ip netns pids "$tag$ns" 2> /dev/null | xargs -r kill -9 2> /dev/null
  done
  for ns in l r w; do ip netns del "$tag$ns" 2> /dev/null; done
  sleep 0.2
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

fail() {
  echo "FAIL: $1"
  failures=$((failures + 1))
}

# The LAN, the router and the outside, with the router's outside address $1.
topology() {
  local outside=$1
  for ns in l r w; do
    ip netns add "$tag$ns" || return 1
    inns $ns ip link set lo up
  done
  ip link add "${tag}lr" type veth peer name "${tag}rl" || return 1
  ip link add "${tag}rw" type veth peer name "${tag}wr" || return 1
  ip link set "${tag}lr" netns "${tag}l"
  ip link set "${tag}rl" netns "${tag}r"
  ip link set "${tag}rw" netns "${tag}r"
  ip link set "${tag}wr" netns "${tag}w"
  inns l ip addr add 192.168.77.2/24 dev "${tag}lr"
  inns r ip addr add 192.168.77.1/24 dev "${tag}rl"
  inns r ip addr add "$outside.1/24" dev "${tag}rw"
  inns w ip addr add "$outside.2/24" dev "${tag}wr"
  inns l ip link set "${tag}lr" up
  inns r ip link set "${tag}rl" up
  inns r ip link set "${tag}rw" up
  inns w ip link set "${tag}wr" up
  inns l ip route add default via 192.168.77.1
  inns l ip route add 224.0.0.0/4 dev "${tag}lr"
  # The chains the router daemon fills.
  for t in nat filter mangle; do inns r iptables-legacy -t $t -N MINIUPNPD || return 1; done
  inns r iptables-legacy -t nat -N MINIUPNPD-POSTROUTING || return 1
  cat > "$work/miniupnpd.conf" << CONF
ext_ifname=${tag}rw
listening_ip=${tag}rl
http_port=5000
enable_natpmp=no
enable_upnp=yes
secure_mode=no
system_uptime=yes
lease_file=$work/leases
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
allow 1024-65535 192.168.77.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  : > "$work/leases"
  inns r miniupnpd -f "$work/miniupnpd.conf" -d > "$work/miniupnpd.log" 2>&1 &
  for _ in $(seq 50); do
    inns r ss -ltn 2> /dev/null | grep -q ':5000 ' && return 0
    sleep 0.1
  done
  return 1
}

# The router's UDP table as seen from the LAN: "external->client:internal 'description'" lines.
table() {
  inns l upnpc -u http://192.168.77.1:5000/rootDesc.xml -l 2> /dev/null |
    sed -n "s/^ *[0-9]* UDP *\([0-9]*\)->\([0-9.]*:[0-9]*\) *'\([^']*\)'.*/\1->\2 '\3'/p"
}

add_entry() { # internal port, description
  inns l upnpc -u http://192.168.77.1:5000/rootDesc.xml -e "$2" -a 192.168.77.2 "$1" 50000 UDP > /dev/null 2>&1
}

# Runs the program in the LAN; its output goes to $work/out. It keeps its
# mapping until fifo $work/in gets a line.
start_program() {
  rm -f "$work/in"
  mkfifo "$work/in"
  inns l "$program" 192.168.77.2:4000 50000 50000 < "$work/in" > "$work/out" 2>&1 &
  program_pid=$!
  exec 3> "$work/in"
  for _ in $(seq 300); do
    grep -qE '^(mapped|none)' "$work/out" && return 0
    sleep 0.1
  done
  return 1
}
stop_program() {
  echo >&3
  exec 3>&-
  wait "$program_pid"
}

echo "== a connected router"
if ! topology 11.22.33; then
  fail "topology"
else
  add_entry 5555 OtherApp
  start_program || fail "the program did not answer"
  grep -q '^none' "$work/out" || fail "a mapping was made over another program's entry: $(cat "$work/out")"
  stop_program
  [ "$(table)" = "50000->192.168.77.2:5555 'OtherApp'" ] || fail "another program's entry changed: $(table)"

  inns l upnpc -u http://192.168.77.1:5000/rootDesc.xml -d 50000 UDP > /dev/null 2>&1
  add_entry 3999 Zandrel
  start_program || fail "the program did not answer"
  grep -q '^mapped 50000' "$work/out" || fail "no mapping over a stale entry of ours: $(cat "$work/out")"
  [ "$(table)" = "50000->192.168.77.2:4000 'Zandrel'" ] || fail "the mapping is not in the table: $(table)"
  stop_program
  grep -q '^closed' "$work/out" || fail "the program did not close"
  [ -z "$(table)" ] || fail "the mapping stayed after close: $(table)"
  ! grep -q 'log:' "$work/out" || fail "log lines on success: $(grep 'log:' "$work/out")"
fi
teardown

echo "== a router that is not connected"
# 203.0.113.0/24 is a documentation range: the router knows no one outside
# can reach it and says it is not connected.
if ! topology 203.0.113; then
  fail "topology"
else
  start_program || fail "the program did not answer"
  stop_program
  grep -q '^none' "$work/out" || fail "a mapping on a router that is not connected: $(cat "$work/out")"
  [ "$(grep -c 'log: .*WARNING' "$work/out")" = 1 ] || fail "not one warning: $(cat "$work/out")"
fi

if [ "$failures" -eq 0 ]; then
  echo "upnp real router: all passed"
  exit 0
fi
echo "upnp real router: $failures failed"
exit 1
