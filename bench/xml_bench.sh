#!/bin/sh
# XML benchmark: a BENCH_MB (default 10) MB document signed and verified by the vexor tool
# (libvexor.so and libvexorxml.so as a host loads them) against hashing the same file with
# `openssl dgst -md_gost94`, in the same run. Reports the median wall and CPU times of RUNS
# runs (default 5) of each and the ratios (goal: 0.67 or less) and the peak resident memory
# of the library's runs. Needs a built tree (build/ by default, BUILD=...).
set -eu
. "$(dirname "$0")/bench_env.sh"
MB=${BENCH_MB:-10}
RUNS=${RUNS:-5}

openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/u.key" \
  -subj "/O=Bench/CN=Bench" -days 30 -out "$T/u.pem" >/dev/null 2>&1
"$V" store install --cert "$T/u.pem" --key "$T/u.key" --no-pin >/dev/null
# Records of a few fields each, as registries exchange them.
awk -v size="$((MB * 1000000))" 'BEGIN {
  printf "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Registry xmlns=\"urn:example:registry\" Date=\"2026-12-06\">\n"
  n = 0
  while (n < size) {
    line = sprintf("  <Record Id=\"r%d\" Kind=\"payment\"><Payer>Company %d</Payer><Amount>%d.%02d</Amount><Note>Payment under contract %d &amp; annex</Note></Record>\n", NR + n, n % 997, n % 100000, n % 100, n)
    printf "%s", line; n += length(line)
  }
  printf "</Registry>\n" }' > "$T/doc.xml"


i=0
while [ "$i" -lt "$RUNS" ]; do
  run hash openssl dgst -engine gost -md_gost94 -binary -out "$T/h" "$T/doc.xml"
  run sign "$V" sign --format xml --signer Bench --workdir "$T/work" -i "$T/doc.xml" -o "$T/signed.xml"
  run verify "$V" verify --format xml --workdir "$T/work" -i "$T/signed.xml"
  i=$((i + 1))
done
h=$(median < "$T/hash.wall"); s=$(median < "$T/sign.wall"); v=$(median < "$T/verify.wall")
hc=$(median < "$T/hash.cpu"); sc=$(median < "$T/sign.cpu"); vc=$(median < "$T/verify.cpu")
echo "document $(wc -c < "$T/doc.xml") bytes, ${RUNS} runs, medians (wall, then CPU: on a busy machine read the CPU):"
awk -v h="$h" -v s="$s" -v v="$v" -v hc="$hc" -v sc="$sc" -v vc="$vc" 'BEGIN {
  printf "  openssl dgst -md_gost94   %6.2f s             %6.2f s\n", h, hc
  printf "  vexor sign --format xml   %6.2f s  ratio %.2f  %6.2f s  ratio %.2f\n", s, s / h, sc, sc / hc
  printf "  vexor verify --format xml %6.2f s  ratio %.2f  %6.2f s  ratio %.2f\n", v, v / h, vc, vc / hc }'
echo "  peak resident memory (KiB): $(awk '$1 != "hash" { print $1 "=" $2 }' "$T/peaks" | sort -u | tr '\n' ' ')"
