#!/usr/bin/env bash
# Starts or stops the private Xvfb of one build tree's X tests:
#   xvfb.sh start <display> <pidfile> | stop <pidfile>
# Each build tree has its own display number, so test runs of several trees
# never move each other's pointer or steal each other's grabs.
set -euo pipefail
case "${1:-}" in
start)
  display=$2 pidfile=$3
  num=${display#:}
  if [ -S "/tmp/.X11-unix/X$num" ] && xdpyinfo -display "$display" >/dev/null 2>&1; then
    exit 0  # already running (a previous run, or test.sh)
  fi
  rm -f "/tmp/.X$num-lock" "/tmp/.X11-unix/X$num"
  Xvfb "$display" -screen 0 1280x1024x24 +extension Composite -nolisten tcp >/dev/null 2>&1 &
  echo $! >"$pidfile"
  for _ in $(seq 1 100); do
    xdpyinfo -display "$display" >/dev/null 2>&1 && exit 0
    sleep 0.05
  done
  echo "xvfb: Xvfb $display did not come up" >&2
  exit 1
  ;;
stop)
  pidfile=$2
  if [ -f "$pidfile" ]; then
    kill "$(cat "$pidfile")" 2>/dev/null || true
    rm -f "$pidfile"
  fi
  ;;
*)
  echo "usage: xvfb.sh start <display> <pidfile> | stop <pidfile>" >&2
  exit 2
  ;;
esac
