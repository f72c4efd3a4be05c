#!/bin/sh
# Builds the message decoder's libFuzzer target with clang (ASan + UBSan) over the whole
# platform library and runs it for FUZZ_SECONDS (default 60). Seeds (signed, detached,
# indefinite-length and enveloped messages) are made at run time with openssl and its GOST
# engine.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${FUZZ_OUT:-$ROOT/build-fuzz}/msg
SECONDS_EACH=${FUZZ_SECONDS:-60}
mkdir -p "$OUT/obj" "$OUT/corpus"
FLAGS="-std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -DVEXORCSP_BUILD
       -DOPENSSL_SUPPRESS_DEPRECATED -I$ROOT/include -I$ROOT"
OBJS=""
for src in "$ROOT"/platform/*.cpp; do
  o="$OUT/obj/$(basename "$src" .cpp).o"
  # Rebuilt when the source or any header changed since.
  if [ ! -f "$o" ] || [ "$src" -nt "$o" ] ||
     [ -n "$(find "$ROOT/platform" "$ROOT/include" -name '*.h' -newer "$o" | head -1)" ]; then
    clang++ $FLAGS -fsanitize=fuzzer-no-link -c "$src" -o "$o"
  fi
  OBJS="$OBJS $o"
done
bin="$OUT/fuzz_msg_decode"
clang++ $FLAGS -fsanitize=fuzzer "$ROOT/tests/fuzz/fuzz_msg_decode.cpp" $OBJS -lcrypto -pthread -o "$bin"

if [ ! -f "$OUT/corpus/seed_signed" ]; then
  T=$(mktemp -d)
  openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/k.pem" \
    -subj "/C=RU/O=Fuzz/CN=Seed" -days 30 -out "$T/c.pem" >/dev/null 2>&1
  head -c 3000 /dev/urandom > "$T/in"
  seed() {  # mode byte, seed byte, file
    { printf "\\$(printf '%03o' "$1")"; printf "\\$(printf '%03o' "$2")"; cat "$3"; } > "$OUT/corpus/$4"
  }
  openssl cms -sign -engine gost -nodetach -binary -md md_gost94 -signer "$T/c.pem" -inkey "$T/k.pem" \
    -in "$T/in" -outform DER -out "$T/s.der" >/dev/null 2>&1
  openssl cms -sign -engine gost -nodetach -stream -binary -md md_gost94 -signer "$T/c.pem" \
    -inkey "$T/k.pem" -in "$T/in" -outform DER -out "$T/si.der" >/dev/null 2>&1
  openssl cms -sign -engine gost -binary -md md_gost94 -signer "$T/c.pem" -inkey "$T/k.pem" \
    -in "$T/in" -outform DER -out "$T/sd.der" >/dev/null 2>&1
  CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet openssl cms -encrypt -engine gost -gost89 \
    -stream -binary -in "$T/in" -outform DER -out "$T/e.der" -recip "$T/c.pem" >/dev/null 2>&1
  seed 0 1 "$T/s.der" seed_signed
  seed 1 2 "$T/si.der" seed_signed_stream
  seed 2 3 "$T/sd.der" seed_detached
  seed 5 4 "$T/e.der" seed_enveloped
  rm -rf "$T"
fi
echo "== fuzz_msg_decode for ${SECONDS_EACH}s"
"$bin" -max_total_time="$SECONDS_EACH" -max_len=16384 -rss_limit_mb=2048 "$OUT/corpus"
