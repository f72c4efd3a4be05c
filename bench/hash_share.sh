#!/bin/sh
# How close the PKCS#7 paths come to the hash itself: BENCH_MB (default 200) MB signed
# detached and attached and verified both ways through the vexor tool (a file in),
# each rate beside the provider's own GOST R 34.11-94 rate (CryptHashData in memory,
# build/bin/provider_bench) from the same run. Medians of RUNS (default 3) runs; openssl cms
# checks the detached signature. The timed attached runs write to /dev/null: on a virtual
# machine the first touch of pages the guest gave back to its host costs more than the
# hashing (a 200 MB `dd` into a new file took 3.2 s, the same again 0.1 s), which is the
# machine's, not the signature's; one more run writes the verified content to a file and
# compares it with the input. Needs a built tree (build/ by default, BUILD=...).
set -eu
. "$(dirname "$0")/bench_env.sh"
MB=${BENCH_MB:-200}
RUNS=${RUNS:-3}

openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/u.key" \
  -subj "/O=Bench/CN=Bench" -days 30 -out "$T/u.pem" >/dev/null 2>&1
"$V" store install --cert "$T/u.pem" --key "$T/u.key" --no-pin >/dev/null
head -c "$((MB * 1000000))" /dev/urandom > "$T/data"

wall() { # seconds of one run of the command
  s=$(date +%s.%N); "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  e=$(date +%s.%N); echo "$e - $s" | bc; }
# rate NAME OUTPUT COMMAND...: the previous run's output is removed before each timed run, so
# freeing its pages is not counted as this run's writing.
rate() { name=$1; out=$2; shift 2; i=0; : > "$T/$name"
  while [ "$i" -lt "$RUNS" ]; do rm -f "$out"; wall "$@" >> "$T/$name"; i=$((i + 1)); done
  echo "$MB / $(median < "$T/$name")" | bc -l; }

hash_rate() { "$BUILD/bin/provider_bench" 2>/dev/null | sed -n 's/^CryptHashData.*) *\([0-9.]*\) MB\/s.*/\1/p'; }
hash_before=$(hash_rate)
sd=$(rate sign_d "$T/d.p7s" "$V" sign --detached --signer Bench --workdir "$T/work" -i "$T/data" -o "$T/d.p7s")
"$V" sign --signer Bench --workdir "$T/work" -i "$T/data" -o "$T/a.p7m" >/dev/null 2>&1
sa=$(rate sign_a "" "$V" sign --signer Bench --workdir "$T/work" -i "$T/data" -o /dev/null)
vd=$(rate verify_d "" "$V" verify --content "$T/data" --workdir "$T/work" -i "$T/d.p7s")
va=$(rate verify_a "" "$V" verify --workdir "$T/work" -i "$T/a.p7m" -o /dev/null)
"$V" verify --workdir "$T/work" -i "$T/a.p7m" -o "$T/out" >/dev/null 2>&1
hash=$(echo "($hash_before + $(hash_rate)) / 2" | bc -l)  # measured before and after the runs
cmp -s "$T/out" "$T/data" || { echo "attached verification gave other bytes" >&2; exit 1; }
openssl cms -verify -engine gost -binary -inform DER -in "$T/d.p7s" -content "$T/data" -noverify \
  -out /dev/null >/dev/null 2>&1 || { echo "openssl cms does not verify the signature" >&2; exit 1; }
printf "%s MB, medians of %s runs; provider's GOST R 34.11-94 in memory: %.1f MB/s\n" "$MB" "$RUNS" "$hash"
for c in "sign --detached:$sd" "sign (attached):$sa" "verify --content:$vd" "verify (attached):$va"; do
  awk -v n="${c%%:*}" -v r="${c##*:}" -v h="$hash" 'BEGIN { printf "  %-18s %6.1f MB/s  %.2f of the hash\n", n, r, r / h }'
done
