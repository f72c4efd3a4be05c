#!/bin/sh
# Builds the fuzz targets as libFuzzer binaries with clang, AddressSanitizer and UBSan into
# build-fuzz/, and runs each for FUZZ_SECONDS (default 60) from a copy of its committed
# corpus. New crashes land in build-fuzz/crash-*; add the input to tests/fuzz/corpus/<name>/
# once fixed, so the normal test run replays it.
# Usage: tests/fuzz/run_fuzz.sh [target...]
#   targets: contexts serialized_store msg_decode key_blobs der asn1_value text_readers f141 xml_verify xml_c14n
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${FUZZ_OUT:-$ROOT/build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
TARGETS=${*:-"contexts serialized_store msg_decode key_blobs der asn1_value text_readers f141 xml_verify xml_c14n"}
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$OUT" -DVEXOR_FUZZ=ON -DVEXOR_SANITIZE=ON >/dev/null
for t in $TARGETS; do
  cmake --build "$OUT" --target "fuzz_$t" -j"$(nproc)"
  corpus="$OUT/corpus/$t"
  mkdir -p "$corpus"
  cp -n "$ROOT/tests/fuzz/corpus/$t/"* "$corpus/" 2>/dev/null || true
  echo "== fuzz_$t for ${SECONDS_EACH}s"
  (cd "$OUT" && "./bin/fuzz_$t" -max_total_time="$SECONDS_EACH" -max_len=65536 -rss_limit_mb=2048 "$corpus")
done
