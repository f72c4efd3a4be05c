# Set-up shared by the shell benchmarks, sourced first thing after `set -eu`:
#   . "$(dirname "$0")/bench_env.sh"
# ROOT is the source tree, BUILD the build tree (build/ by default, BUILD=...), V the vexor
# tool in it; T is a scratch folder removed on exit, with the stores' home (VEXOR_CSP_HOME)
# and a work folder (T/work) in it.
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
V="$BUILD/bin/vexor"
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
export VEXOR_CSP_HOME="$T/home"
mkdir -p "$VEXOR_CSP_HOME" "$T/work"

# Fields of a `/usr/bin/time -v` report: peak resident memory in KiB, wall seconds.
peak() { sed -n 's/.*Maximum resident set size (kbytes): //p' "$1"; }
secs() { sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$1" |
         awk -F: '{ if (NF == 3) print $1*3600 + $2*60 + $3; else print $1*60 + $2 }'; }
# One timed run of a command, its output discarded: CPU seconds (user + system) appended to
# T/NAME.cpu, wall seconds to T/NAME.wall, "NAME peak-KiB" to T/peaks; a failure prints the
# time report and stops the bench.
cpu() { awk -F': ' '/User time|System time/ { s += $2 } END { print s }' "$1"; }
run() {
  name=$1; shift
  /usr/bin/time -v -o "$T/t" "$@" >/dev/null 2>&1 || { cat "$T/t"; echo "$name failed"; exit 1; }
  cpu "$T/t" >> "$T/$name.cpu"
  secs "$T/t" >> "$T/$name.wall"
  echo "$name $(peak "$T/t")" >> "$T/peaks"
}
: > "$T/peaks"
# The median of the numbers on standard input, one a line.
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
