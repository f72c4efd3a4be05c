#!/bin/sh
# Builds the GOST provider's key-blob libFuzzer target with clang (ASan + UBSan) over the
# whole platform library and runs it for FUZZ_SECONDS (default 60). Seeds are blobs the
# provider itself writes and a PKCS#8 key from openssl with its GOST engine.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${FUZZ_OUT:-$ROOT/build-fuzz}/prov
SECONDS_EACH=${FUZZ_SECONDS:-60}
mkdir -p "$OUT/obj" "$OUT/corpus"
FLAGS="-std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -DVEXORCSP_BUILD
       -DOPENSSL_SUPPRESS_DEPRECATED -I$ROOT/include -I$ROOT"
OBJS=""
for src in "$ROOT"/platform/*.cpp; do
  o="$OUT/obj/$(basename "$src" .cpp).o"
  if [ ! -f "$o" ] || [ "$src" -nt "$o" ]; then
    clang++ $FLAGS -fsanitize=fuzzer-no-link -c "$src" -o "$o"
  fi
  OBJS="$OBJS $o"
done
bin="$OUT/fuzz_key_blobs"
clang++ $FLAGS -fsanitize=fuzzer "$ROOT/tests/fuzz/fuzz_key_blobs.cpp" $OBJS -lcrypto -pthread -o "$bin"

if [ ! -f "$OUT/corpus/seed_pkcs8" ]; then
  T=$(mktemp -d)
  openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -outform DER \
    -out "$T/k.der" >/dev/null 2>&1
  { printf '\003'; cat "$T/k.der"; } > "$OUT/corpus/seed_pkcs8"
  # A PUBLICKEYBLOB (CryptoPro-A, 100 bytes) for paths 0 and 1.
  printf '\000\006\040\000\000\044\252\000\000\115\101\107\061\000\002\000\000' > "$T/h"
  printf '\060\022\006\007\052\205\003\002\002\043\001\006\007\052\205\003\002\002\036\001' >> "$T/h"
  head -c 64 /dev/urandom >> "$T/h"
  cp "$T/h" "$OUT/corpus/seed_public"
  rm -rf "$T"
fi
echo "== fuzz_key_blobs for ${SECONDS_EACH}s"
"$bin" -max_total_time="$SECONDS_EACH" -max_len=4096 -rss_limit_mb=2048 "$OUT/corpus"
