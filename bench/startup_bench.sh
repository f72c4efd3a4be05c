#!/bin/sh
# The tool's fixed cost: a 1 KiB document signed (attached) and verified by `vexor` as whole
# processes, against `openssl cms -sign` / `-verify` with the GOST engine on the same key and
# file. RUNS (default 15) runs of each, the two commands alternated so that a drift of the
# machine's speed hits both; prints the median CPU time (user + system) and wall time of
# each and the ratios (goal: 1.0 or less). Needs a built tree (build/ by default, BUILD=...).
set -eu
. "$(dirname "$0")/bench_env.sh"
RUNS=${RUNS:-15}

openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout "$T/u.key" \
  -subj "/O=Bench/CN=Bench" -days 30 -out "$T/u.pem" >/dev/null 2>&1
"$V" store install --cert "$T/u.pem" --key "$T/u.key" --no-pin >/dev/null
head -c 1024 /dev/urandom > "$T/data"
"$V" sign --signer Bench --workdir "$T/work" -i "$T/data" -o "$T/v.p7m" >/dev/null 2>&1
openssl cms -sign -engine gost -binary -nodetach -in "$T/data" -signer "$T/u.pem" -inkey "$T/u.key" \
  -outform DER -out "$T/o.p7m" >/dev/null 2>&1

# Each run's CPU time from the kernel's accounting of the finished child, its wall time from
# a monotonic clock around it.
RUNS=$RUNS T=$T V=$V python3 - <<'PY'
import os, resource, statistics, subprocess, time
T, V, runs = os.environ["T"], os.environ["V"], int(os.environ["RUNS"])
cmds = {
    "vexor sign": [V, "sign", "--signer", "Bench", "--workdir", T + "/work", "-i", T + "/data", "-o", T + "/v.p7m"],
    "openssl cms -sign": ["openssl", "cms", "-sign", "-engine", "gost", "-binary", "-nodetach", "-in", T + "/data",
                          "-signer", T + "/u.pem", "-inkey", T + "/u.key", "-outform", "DER", "-out", T + "/o.p7m"],
    "vexor verify": [V, "verify", "--workdir", T + "/work", "-i", T + "/v.p7m"],
    "openssl cms -verify": ["openssl", "cms", "-verify", "-engine", "gost", "-binary", "-inform", "DER", "-in",
                            T + "/o.p7m", "-CAfile", T + "/u.pem", "-out", "/dev/null"],
}
cpu = {k: [] for k in cmds}
wall = {k: [] for k in cmds}
for _ in range(runs):
    for name, cmd in cmds.items():
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.monotonic()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        wall[name].append(time.monotonic() - start)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu[name].append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
print(f"1 KiB, medians of {runs} alternating runs (CPU = user + system)")
for ours, peer in (("vexor sign", "openssl cms -sign"), ("vexor verify", "openssl cms -verify")):
    oc, ow = statistics.median(cpu[ours]), statistics.median(wall[ours])
    pc, pw = statistics.median(cpu[peer]), statistics.median(wall[peer])
    print(f"  {ours:13s} CPU {oc * 1e3:6.1f} ms wall {ow * 1e3:6.1f} ms   {peer:19s} CPU {pc * 1e3:6.1f} ms "
          f"wall {pw * 1e3:6.1f} ms   ratio CPU {oc / pc:.2f} wall {ow / pw:.2f}")
PY
