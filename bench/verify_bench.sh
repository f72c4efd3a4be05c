#!/bin/sh
# Verification benchmark: a 500 MiB attached GOST signature (made by `openssl cms -sign`)
# verified through libvexor.so, the content streamed into the temporary file (slot 5) and
# into the host's stream (slot 6). Reports the median wall time of RUNS runs of each, the
# median of `openssl cms -verify` on the same file in the same run, their ratio, and the
# peak resident memory (limit 64 MiB). Needs a built tree (build/ by default, BUILD=...).
# BENCH_MIB changes the size, RUNS the number of runs (default 3).
set -eu
. "$(dirname "$0")/bench_env.sh"
MIB=${BENCH_MIB:-500}
RUNS=${RUNS:-3}
export TMPDIR="$T/tmp"
mkdir -p "$TMPDIR"
g++ -std=c++20 -O2 -I"$ROOT/include" "$ROOT/bench/verify_bench.cpp" -ldl -L"$BUILD/lib" -lvexorcsp \
  -Wl,-rpath,"$BUILD/lib" -o "$T/bench"

openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/k.pem" \
  -subj "/C=RU/O=Bench/CN=Bench" -days 30 -out "$T/c.pem" >/dev/null 2>&1
head -c "$((MIB * 1048576))" /dev/urandom > "$T/plain"
openssl cms -sign -engine gost -nodetach -binary -md md_gost94 -signer "$T/c.pem" \
  -inkey "$T/k.pem" -in "$T/plain" -outform DER -out "$T/signed.der" 2>/dev/null
rm -f "$T/plain"


: > "$T/file.s"; : > "$T/stream.s"; : > "$T/openssl.s"; : > "$T/peaks"
i=0
while [ "$i" -lt "$RUNS" ]; do
  for mode in file stream; do
    /usr/bin/time -v "$T/bench" "$BUILD/lib/libvexor.so" "$T/work" "$T/signed.der" "$mode" 2> "$T/t" \
      || { cat "$T/t"; exit 1; }
    secs "$T/t" >> "$T/$mode.s"
    echo "$mode $(peak "$T/t")" >> "$T/peaks"
    [ -z "$(ls -A "$TMPDIR")" ] || { echo "temporary files left behind"; ls -l "$TMPDIR"; exit 1; }
  done
  /usr/bin/time -v openssl cms -verify -engine gost -binary -noverify -inform DER -in "$T/signed.der" \
    -out /dev/null 2> "$T/t" || { cat "$T/t"; exit 1; }
  secs "$T/t" >> "$T/openssl.s"
  i=$((i + 1))
done

f=$(median < "$T/file.s"); s=$(median < "$T/stream.s"); o=$(median < "$T/openssl.s")
echo "size ${MIB} MiB, ${RUNS} runs, medians:"
echo "  library, content to temporary file: ${f} s"
echo "  library, content to host stream:    ${s} s"
echo "  openssl cms -verify:                ${o} s"
awk -v f="$f" -v s="$s" -v o="$o" 'BEGIN { printf "  time ratio library/openssl: file %.2f, stream %.2f\n", f / o, s / o }'
echo "  peak resident memory (KiB): $(awk '{ print $1 "=" $2 }' "$T/peaks" | tr '\n' ' ')"
awk '$2 >= 65536 { bad = 1 } END { exit bad }' "$T/peaks" || { echo "peak resident memory over 64 MiB"; exit 1; }
