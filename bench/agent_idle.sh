#!/usr/bin/env bash
# The agent at rest: resident memory and CPU time per hour of a running auditagent between its
# activities, against a loopback platform that answers every call.
#
#   bench/agent_idle.sh [path/to/auditagent] [seconds]
#
# The agent runs with its real timetable (KN_TIME_SCALE=1) and an API key, so its first pass
# sends the mini-audit and the check-in; the measurement starts 10 s later and ends before the
# first audit check (8 min), so only the 500 ms ticks of the main loop and the service loop are
# measured. CPU time is the sum over the process's threads of /proc/<pid>/task/*/schedstat
# (nanoseconds), scaled to one hour.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
. bench/agent_harness.sh
program=$(find_agent "${1:-}" agent_idle)
seconds=${2:-240}
((seconds <= 460)) || { echo "agent_idle: at most 460 s, before the first audit check" >&2; exit 2; }

start_platform
start_agent "$program" 1

cpu_ns() { cat /proc/"$agent_pid"/task/*/schedstat | awk '{s += $1} END {printf "%d", s}'; }

sleep 10
kill -0 "$agent_pid" || { cat "$work/out"; exit 1; }
calls_before=$(wc -l <"$work/calls")
start_ns=$(cpu_ns)
sleep "$seconds"
end_ns=$(cpu_ns)
calls_after=$(wc -l <"$work/calls")
rss_kb=$(awk '/^VmRSS:/ {print $2}' /proc/"$agent_pid"/status)
hwm_kb=$(awk '/^VmHWM:/ {print $2}' /proc/"$agent_pid"/status)
threads=$(ls /proc/"$agent_pid"/task | wc -l)

awk -v d="$((end_ns - start_ns))" -v s="$seconds" -v rss="$rss_kb" -v hwm="$hwm_kb" -v t="$threads" \
  -v c="$calls_before" -v c2="$calls_after" 'BEGIN {
  printf "auditagent idle over %d s: %.4f s CPU, %.3f s CPU per hour\n", s, d / 1e9, d / 1e9 * 3600 / s
  printf "resident: %.1f MB now, %.1f MB peak; %d threads; calls %d before, %d during\n",
         rss / 1024, hwm / 1024, t, c, c2 - c
}'
