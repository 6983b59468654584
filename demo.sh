#!/usr/bin/env bash
# The demo: sets up and builds, then starts the reference platform server and the agent on loopback in a
# temporary folder, waits until the machine has checked in and uploaded its audit, prints a summary and
# the page's address, and stops both.
#   ./demo.sh          run once and stop
#   ./demo.sh --keep   keep both running until Ctrl-C
set -euo pipefail
cd "$(dirname "$0")"

keep=false
[ "${1:-}" = "--keep" ] && keep=true

./setup.sh >/dev/null
cmake --build build --target auditagent kn-platformserver kn-apikey >/dev/null

work=$(mktemp -d /tmp/kestrane-demo.XXXXXX)
server_pid="" agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill -TERM "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  if [ "${KN_DEMO_KEEP_FILES:-}" = 1 ]; then echo "demo files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

key="demo-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
mkdir -p "$work/opt" "$work/root" "$work/home"
export KN_SYSROOT="$work/root" HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"

# The platform, on a port of its own choosing.
build/tools/platformserver/kn-platformserver --port 0 --data "$work/platform.db" --key "$key" \
  > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$work/server.out" 2>/dev/null && break; sleep 0.1; done
url=$(sed -n 's/.*listening on \(http[^ ]*\).*/\1/p' "$work/server.out" | head -1)
[ -n "$url" ] || { echo "demo: the platform server did not start:"; cat "$work/server.err"; exit 1; }

# The agent, installed in its own folder with its endpoint and a provisioned key; one minute of its
# schedule passes in one second.
cp build/agent/auditagent "$work/opt/"
printf 'url=%s\r\n' "$url" > "$work/opt/endpoint.ini"
build/tools/keytool/kn-apikey set "$key" >/dev/null
KN_TIME_SCALE=60 "$work/opt/auditagent" > "$work/agent.out" 2>&1 &
agent_pid=$!

echo "demo: platform at $url, agent running (pid $agent_pid); waiting for check-in and audit..."
machines=""
for _ in $(seq 240); do
  machines=$(curl -fsS "$url/api/machines" 2>/dev/null || true)
  if echo "$machines" | grep -q '"last_checkin":"[^"]' && echo "$machines" | grep -q '"last_audit":"[^"]'; then break; fi
  kill -0 "$agent_pid" 2>/dev/null || { echo "demo: the agent stopped:"; cat "$work/agent.out"; exit 1; }
  sleep 0.5
done
echo "$machines" | grep -q '"last_audit":"[^"]' || { echo "demo: no audit arrived; agent log:"; cat "$work/opt/logs/"*.vlog; exit 1; }

id=$(echo "$machines" | sed -n 's/.*"id":"\([^"]*\)".*/\1/p' | head -1)
echo
echo "machine:      $id"
echo "calls:        $(curl -fsS "$url/api/calls?machine=$id&limit=1000" | grep -o '"method":"[^"]*"' | sort | uniq -c | tr -s ' ' | paste -sd, -)"
echo "page:         $url/machine?id=$id"
echo "agent logs:   $work/opt/logs/"
if $keep; then
  echo "demo: both keep running; Ctrl-C stops them."
  wait "$agent_pid"
fi
echo "demo: done."
