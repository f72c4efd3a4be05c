#!/bin/sh
# Inputs past 4 GiB: a sparse file of BENCH_GIB (default 5) GiB signed detached (PKCS#7 and
# "141") and verified by the vexor tool, and the PKCS#7 signature checked by
# `openssl cms -verify` too. Reports wall time and peak resident memory of each run. Needs a
# built tree (build/ by default, BUILD=...); takes minutes (the hash runs at its own speed
# over every byte).
set -eu
. "$(dirname "$0")/bench_env.sh"
GIB=${BENCH_GIB:-5}
openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/u.key" \
  -subj "/CN=Large" -days 30 -out "$T/u.pem" >/dev/null 2>&1
"$V" store install --cert "$T/u.pem" --key "$T/u.key" --no-pin >/dev/null
truncate -s "${GIB}G" "$T/big"
printf 'the end' >> "$T/big"  # a non-zero tail past the 32-bit boundary

step() {
  name=$1; shift
  /usr/bin/time -f "  $name: %e s, peak %M KiB" "$@" >/dev/null 2>"$T/err" || { cat "$T/err"; echo "$name failed"; exit 1; }
  tail -1 "$T/err"
}
echo "input $(stat -c %s "$T/big") bytes (sparse)"
step "sign detached (PKCS#7)" "$V" sign --detached --signer Large --workdir "$T/work" -i "$T/big" -o "$T/big.p7s"
step "verify detached (PKCS#7)" "$V" verify --workdir "$T/work" -i "$T/big.p7s" --content "$T/big"
step "openssl cms -verify" openssl cms -verify -engine gost -binary -inform DER -in "$T/big.p7s" -content "$T/big" \
  -CAfile "$T/u.pem" -out /dev/null
step "sign detached (141)" "$V" sign --detached --format 141 --signer Large --workdir "$T/work" -i "$T/big" \
  -o "$T/big.s141"
step "verify detached (141)" "$V" verify --format 141 --workdir "$T/work" -i "$T/big.s141" --content "$T/big" \
  --expect Large
