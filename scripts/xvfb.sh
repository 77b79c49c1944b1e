#!/usr/bin/env bash
# Starts or stops the private Xvfb of one build tree's X tests:
#   xvfb.sh start <display> <pidfile> | start-desktop <display> <pidfile> | stop <pidfile>
# start-desktop brings up a desktop as users have one on that server: the
# openbox window manager, the xcompmgr compositor and a trayer system tray,
# each ready before the script returns.
# Each build tree has its own display number, so test runs of several trees
# never move each other's pointer or steal each other's grabs.
#
# The server never resets: by default an X server resets whenever its last
# client leaves, and a test that connects while the previous test's reset is
# still going on is refused ("unable to open display"). Stopping waits until
# the server has gone, so a run that follows at once never meets a server
# that is still shutting down and would take its socket away.
set -euo pipefail
start_server() {
  local display=$1 pidfile=$2 num=${1#:}
  rm -f "/tmp/.X$num-lock" "/tmp/.X11-unix/X$num"
  Xvfb "$display" -screen 0 1280x1024x24 +extension Composite -nolisten tcp -noreset >/dev/null 2>&1 &
  echo $! >"$pidfile"
  # Up to 30 s: a loaded machine can be slow to bring it up.
  for _ in $(seq 1 600); do
    xdpyinfo -display "$display" >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "xvfb: Xvfb $display did not come up" >&2
  exit 1
}

# Waits up to 30 s for a test of the desktop's to hold.
wait_for() {
  local what=$1
  shift
  for _ in $(seq 1 600); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "xvfb: the $what did not come up" >&2
  exit 1
}

case "${1:-}" in
start-desktop)
  display=$2 pidfile=$3
  num=${display#:}
  if [ -S "/tmp/.X11-unix/X$num" ] && xdpyinfo -display "$display" >/dev/null 2>&1; then
    exit 0
  fi
  start_server "$display" "$pidfile"
  export DISPLAY=$display
  openbox --sm-disable >/dev/null 2>&1 &
  echo $! >>"$pidfile"
  wait_for "window manager" sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
  xcompmgr >/dev/null 2>&1 &
  echo $! >>"$pidfile"
  trayer --edge bottom --align right --widthtype pixel --width 120 --height 24 --SetDockType true \
    --transparent false >/dev/null 2>&1 &
  echo $! >>"$pidfile"
  wait_for "system tray" sh -c 'xwininfo -root -tree | grep -q "\"panel\": (\"panel\" \"trayer\")"'
  ;;
start)
  display=$2 pidfile=$3
  num=${display#:}
  if [ -S "/tmp/.X11-unix/X$num" ] && xdpyinfo -display "$display" >/dev/null 2>&1; then
    exit 0  # already running (a previous run, or test.sh)
  fi
  start_server "$display" "$pidfile"
  ;;
stop)
  pidfile=$2
  if [ -f "$pidfile" ]; then
    # The desktop's programs first, the server (the first line) last.
    for pid in $(tail -n +2 "$pidfile"); do kill "$pid" 2>/dev/null || true; done
    pid=$(head -n 1 "$pidfile")
    if kill "$pid" 2>/dev/null; then
      # Up to 10 s for it to go, then it is killed outright.
      gone=0
      for _ in $(seq 1 200); do
        if ! kill -0 "$pid" 2>/dev/null; then gone=1; break; fi
        sleep 0.05
      done
      [ "$gone" = 1 ] || kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile"
  fi
  ;;
*)
  echo "usage: xvfb.sh start|start-desktop <display> <pidfile> | stop <pidfile>" >&2
  exit 2
  ;;
esac
