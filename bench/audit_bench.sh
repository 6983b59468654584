#!/usr/bin/env bash
# The full audit as the agent runs it, side by side with the peers that are installed.
#
#   bench/audit_bench.sh [path/to/auditagent] [runs]
#
# 1. The audit child (`auditagent --kn-audit-child <file>`), started `runs` times (default 21): wall
#    time per audit with the process start included, median and spread, and the child's peak resident
#    memory (maxrss of wait4). The peers found on the PATH, FusionInventory (`fusioninventory-inventory`)
#    and OCS Inventory (`ocsinventory-agent --stdout`), run in the same loop, each after every third of
#    ours, so that all medians come from one interleaved run under the same load; the ratios of the
#    medians are printed. Both peers install from Debian's packages (fusioninventory-agent,
#    ocsinventory-agent); nothing here installs them. The load average is printed before and after.
# 2. The agent's resident memory around an audit: a running auditagent (KN_TIME_SCALE=60, so its
#    audit check comes 8 s after start) against a loopback platform; VmRSS before the audit check
#    and after the audit was uploaded.
# Where the time goes inside the audit: build-bench/bench/audit_bench (Google Benchmark).
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
. bench/agent_harness.sh
program=$(find_agent "${1:-}" audit_bench)
runs=${2:-21}

# ---- 1. The audit itself ------------------------------------------------------------------------
python3 - "$program" "$runs" "$work" <<'PY'
import os, shutil, statistics, subprocess, sys, time
program, runs, work = sys.argv[1], int(sys.argv[2]), sys.argv[3]
# Each peer: its name, the command that writes its inventory of this machine to standard output.
peers = []
if shutil.which("fusioninventory-inventory"):
    peers.append(("fusioninventory-inventory", ["fusioninventory-inventory"]))
if shutil.which("ocsinventory-agent"):
    os.makedirs(f"{work}/ocs", exist_ok=True)  # its state files, away from /var/lib
    peers.append(("ocsinventory-agent", ["ocsinventory-agent", "--stdout", f"--basevardir={work}/ocs"]))

def run(argv):
    start = time.perf_counter()
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = p.stdout.read()
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    elapsed = time.perf_counter() - start
    if p.returncode != 0:
        sys.exit(f"audit_bench: {argv[0]} failed ({p.returncode}): {out[:500]!r}")
    return elapsed * 1000, usage.ru_maxrss / 1024

def load():
    return " ".join(open("/proc/loadavg").read().split()[:3])

print(f"load average before: {load()}")
ours, ours_mb = [], []
theirs = {name: ([], []) for name, _ in peers}
outfn = os.path.join(work, "latest_audit.json")
for i in range(runs):
    ms, mb = run([program, "--kn-audit-child", outfn])
    ours.append(ms); ours_mb.append(mb)
    if i % 3 == 0:
        for name, argv in peers:
            ms, mb = run(argv)
            theirs[name][0].append(ms); theirs[name][1].append(mb)

def summary(name, times, mbs):
    q = statistics.quantiles(times, n=10) if len(times) >= 2 else [times[0]] * 9
    print(f"{name}: median {statistics.median(times):.1f} ms (p10 {q[0]:.1f}, p90 {q[-1]:.1f}, "
          f"{len(times)} runs), peak resident {max(mbs):.1f} MB")

summary("auditagent audit child", ours, ours_mb)
print(f"document: {os.path.getsize(outfn) / 1024:.0f} KB")
for name, (times, mbs) in theirs.items():
    summary(name, times, mbs)
    print(f"{name} / auditagent: {statistics.median(times) / statistics.median(ours):.1f}x time, "
          f"{max(mbs) / max(ours_mb):.1f}x memory")
if not peers:
    print("fusioninventory-inventory, ocsinventory-agent: not installed, no comparison")
print(f"load average after: {load()}")
PY

# ---- 2. The agent's memory around an audit ------------------------------------------------------
start_platform
start_agent "$program" 60
rss() { awk '/^VmRSS:/ {print $2}' /proc/"$agent_pid"/status; }

sleep 6 # mini-audit and check-in are done; the audit check comes at 8 s
before=$(rss)
for _ in $(seq 300); do grep -q putAudit "$work/calls" 2>/dev/null && break; sleep 0.1; done
grep -q putAudit "$work/calls" || { echo "audit_bench: no audit was uploaded"; cat "$work/out"; exit 1; }
sleep 1
after=$(rss)
awk -v b="$before" -v a="$after" 'BEGIN {
  printf "agent resident memory: %.1f MB before the audit, %.1f MB after it (%+.2f MB)\n", b / 1024, a / 1024, (a - b) / 1024
}'
