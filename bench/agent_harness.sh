# Shared by the agent benchmarks (sourced, not run): the auditagent to measure, a loopback platform
# that answers every call, and an installed agent in a throw-away machine under "$work". The caller
# sets `work` to a temporary folder; `cleanup` (set as the EXIT trap here) stops what was started and
# removes it.

server_pid=
agent_pid=
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The program given ($1), else build-bench's, else build's; $2 names the caller in the error.
find_agent() {
  local program=${1:-} p
  if [ -z "$program" ]; then
    for p in build-bench/agent/auditagent build/agent/auditagent; do
      [ -x "$p" ] && program=$p && break
    done
  fi
  [ -x "${program:-}" ] || { echo "$2: build auditagent first (cmake --build build)" >&2; exit 2; }
  realpath "$program"
}

# The platform: answers every RPC envelope with a result-less reply and appends each call's method
# to "$work/calls".
start_platform() {
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
}

# Installs program $1 with an API key, pointed at the platform, and runs it with KN_TIME_SCALE=$2.
start_agent() {
  mkdir -p "$work/bin" "$work/sys/etc/kestrane" "$work/home"
  cp "$1" "$work/bin/auditagent"
  echo "url=http://127.0.0.1:$(cat "$work/port")" >"$work/bin/endpoint.ini"
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Policies\\ZARODIRazev]\n"apikey"="bench"\n' \
    >"$work/sys/etc/kestrane/HKLM.reg"
  env -i PATH=/usr/bin:/bin KN_SYSROOT="$work/sys" HOME="$work/home" KN_TIME_SCALE="$2" \
    "$work/bin/auditagent" >"$work/out" 2>&1 &
  agent_pid=$!
}
