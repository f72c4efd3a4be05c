#!/bin/sh
# Builds the platform's libFuzzer targets with clang (ASan + UBSan) and runs each for
# FUZZ_SECONDS (default 60). Seeds are made at run time with openssl and its GOST engine.
# Usage: tests/fuzz/run_fuzz.sh [target...]   (targets: serialized_store contexts)
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${FUZZ_OUT:-$ROOT/build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
TARGETS=${*:-"serialized_store contexts"}
mkdir -p "$OUT/obj" "$OUT/seeds"

# The whole platform library, instrumented.
SOURCES=$(cd "$ROOT/platform" && ls *.cpp | sed 's/\.cpp$//')
FLAGS="-std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -DVEXORCSP_BUILD
       -DOPENSSL_SUPPRESS_DEPRECATED -I$ROOT/include -I$ROOT"
OBJS=""
for s in $SOURCES; do
  o="$OUT/obj/$s.o"
  # Rebuilt when its source or any platform header is newer than the object.
  if [ ! -f "$o" ] || [ "$ROOT/platform/$s.cpp" -nt "$o" ] ||
     [ -n "$(find "$ROOT/platform" "$ROOT/include/vexor" -name '*.h' -newer "$o" | head -n 1)" ]; then
    clang++ $FLAGS -fsanitize=fuzzer-no-link -c "$ROOT/platform/$s.cpp" -o "$o"
  fi
  OBJS="$OBJS $o"
done

# Seed: a GOST certificate with distribution-point and alternative-name extensions.
SEEDS="$OUT/seeds"
if [ ! -f "$SEEDS/cert.der" ]; then
  T=$(mktemp -d)
  openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/k.pem" \
    -subj "/C=RU/O=Fuzz/CN=Seed" -days 30 -addext "crlDistributionPoints=URI:http://x.test/a.crl" \
    -addext "subjectAltName=email:a@x.test,DNS:x.test" -outform DER -out "$T/c.der" >/dev/null 2>&1
  cp "$T/c.der" "$SEEDS/cert.der"
  rm -rf "$T"
fi

for t in $TARGETS; do
  bin="$OUT/fuzz_$t"
  clang++ $FLAGS -fsanitize=fuzzer "$ROOT/tests/fuzz/fuzz_$t.cpp" $OBJS -lcrypto -pthread -o "$bin"
  corpus="$OUT/corpus_$t"
  mkdir -p "$corpus"
  if [ "$t" = contexts ]; then
    { printf '\000'; cat "$SEEDS/cert.der"; } > "$corpus/seed_cert"
  else
    python3 - "$SEEDS/cert.der" "$corpus/seed_store" <<'PY'
import struct, sys
cert = open(sys.argv[1], 'rb').read()
name = 'Seed'.encode('utf-16-le') + b'\0\0'
out = b'\0\0\0\0CERT'
out += struct.pack('<III', 11, 1, len(name)) + name
out += struct.pack('<III', 32, 1, len(cert)) + cert + b'\0' * 12
open(sys.argv[2], 'wb').write(out)
PY
  fi
  echo "== fuzz_$t for ${SECONDS_EACH}s"
  "$bin" -max_total_time="$SECONDS_EACH" -max_len=65536 -rss_limit_mb=2048 "$corpus"
done
