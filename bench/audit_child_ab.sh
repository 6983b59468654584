#!/usr/bin/env bash
# Two or more builds of the audit child side by side, runs interleaved so that a change of load on the
# machine falls on all of them alike.
#
#   bench/audit_child_ab.sh runs name=path/to/auditagent [name=path/to/auditagent ...]
#
# Each round runs every program once (`<program> --kn-audit-child <file>`); printed per program: the
# median and least wall time with the process start, the median CPU time (user and system), the
# median count of page faults and the peak resident memory (maxrss of wait4).
set -euo pipefail
[ $# -ge 2 ] || { sed -n 2,9p "$0"; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work" "$@" <<'PY'
import os, statistics, subprocess, sys, time
work, runs, named = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
programs = [arg.split("=", 1) for arg in named]
results = {name: [] for name, _ in programs}
outfn = os.path.join(work, "latest_audit.json")
for _ in range(runs):
    for name, program in programs:
        start = time.perf_counter()
        p = subprocess.Popen([program, "--kn-audit-child", outfn], stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(p.pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"audit_child_ab: {name} failed")
        results[name].append(((time.perf_counter() - start) * 1000, (usage.ru_utime + usage.ru_stime) * 1000,
                              usage.ru_minflt, usage.ru_maxrss / 1024))
for name, rows in results.items():
    wall, cpu, faults, rss = zip(*rows)
    print(f"{name}: median {statistics.median(wall):.1f} ms (least {min(wall):.1f}), CPU {statistics.median(cpu):.1f} ms, "
          f"page faults {statistics.median(faults):.0f}, peak resident {max(rss):.1f} MB, {runs} runs")
print(f"load average: {os.getloadavg()[0]:.1f}")
PY
