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

program=${1:-}
if [ -z "$program" ]; then
  for p in build-bench/agent/auditagent build/agent/auditagent; do
    [ -x "$p" ] && program=$p && break
  done
fi
seconds=${2:-240}
[ -x "${program:-}" ] || { echo "agent_idle: build auditagent first (cmake --build build)" >&2; exit 2; }
((seconds <= 460)) || { echo "agent_idle: at most 460 s, before the first audit check" >&2; exit 2; }

work=$(mktemp -d)
server_pid=
agent_pid=
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The platform: answers every RPC envelope with a result-less reply and counts the calls.
python3 - "$work/port" "$work/calls" <<'PY' &
import http.server, json, sys
port_file, calls_file = sys.argv[1], sys.argv[2]
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        env = json.loads(body or b"{}")
        with open(calls_file, "a") as f:
            f.write(env.get("method", "?") + "\n")
        out = json.dumps({"type": "rpc", "tid": env.get("tid", 0), "method": env.get("method")}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(out)))
        self.end_headers()
        self.wfile.write(out)
    def log_message(self, *args):
        pass
srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), H)
open(port_file, "w").write(str(srv.server_address[1]))
srv.serve_forever()
PY
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done

mkdir -p "$work/bin" "$work/sys/etc/kestrane" "$work/home"
cp "$program" "$work/bin/auditagent"
echo "url=http://127.0.0.1:$(cat "$work/port")" >"$work/bin/endpoint.ini"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Policies\\ZARODIRazev]\n"apikey"="bench"\n' \
  >"$work/sys/etc/kestrane/HKLM.reg"

env -i PATH=/usr/bin:/bin KN_SYSROOT="$work/sys" HOME="$work/home" KN_TIME_SCALE=1 \
  "$work/bin/auditagent" >"$work/out" 2>&1 &
agent_pid=$!

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
