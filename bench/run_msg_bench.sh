#!/bin/sh
# Message streaming benchmark: decrypts a 500 MiB GOST enveloped message and verifies a
# 500 MiB attached signature through the platform's stream callback, reports peak resident
# memory (limit 64 MiB) and the decryption throughput as a ratio to `openssl cms -decrypt`
# on the same file in the same run. Needs a built tree (build/ by default, BUILD=...).
# BENCH_MIB changes the size.
set -eu
. "$(dirname "$0")/bench_env.sh"
MIB=${BENCH_MIB:-500}
g++ -std=c++20 -O2 -I"$ROOT/include" "$ROOT/bench/bench_msg_stream.cpp" -L"$BUILD/lib" -lvexorcsp \
  -Wl,-rpath,"$BUILD/lib" -o "$T/bench"

openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/k.pem" \
  -subj "/C=RU/O=Bench/CN=Bench" -days 30 -out "$T/c.pem" >/dev/null 2>&1
head -c "$((MIB * 1048576))" /dev/urandom > "$T/plain"
CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet openssl cms -encrypt -engine gost -gost89 \
  -stream -binary -in "$T/plain" -outform DER -out "$T/enc.der" -recip "$T/c.pem" 2>/dev/null
openssl cms -sign -engine gost -nodetach -stream -binary -md md_gost94 -signer "$T/c.pem" \
  -inkey "$T/k.pem" -in "$T/plain" -outform DER -out "$T/signed.der" 2>/dev/null
rm -f "$T/plain"


/usr/bin/time -v "$T/bench" decrypt "$T/enc.der" "$T/k.pem" 2> "$T/t1" || { cat "$T/t1"; exit 1; }
/usr/bin/time -v openssl cms -decrypt -engine gost -binary -inform DER -in "$T/enc.der" \
  -recip "$T/c.pem" -inkey "$T/k.pem" -out /dev/null 2> "$T/t2"
/usr/bin/time -v "$T/bench" verify "$T/signed.der" 2> "$T/t3" || { cat "$T/t3"; exit 1; }

ours=$(secs "$T/t1"); theirs=$(secs "$T/t2")
echo "decrypt: peak $(peak "$T/t1") KiB, ${ours} s; openssl cms -decrypt ${theirs} s, peak $(peak "$T/t2") KiB"
awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "decrypt throughput ratio (platform / openssl): %.2f\n", b / a }'
echo "verify:  peak $(peak "$T/t3") KiB, $(secs "$T/t3") s"
for f in "$T/t1" "$T/t3"; do
  [ "$(peak "$f")" -lt 65536 ] || { echo "peak resident memory over 64 MiB"; exit 1; }
done
