#!/bin/sh
# Encryption and decryption benchmark: BENCH_MIB (default 499: the message of a 500 MiB
# plaintext is just above the library's 500 MiB decryption cap) MiB of random data encrypted
# for two GOST recipients by the library (the vexor tool as the host: libvexor.so loaded
# with dlopen, its own enveloped-data writer) and by `openssl cms -encrypt -gost89`, and the
# openssl message decrypted by the library and by `openssl cms -decrypt`, all in the same
# run. Reports the median wall time of RUNS runs (default 3) of each, the ratios and the
# peak resident memory of the library's runs (limit 64 MiB); checks that every plaintext
# comes back byte for byte and that no temporary file is left. Needs a built tree (build/
# by default, BUILD=...).
set -eu
. "$(dirname "$0")/bench_env.sh"
MIB=${BENCH_MIB:-499}
RUNS=${RUNS:-3}
export TMP="$T/tmp" TMPDIR="$T/tmp"
mkdir -p "$TMP"
export CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet

for u in one two; do
  openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/$u.key" \
    -subj "/O=Bench/CN=Bench $u" -days 30 -addext keyUsage=keyEncipherment,keyAgreement \
    -out "$T/$u.pem" >/dev/null 2>&1
done
"$V" store install --cert "$T/one.pem" --key "$T/one.key" --no-pin >/dev/null
"$V" store add-my "$T/two.pem" >/dev/null
head -c "$((MIB * 1048576))" /dev/urandom > "$T/plain"
openssl cms -encrypt -engine gost -gost89 -binary -outform DER -in "$T/plain" -out "$T/openssl.p7m" \
  "$T/one.pem" "$T/two.pem" 2>/dev/null

i=0
while [ "$i" -lt "$RUNS" ]; do
  run enc "$V" encrypt --workdir "$T/work" --to "Bench one" --to "Bench two" -i "$T/plain" -o "$T/lib.p7m"
  run enc_ossl openssl cms -encrypt -engine gost -gost89 -binary -outform DER -in "$T/plain" -out "$T/o.p7m" \
    "$T/one.pem" "$T/two.pem"
  run dec "$V" decrypt --workdir "$T/work" -i "$T/openssl.p7m" -o "$T/back"
  cmp -s "$T/back" "$T/plain" || { echo "the library's decryption differs"; exit 1; }
  run dec_ossl openssl cms -decrypt -engine gost -binary -inform DER -in "$T/openssl.p7m" -recip "$T/one.pem" \
    -inkey "$T/one.key" -out "$T/back"
  [ -z "$(ls -A "$TMP")" ] || { echo "temporary files left behind"; ls -l "$TMP"; exit 1; }
  i=$((i + 1))
done
# What the library wrote opens with openssl.
openssl cms -decrypt -engine gost -binary -inform DER -in "$T/lib.p7m" -recip "$T/two.pem" -inkey "$T/two.key" \
  -out "$T/back" 2>/dev/null && cmp -s "$T/back" "$T/plain" || { echo "openssl cannot open the library's message"; exit 1; }

e=$(median < "$T/enc.wall"); eo=$(median < "$T/enc_ossl.wall"); d=$(median < "$T/dec.wall"); dso=$(median < "$T/dec_ossl.wall")
echo "size ${MIB} MiB, ${RUNS} runs, medians:"
echo "  encrypt: library ${e} s, openssl cms -encrypt ${eo} s"
echo "  decrypt: library ${d} s, openssl cms -decrypt ${dso} s"
awk -v e="$e" -v eo="$eo" -v d="$d" -v dso="$dso" 'BEGIN {
  printf "  throughput ratio library/openssl (1 = as fast): encrypt %.2f, decrypt %.2f\n", eo / e, dso / d }'
echo "  peak resident memory (KiB): $(awk '{ print $1 "=" $2 }' "$T/peaks" | tr '\n' ' ')"
awk '($1 == "enc" || $1 == "dec") && $2 >= 65536 { bad = 1 } END { exit bad }' "$T/peaks" ||
  { echo "a library run's peak resident memory is over 64 MiB"; exit 1; }
