#!/usr/bin/env bash
# The demo: sets up and builds, then starts the reference platform server and the agent on loopback in a
# temporary folder, waits until the machine has checked in and uploaded its audit, prints a summary and
# the page's address, and stops both.
#   ./demo.sh          run once and stop
#   ./demo.sh --keep   keep both running until Ctrl-C
# For tests: KN_DEMO_NO_BUILD=1 uses the programs as built (in KN_DEMO_BUILD_DIR, default build/); KN_DEMO_PAGE=<file> saves the machine's
# page as headless Chromium renders it; KN_DEMO_KEEP_FILES=1 keeps the temporary folder.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
  sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'
  echo "usage: ./demo.sh [--keep]"
  echo "  --keep   leave the platform server and the agent running until Ctrl-C, to look at the page"
}
keep=false
case "${1:-}" in
  "") ;;
  --keep) keep=true ;;
  -h|--help) usage; exit 0 ;;
  *) echo "demo: unknown option '$1'" >&2; usage >&2; exit 2 ;;
esac

bin=${KN_DEMO_BUILD_DIR:-build}
if [ "${KN_DEMO_NO_BUILD:-}" != 1 ]; then
  echo "demo: step 1 of 3: installing what is missing and configuring the build (./setup.sh)"
  ./setup.sh
  echo "demo: step 2 of 3: building the agent, the key tool and the reference platform server" \
    "(several minutes on a fresh machine)"
  cmake --build build --target auditagent kn-platformserver kn-apikey
  echo "demo: step 3 of 3: running the platform server and the agent on loopback"
fi

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
mkdir -p "$work/opt" "$work/home"

# The agent's machine-wide files (its hive, identity and data) go below a root of their own
# (KN_SYSROOT), so the demo changes nothing on this machine; the audit still describes this machine,
# which KN_AUDIT_ROOT (unset, so "/") names.
root="$work/root"
mkdir -p "$root/etc" "$root/var/lib"
unset KN_AUDIT_ROOT
export KN_SYSROOT="$root" HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"

# The platform, on a port of its own choosing.
"$bin"/tools/platformserver/kn-platformserver --port 0 --data "$work/platform.db" --key "$key" \
  > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$work/server.out" 2>/dev/null && break; sleep 0.1; done
url=$(sed -n 's/.*listening on \(http[^ ]*\).*/\1/p' "$work/server.out" | head -1)
[ -n "$url" ] || { echo "demo: the platform server did not start:"; cat "$work/server.err"; exit 1; }

# The agent, installed in its own folder with its endpoint and a provisioned key; one minute of its
# schedule passes in one second.
cp "$bin"/agent/auditagent "$work/opt/"
printf 'url=%s\r\n' "$url" > "$work/opt/endpoint.ini"
printf '%s\n' "$key" | "$bin"/tools/keytool/kn-apikey set >/dev/null
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

id=$(echo "$machines" | sed -n 's/.*"machine_id":"\([^"]*\)".*/\1/p' | head -1)
echo
echo "machine:      $id"
# The calls the platform received, by what they are to a reader rather than by method name.
echo "calls:        $(curl -fsS "$url/api/calls?machine=$id&limit=1000" | grep -o '"method":"[^"]*"' | cut -d'"' -f4 |
  sort | uniq -c | awk '
    BEGIN { name["putCommand"] = "check-in"; name["putMiniAudit"] = "status record"; name["putAudit"] = "full audit"
            name["notifyMissingAPIKEY"] = "missing-key notice" }
    { printf "%s%s x%s", sep, ($2 in name) ? name[$2] " (" $2 ")" : $2, $1; sep = ", " }')"
echo "page:         $url/machine?id=$id"
if $keep || [ "${KN_DEMO_KEEP_FILES:-}" = 1 ]; then echo "agent logs:   $work/opt/logs/"; fi
if [ -n "${KN_DEMO_PAGE:-}" ]; then
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$work/chromium" --dump-dom "$url/machine?id=$id" \
    > "$KN_DEMO_PAGE" 2>/dev/null
fi
if $keep; then
  echo "demo: both keep running; open the page in a browser, Ctrl-C stops them."
  wait "$agent_pid"
else
  echo "demo: done; the platform server and the agent are stopped now, so the page is gone with them."
  echo "      ./demo.sh --keep leaves both running until Ctrl-C, to look at the page."
fi
