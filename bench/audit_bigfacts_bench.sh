#!/usr/bin/env bash
# The audit child on a machine where a user swells the facts: five processes whose command lines are
# 5 MB of control bytes each, against the same machine without them.
#
#   bench/audit_bigfacts_bench.sh [path/to/auditagent] [runs]
#
# Each round runs the audit child (`auditagent --kn-audit-child <file>`) once on the plain machine,
# then starts the five processes, runs the child again and kills them. Printed: the median wall
# time, the child's peak resident memory (maxrss of wait4) and the document's size, both ways, and
# the difference of the peak resident medians (the target: within 8 MB).
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
. bench/agent_harness.sh
program=$(find_agent "${1:-}" audit_bigfacts_bench)
runs=${2:-7}

python3 - "$program" "$runs" "$work" <<'PY'
import os, statistics, subprocess, sys, time
program, runs, work = sys.argv[1], int(sys.argv[2]), sys.argv[3]
outfn = os.path.join(work, "latest_audit.json")

# The five processes are started by a helper of their own: wait4's peak resident memory of a child
# includes what its parent held when it forked, so this script never holds the 5 MB itself. Each is
# sh waiting in sleep, in a session of its own (killed with its sleep; init reaps them, the helper
# having ended), with 5 MB of control bytes (every byte from 1 to 31 but the line break) in
# arguments of at most 128 KB, the kernel's bound on one argument, under a 64 MB stack limit so that
# the kernel takes them all.
SWELLERS = r"""
import resource, subprocess
piece = bytes(b for b in range(1, 32) if b != 10)
arg = (piece * (131071 // len(piece) + 1))[:131071]
args = [arg] * (5 * 1024 * 1024 // len(arg) + 1)
def big_stack():
    resource.setrlimit(resource.RLIMIT_STACK, (64 << 20, 64 << 20))
for _ in range(5):
    p = subprocess.Popen([b"/bin/sh", b"-c", b"sleep 600; exit 0", b"sh"] + args, preexec_fn=big_stack,
                         start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    print(p.pid, flush=True)
"""

def start_swellers():
    out = subprocess.run([sys.executable, "-c", SWELLERS], check=True, capture_output=True).stdout
    return [int(pid) for pid in out.split()]

def audit():
    start = time.perf_counter()
    p = subprocess.Popen([program, "--kn-audit-child", outfn], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = p.stdout.read()
    _, status, usage = os.wait4(p.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"audit_bigfacts_bench: the audit failed: {out[:500]!r}")
    return (time.perf_counter() - start) * 1000, usage.ru_maxrss / 1024, os.path.getsize(outfn) / 1024 / 1024

plain, swollen = [], []
for _ in range(runs):
    plain.append(audit())
    swellers = start_swellers()
    try:
        time.sleep(0.2)  # until each has exec'd sh with its arguments
        swollen.append(audit())
    finally:
        for pid in swellers:
            os.killpg(pid, 9)

def summary(name, results):
    ms, mb, doc = zip(*results)
    print(f"{name}: median {statistics.median(ms):.1f} ms, peak resident median {statistics.median(mb):.1f} MB "
          f"(max {max(mb):.1f}), document {statistics.median(doc):.2f} MB, {len(results)} runs")
    return statistics.median(mb)

a = summary("plain machine", plain)
b = summary("five 5 MB command lines", swollen)
print(f"peak resident difference: {b - a:+.1f} MB")
PY
