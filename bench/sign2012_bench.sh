#!/bin/sh
# GOST R 34.10-2012 (256-bit) signing of a large file by the vexor tool against the hash
# under it: BENCH_MIB (default 200) MiB of random data signed detached and attached with a
# key made by `openssl genpkey -algorithm gost2012_256` (installed with `vexor store
# install`), each run alternated with one run of build/bin/streebog_bench (the provider's
# GOST R 34.11-2012 256 in memory, CryptHashData). RUNS (default 5) runs; reports the median
# wall time of each signing and its rate as a share of the hash's median rate (goal 0.95 or
# more: the library hashes a block on a worker thread while the calling thread reads the
# next, so the rate is the hash's less the start-up), beside the same share by CPU time (user
# + system, both threads: what the reading itself costs), the median of the runs' own
# ratios, and the peak resident memory (limit 64 MiB). The signed file is read from the page
# cache and the signature of the attached run written to /dev/null, so neither the disk nor
# the kernel's allocation of a new file is counted. openssl cms checks the detached
# signature. Needs a built tree (build/ by default, BUILD=...).
set -eu
. "$(dirname "$0")/bench_env.sh"
MIB=${BENCH_MIB:-200}
RUNS=${RUNS:-5}

openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out "$T/u.key" >/dev/null 2>&1
openssl req -new -x509 -engine gost -key "$T/u.key" -md_gost12_256 -subj "/O=Bench/CN=Bench 2012" -days 30 \
  -addext keyUsage=digitalSignature -out "$T/u.pem" >/dev/null 2>&1
"$V" store install --cert "$T/u.pem" --key "$T/u.key" --no-pin >/dev/null
head -c "$((MIB * 1048576))" /dev/urandom > "$T/data"


: > "$T/hash"
i=0
while [ "$i" -lt "$RUNS" ]; do
  RUNS=1 "$BUILD/bin/streebog_bench" > "$T/sb" || true
  awk '/^GOST R 34.11-2012 256/ { for (i = 1; i < NF; i++) if ($(i + 1) == "MB/s") { print $i; exit } }' "$T/sb" \
    >> "$T/hash"
  run detached "$V" sign --detached --signer "Bench 2012" --workdir "$T/work" -i "$T/data" -o "$T/d.p7s"
  run attached "$V" sign --signer "Bench 2012" --workdir "$T/work" -i "$T/data" -o /dev/null
  i=$((i + 1))
done
openssl cms -verify -engine gost -binary -inform DER -in "$T/d.p7s" -content "$T/data" -noverify \
  -out /dev/null >/dev/null 2>&1 || { echo "openssl cms does not verify the signature"; exit 1; }

h=$(median < "$T/hash"); d=$(median < "$T/detached.cpu"); a=$(median < "$T/attached.cpu")
dw=$(median < "$T/detached.wall"); aw=$(median < "$T/attached.wall")
echo "size ${MIB} MiB, ${RUNS} runs, medians; the provider's GOST R 34.11-2012 256 in memory: $h MB/s"
awk -v m="$MIB" -v h="$h" -v d="$d" -v a="$a" -v dw="$dw" -v aw="$aw" 'BEGIN {
  mb = m * 1048576 / 1e6
  printf "  sign --detached  wall %6.2f s  %6.1f MB/s  %.2f of the hash   cpu %6.2f s  %.2f\n", dw, mb / dw, mb / dw / h, d, mb / d / h
  printf "  sign (attached)  wall %6.2f s  %6.1f MB/s  %.2f of the hash   cpu %6.2f s  %.2f\n", aw, mb / aw, mb / aw / h, a, mb / a / h }'
# Each run's own ratio, against the hash measured just before it, so that a drift of the
# machine's speed between runs does not enter; their median is the figure to read.
pair_median() { paste "$T/hash" "$1" | awk -v mb="$(echo "$MIB * 1.048576" | bc -l)" '{ print mb / $2 / $1 }' | median; }
printf "  median of the runs' own ratios (wall): detached %.2f, attached %.2f\n" \
  "$(pair_median "$T/detached.wall")" "$(pair_median "$T/attached.wall")"
echo "  peak resident memory (KiB): $(sort -k2 -n "$T/peaks" | awk '{ p[$1] = $2 } END { for (n in p) printf "%s=%s ", n, p[n] }')"
awk '$2 >= 65536 { bad = 1 } END { exit bad }' "$T/peaks" || { echo "a run's peak resident memory is over 64 MiB"; exit 1; }
