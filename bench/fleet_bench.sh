#!/usr/bin/env bash
# The reference platform under a fleet: kn-fleetsim's agents against a fresh kn-platformserver on
# loopback, then a count of the calls in the data file, then the delay that half-open connections
# add to a normal call.
#
#   bench/fleet_bench.sh [agents] [calls per agent] [build folder]
#
# Defaults: 200 agents x 50 check-ins, programs from build-bench/ (else build/).
set -euo pipefail
cd "$(dirname "$0")/.."

agents=${1:-200}
calls=${2:-50}
bin=${3:-}
if [ -z "$bin" ]; then
  for b in build-bench build; do
    [ -x "$b/tools/platformserver/kn-platformserver" ] && [ -x "$b/bench/kn-fleetsim" ] && bin=$b && break
  done
fi
[ -n "$bin" ] || { echo "fleet_bench: build kn-platformserver and kn-fleetsim first" >&2; exit 2; }

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/tools/platformserver/kn-platformserver" --port 0 --data "$work/p.db" >"$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$work/server.out" && break; sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/server.out")
[ -n "$url" ] || { cat "$work/server.out"; exit 1; }
port=${url##*:}

ticks() { awk '{ print $14 + $15 }' "/proc/$server_pid/stat"; }
before=$(ticks)
status=0
"$bin/bench/kn-fleetsim" --url "$url" --agents "$agents" --calls "$calls" --id-prefix BENCH- || status=$?
echo "server CPU: $(( ($(ticks) - before) * 10 )) ms; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
stored=$(python3 -c "import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute(\"SELECT COUNT(*) FROM calls WHERE machine_id LIKE 'BENCH-%'\").fetchone()[0])" "$work/p.db")
echo "calls in the data file: $stored of $((agents * calls))"
[ "$stored" = $((agents * calls)) ] || status=1

# Eight connections that stop half-way through their headers, then one normal call.
for fd in 3 4 5 6 7 8 9 10; do
  eval "exec $fd<>/dev/tcp/127.0.0.1/$port"
  printf 'POST /app.direct HTTP/1.1\r\nHost: x\r\n' >&"$fd"
done
curl -s -o /dev/null -w 'one call beside 8 half-open connections: %{time_total} s\n' \
  -H 'x-serviceapp: {"id":"BENCH-probe","k":"k"}' \
  --data '{"action":"ITAgentAPI","method":"putCommand","type":"rpc","tid":1,"data":[null]}' "$url/app.direct"
for fd in 3 4 5 6 7 8 9 10; do eval "exec $fd>&-"; done
exit $status
