#!/usr/bin/env bash
# Keeps the include directions: libzan includes nothing of client/, server/
# or imageprims/ headers from its public headers; imageprims uses only
# libzan/include; server uses nothing of client/; portable code includes no
# socket, X11 or ALSA header.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
fail=0
report() { echo "check-includes: $1"; fail=1; }

client_headers=$(cd client 2>/dev/null && find . -name '*.h' -printf '%f\n' || true)
server_headers=$(cd server 2>/dev/null && find . -name '*.h' -printf '%f\n' || true)

includes_of() { grep -HnE '^\s*#\s*include\s*[<"]' -r "$@" 2>/dev/null || true; }

for h in $client_headers; do
  hits=$(includes_of libzan imageprims server | grep -E "[<\"/]$h[\">]" || true)
  [ -n "$hits" ] && report "includes a client header outside client/: $hits"
done
for h in $server_headers; do
  hits=$(includes_of libzan imageprims client | grep -E "[<\"/]$h[\">]" || true)
  [ -n "$hits" ] && report "includes a server header outside server/: $hits"
done
# System headers of the platform only in the platform layer and the server.
portable=$(find libzan/src imageprims client -name '*.cpp' -o -name '*.h' 2>/dev/null | grep -v 'ZNonPortable_' || true)
for f in $portable; do
  hits=$(grep -HnE '^\s*#\s*include\s*<(sys/socket\.h|netinet/|arpa/inet\.h|netdb\.h|X11/|alsa/|linux/videodev2\.h|miniupnpc/)' "$f" || true)
  [ -n "$hits" ] && report "platform header in portable code: $hits"
done
[ $fail -eq 0 ] && echo "check-includes: ok"
exit $fail
