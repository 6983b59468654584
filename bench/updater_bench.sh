#!/usr/bin/env bash
# The updater with a large package and under a stop: peak memory and time of checking and
# installing a package of N small entries (default 100,000, made by Info-ZIP), and the time from
# SIGTERM to the end of the process during each phase of an update.
#
#   bench/updater_bench.sh [path/to/svcupdater] [entries]
#
# A loopback update server (python3) announces version 2.0 and serves the package; a systemctl
# stand-in answers at once (or, for the stop phase, never lets the service stop). Times of the
# install come from the application's log (download done, service stopped, service started);
# peak resident memory from GNU time, beside that of the same program installing one small file.
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/updater/svcupdater}")
entries=${2:-100000}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

cat >"$work/server.py" <<'PY'
import http.server, os, sys, time
mode, package = sys.argv[1], open(sys.argv[2], "rb").read()
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a): pass
    def do_GET(self):
        open(sys.argv[3], "a").write(self.path.split("?")[0] + "\n")
        if self.path.startswith("/webupdate.php3"):
            if mode == "late": time.sleep(120)
            body = b"version=2.0"
        else:
            body = package
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        step = 100 if mode == "trickle" and body is package else len(body)
        for i in range(0, len(body), step):
            if step != len(body): time.sleep(0.5)
            self.wfile.write(body[i:i + step])
s = http.server.ThreadingHTTPServer(("127.0.0.1", 0), H)
print(s.server_address[1], flush=True)
s.serve_forever()
PY

# packages: one of `entries` small files, and one of a single file
mkdir -p "$work/src/many" "$work/src/one"
(cd "$work/src/many" && for ((i = 0; i < entries; i++)); do echo "file $i of the package" >"f$i"; done)
echo "one file" >"$work/src/one/app"
(cd "$work/src/many" && find . -type f | zip -q -P 4721 "$work/many.pkg" -@)
(cd "$work/src/one" && zip -q -P 4721 "$work/one.pkg" app)

# setup <dir> <package> <server mode> [stuck]: an updater folder and its server; sets port
setup() {
  local dir=$1
  rm -rf "$dir" && mkdir -p "$dir/systemd"
  cp "$program" "$dir/svcupdater"
  echo "old app" >"$dir/app"
  cat >"$dir/svcupdaterconfig" <<JSON
{"name": "kSU_bench", "descr": "bench", "services": [{"exe": "app", "appid": "app", "interval": 60, "service": "appsvc"}]}
JSON
  cat >"$dir/systemd/systemctl" <<SH
#!/bin/sh
case "\$1" in
show) if [ -f "$dir/systemd/stuck" ]; then echo deactivating; else cat "$dir/systemd/state" 2>/dev/null || echo active; fi ;;
stop) echo inactive >"$dir/systemd/state" ;;
start) echo active >"$dir/systemd/state" ;;
esac
SH
  chmod +x "$dir/systemd/systemctl"
  [ "${4:-}" = stuck ] && touch "$dir/systemd/stuck"
  python3 -u "$work/server.py" "$3" "$2" "$dir/requests" >"$dir/port" &
  server_pid=$!
  until [ -s "$dir/port" ]; do sleep 0.1; done
  port=$(cat "$dir/port")
}

run_updater() {  # run_updater <dir> <time scale> [wrapper...]
  local dir=$1 scale=$2
  shift 2
  (cd "$dir" && KN_UPDATE_URL="http://127.0.0.1:$port/" KN_TIME_SCALE=$scale KN_SYSTEMCTL="$dir/systemd/systemctl" \
    KN_SYSROOT="$dir" exec "$@" "$dir/svcupdater" >"$dir/out" 2>&1) &
  updater_pid=$!
}

applog() { cat "$1"/logs/svcupdater.app.*.vlog 2>/dev/null || true; }
stamp() { applog "$1" | grep -m1 -F "$2" | awk '{print $3}'; }  # hh:mm:ss.zzz of the first line
seconds() { awk -F: -v a="$1" -v b="$2" 'BEGIN { split(a, x, ":"); split(b, y, ":");
  printf "%.3f", (y[1] * 3600 + y[2] * 60 + y[3]) - (x[1] * 3600 + x[2] * 60 + x[3]) }'; }

install_figures() {  # install_figures <name> <package>
  local dir=$work/$1
  setup "$dir" "$2" normal
  run_updater "$dir" 1000 /usr/bin/time -v
  until applog "$dir" | grep -q "StartService: Done\|Error in checking"; do sleep 0.2; done
  kill -TERM "$(pgrep -f "^$dir/svcupdater")" 2>/dev/null || true
  wait "$updater_pid" || true
  kill "$server_pid"
  local got stopped started rss
  got=$(stamp "$dir" "Download finished OK")
  stopped=$(stamp "$dir" "StopService:...")
  started=$(stamp "$dir" "StartService: Done")
  rss=$(awk '/Maximum resident/ {print $6}' "$dir/out")
  applog "$dir" | grep -q "Error in checking" && { applog "$dir"; exit 1; }
  printf '%-28s check and write %6ss, service down %6ss, peak resident %6.1f MB, files %d\n' \
    "$1" "$(seconds "$got" "$stopped")" "$(seconds "$stopped" "$started")" "$(echo "$rss / 1024" | bc -l)" \
    "$(find "$dir" -maxdepth 1 -type f | wc -l)"
}

stop_figure() {  # stop_figure <phase> <package> <server mode> <stuck> <time scale> <ready command>
  local dir=$work/stop-$1
  setup "$dir" "$2" "$3" "$4"
  run_updater "$dir" "$5"
  until eval "$6"; do sleep 0.01; done
  local pid t0 t1
  pid=$(pgrep -f "^$dir/svcupdater")
  t0=$(date +%s%N)
  kill -TERM "$pid"
  while kill -0 "$pid" 2>/dev/null; do sleep 0.005; done
  t1=$(date +%s%N)
  kill "$server_pid"
  printf 'stop while %-18s %5d ms   (service %s, app "%s")\n' "$1" $(((t1 - t0) / 1000000)) \
    "$(cat "$dir/systemd/state" 2>/dev/null || echo untouched)" "$(head -c 20 "$dir/app")"
}

echo "svcupdater: $program, $entries entries ($(du -h "$work/many.pkg" | cut -f1) package)"
install_figures "one file" "$work/one.pkg"
install_figures "$entries entries" "$work/many.pkg"
stop_figure "idle" "$work/one.pkg" normal no 1 "sleep 1"
stop_figure "checking" "$work/one.pkg" late no 1000 "grep -q webupdate \$dir/requests 2>/dev/null"
stop_figure "downloading" "$work/many.pkg" trickle no 1000 "grep -q pkg \$dir/requests 2>/dev/null"
stop_figure "unpacking" "$work/many.pkg" normal no 1000 "ls -A \$dir | grep -q '^\.kn-......$'"
stop_figure "stopping-service" "$work/one.pkg" normal stuck 1000 "applog \$dir | grep -q 'checking status 3'"
