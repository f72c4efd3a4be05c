#!/bin/sh
# "141" encryption and decryption benchmark: BENCH_MIB (default 500) MiB of random data
# encrypted from one GOST user to another by the vexor tool (libvexor.so loaded as a host
# loads it) and decrypted again, against the provider's raw GOST 28147-89 CFB throughput
# (provider_bench's CryptEncrypt and CryptDecrypt over memory: decryption runs several
# blocks at once, encryption cannot) measured in the same run. Reports the median
# CPU time (user + system, as provider_bench counts its own) and wall time of RUNS runs
# (default 3), the ratio to the raw rate (goal 0.9) and the peak resident memory (limit
# 64 MiB); checks that the plaintext comes back byte for byte. The timed runs read their
# input from the page cache and write to /dev/null, so the kernel's cost of allocating a
# new 500 MiB file (0.5-1 s of system time, varying from run to run) is not counted.
# Needs a built tree (build/ by default, BUILD=...).
set -eu
. "$(dirname "$0")/bench_env.sh"
MIB=${BENCH_MIB:-500}
RUNS=${RUNS:-3}

for u in one two; do
  openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/$u.key" \
    -subj "/O=Bench/CN=Bench $u" -days 30 -addext keyUsage=keyEncipherment,keyAgreement \
    -out "$T/$u.pem" >/dev/null 2>&1
  "$V" store install --cert "$T/$u.pem" --key "$T/$u.key" --container "bench-$u" --no-pin >/dev/null
done
head -c "$((MIB * 1048576))" /dev/urandom > "$T/plain"
"$V" encrypt --format 141 --workdir "$T/work" --from "Bench one" --to "Bench two" -i "$T/plain" -o "$T/message"
"$V" decrypt --format 141 --workdir "$T/work" -i "$T/message" -o "$T/back"
cmp -s "$T/back" "$T/plain" || { echo "the decrypted text differs"; exit 1; }
rm "$T/back"

: > "$T/raw"; : > "$T/raw_d"
i=0
while [ "$i" -lt "$RUNS" ]; do
  "$BUILD/bin/provider_bench" > "$T/pb" || true
  awk '/^CryptEncrypt/ { for (i = 1; i < NF; i++) if ($(i + 1) == "MB/s") { print $i; exit } }' "$T/pb" >> "$T/raw"
  awk '/^CryptDecrypt/ { for (i = 1; i < NF; i++) if ($(i + 1) == "MB/s") { print $i; exit } }' "$T/pb" >> "$T/raw_d"
  run enc "$V" encrypt --format 141 --workdir "$T/work" --from "Bench one" --to "Bench two" -i "$T/plain" \
    -o /dev/null
  run dec "$V" decrypt --format 141 --workdir "$T/work" -i "$T/message" -o /dev/null
  i=$((i + 1))
done

e=$(median < "$T/enc.cpu"); d=$(median < "$T/dec.cpu"); raw=$(median < "$T/raw"); raw_d=$(median < "$T/raw_d")
ew=$(median < "$T/enc.wall"); dw=$(median < "$T/dec.wall")
echo "size ${MIB} MiB, ${RUNS} runs, medians:"
awk -v m="$MIB" -v e="$e" -v d="$d" -v ew="$ew" -v dw="$dw" -v raw="$raw" -v raw_d="$raw_d" 'BEGIN {
  mb = m * 1048576 / 1e6
  printf "  provider CFB (in memory)           %8.1f MB/s encrypt, %8.1f MB/s decrypt\n", raw, raw_d
  printf "  141 encrypt  cpu %6.2f s (wall %6.2f s)  %8.1f MB/s  ratio %.2f\n", e, ew, mb / e, mb / e / raw
  printf "  141 decrypt  cpu %6.2f s (wall %6.2f s)  %8.1f MB/s  ratio %.2f\n", d, dw, mb / d, mb / d / raw_d }'
echo "  peak resident memory (KiB): $(awk '{ print $1 "=" $2 }' "$T/peaks" | tr '\n' ' ')"
awk '$2 >= 65536 { bad = 1 } END { exit bad }' "$T/peaks" ||
  { echo "a run's peak resident memory is over 64 MiB"; exit 1; }
