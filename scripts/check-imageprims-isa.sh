#!/usr/bin/env bash
# Audits the instructions of the image primitives in a built libzan archive:
# no VEX-encoded, SSSE3 or SSE4 instruction anywhere, SSE3 only in the three
# one-channel super-sampling kernels of slot 4, and the horizontal add there
# in each of them (their lane join). Usage: check-imageprims-isa.sh libzan.a
set -euo pipefail
archive=${1:?usage: check-imageprims-isa.sh libzan.a}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ar x "$archive"
shopt -s nullglob
objects=(zp*.o)
[ ${#objects[@]} -gt 0 ] || { echo "check-imageprims-isa: no image primitive objects in $archive"; exit 1; }

objdump -d --no-show-raw-insn "${objects[@]}" | awk '
  BEGIN {
    split("pshufb phaddw phaddd phaddsw phsubw phsubd phsubsw pmaddubsw pmulhrsw psignb psignw psignd pabsb pabsw pabsd palignr", a)
    for (i in a) ssse3[a[i]] = 1
    split("pblendw pblendvb blendps blendpd blendvps blendvpd dpps dppd insertps extractps pextrb pextrd pextrq pinsrb pinsrd pinsrq pmaxsb pmaxsd pmaxud pmaxuw pminsb pminsd pminud pminuw pmovsxbw pmovsxbd pmovsxbq pmovsxwd pmovsxwq pmovsxdq pmovzxbw pmovzxbd pmovzxbq pmovzxwd pmovzxwq pmovzxdq pmuldq pmulld ptest roundps roundpd roundss roundsd packusdw pcmpeqq pcmpgtq mpsadbw phminposuw movntdqa pcmpestri pcmpestrm pcmpistri pcmpistrm crc32", b)
    for (i in b) sse4[b[i]] = 1
    split("haddps haddpd hsubps hsubpd addsubps addsubpd movddup movshdup movsldup lddqu fisttp fisttps fisttpl fisttpll", c)
    for (i in c) sse3[c[i]] = 1
    fail = 0
  }
  /^[0-9a-f]+ <.*>:$/ { fn = $2; next }
  /^ +[0-9a-f]+:\t/ {
    split($0, parts, "\t"); split(parts[2], words, " "); op = words[1]
    if (op ~ /^v/ && parts[2] ~ /%[xyz]mm/) { print "VEX instruction " op " in " fn; fail = 1 }
    if (op in ssse3) { print "SSSE3 instruction " op " in " fn; fail = 1 }
    if (op in sse4) { print "SSE4 instruction " op " in " fn; fail = 1 }
    if (op in sse3) {
      if (fn !~ /resize(8u|16u|32f)_superC1_sse3/) { print "SSE3 instruction " op " in " fn; fail = 1 }
      else if (op == "haddps") { match(fn, /resize(8u|16u|32f)_superC1_sse3/); hadd[substr(fn, RSTART, RLENGTH)] = 1 }
    }
  }
  END {
    split("resize8u_superC1_sse3 resize16u_superC1_sse3 resize32f_superC1_sse3", k)
    for (i in k) if (!(k[i] in hadd)) { print "no haddps in " k[i]; fail = 1 }
    exit fail
  }' || { echo "check-imageprims-isa: failed"; exit 1; }
echo "check-imageprims-isa: ok"
