#!/usr/bin/env bash
# Builds the Debian package kestrane-agent and checks it: its metadata and contents, lintian, the
# logrotate rule; then, on a throw-away machine only, installs it, checks what it placed, runs both
# programs from /opt/kestrane against the reference platform server on loopback, removes and purges
# it, and checks that nothing is left behind.
#
#   packaging/test-package.sh [--install] [BUILD_DIR]      (BUILD_DIR defaults to build)
#
# Installing changes the machine (packages, units, /opt, /etc, /var), so it happens only with
# --install or when CI=true, and only as root; otherwise the script stops after the static checks.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,10s/^# \{0,1\}//p' "$0"; }
install=no
build=build
for arg in "$@"; do
  case "$arg" in
    --install) install=yes ;;
    -h | --help) usage; exit 0 ;;
    -*) usage >&2; exit 2 ;;
    *) build=$arg ;;
  esac
done
[ "${CI:-}" = true ] && install=yes

passed=0 failed=0
# check DESCRIPTION COMMAND...: runs the command; counts and reports the outcome.
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what"
  fi
}
step() { echo "== $*"; }

tmp=$(mktemp -d)
server_pid=
installed_by_us=no
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  if [ "$installed_by_us" = yes ] && dpkg-query -W kestrane-agent >/dev/null 2>&1; then
    echo "== cleaning up: purging kestrane-agent"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq kestrane-agent >/dev/null 2>&1 || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# ---- build -------------------------------------------------------------------------------------

step "building the programs and the package"
targets=(auditagent svcupdater kn-platformserver)
[ -d tools/keytool ] && targets+=(kn-apikey)
cmake --build "$build" -j2 --target "${targets[@]}" >"$tmp/build.log" || { cat "$tmp/build.log"; exit 1; }
rm -rf "$build/package"
cpack --config "$build/CPackConfig.cmake" -B "$build/package" >"$tmp/cpack.log" || { cat "$tmp/cpack.log"; exit 1; }
deb=$(realpath "$build"/package/kestrane-agent_*.deb)
echo "$deb"

# ---- metadata ----------------------------------------------------------------------------------

step "metadata (dpkg-deb -I)"
dpkg-deb -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
check "package name" [ "$(field Package)" = kestrane-agent ]
check "version is the project's ($version)" [ "$(field Version)" = "$version" ]
check "architecture" [ "$(field Architecture)" = "$(dpkg --print-architecture)" ]
check "description has a synopsis and a long text" [ "$(field Description | wc -l)" -ge 3 ]

# Every shared library the programs load comes from a package that Depends names.
depends=" $(field Depends | sed 's/([^)]*)//g; s/[,|]/ /g') "
for prog in "$build"/agent/auditagent "$build"/updater/svcupdater; do
  for needed in $(readelf -d "$prog" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    lib=$(ldd "$prog" | awk -v n="$needed" '$1 == n && $2 == "=>" { print $3 }')
    pkg=$(dpkg -S "$lib" 2>/dev/null || dpkg -S "$(realpath "$lib")" 2>/dev/null || true)
    pkg=${pkg%%:*}
    check "Depends names the package of $needed ($pkg), loaded by $(basename "$prog")" grep -q " $pkg " <<<"$depends"
  done
done
# auditagent opens libcurl when it first speaks to the platform, so that its audit child, the same
# program, never maps it: not linked, yet its package is in Depends.
check "auditagent does not link libcurl" bash -c "! readelf -d '$build/agent/auditagent' | grep -q 'libcurl'"
curl_pkg=$(dpkg -S "$(realpath "$(ldconfig -p | awk '$1 == "libcurl.so.4" { print $NF; exit }')")" 2>/dev/null || true)
check "Depends names the package of libcurl.so.4 (${curl_pkg%%:*}), opened by auditagent" grep -q " ${curl_pkg%%:*} " <<<"$depends"

dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - >"$tmp/control.lst"
for script in postinst prerm postrm; do
  check "$script is in the package, mode 0755" grep -Eq "^-rwxr-xr-x root/root .* \./$script$" "$tmp/control.lst"
done
dpkg-deb -e "$deb" "$tmp/control"
check "conffiles" diff <(printf '%s\n' /etc/kestrane/svcupdaterconfig /etc/logrotate.d/kestrane-agent) "$tmp/control/conffiles"

# ---- contents ----------------------------------------------------------------------------------

step "contents (dpkg-deb -c)"
dpkg-deb -c "$deb" | tee "$tmp/contents.txt"
# mode, owner and path (and a link's target) of every entry; sizes and dates left out.
awk '{ $3 = $4 = $5 = ""; print }' "$tmp/contents.txt" | tr -s ' ' | sort >"$tmp/contents"
{
  for d in etc etc/kestrane etc/logrotate.d opt opt/kestrane usr usr/lib usr/lib/kestrane-agent usr/share \
    usr/share/doc usr/share/doc/kestrane-agent usr/share/lintian usr/share/lintian/overrides; do
    echo "drwxr-xr-x root/root ./$d/"
  done
  echo "-rw-r--r-- root/root ./etc/kestrane/svcupdaterconfig"
  echo "-rw-r--r-- root/root ./etc/logrotate.d/kestrane-agent"
  echo "-rwxr-xr-x root/root ./opt/kestrane/auditagent"
  echo "-rwxr-xr-x root/root ./opt/kestrane/svcupdater"
  [ -d tools/keytool ] && echo "-rwxr-xr-x root/root ./opt/kestrane/kn-apikey"
  echo "lrwxrwxrwx root/root ./opt/kestrane/logs -> /var/log/kestrane"
  echo "lrwxrwxrwx root/root ./opt/kestrane/svcupdaterconfig -> /etc/kestrane/svcupdaterconfig"
  echo "-rwxr-xr-x root/root ./usr/lib/kestrane-agent/systemctl-offline"
  echo "-rw-r--r-- root/root ./usr/share/doc/kestrane-agent/changelog.gz"
  echo "-rw-r--r-- root/root ./usr/share/doc/kestrane-agent/copyright"
  echo "-rw-r--r-- root/root ./usr/share/lintian/overrides/kestrane-agent"
} | sort >"$tmp/expected"
check "the package holds exactly the expected files, modes and links" diff "$tmp/expected" "$tmp/contents"

dpkg-deb -x "$deb" "$tmp/root"
for prog in auditagent svcupdater; do
  check "$prog is stripped" bash -c "! readelf -S '$tmp/root/opt/kestrane/$prog' | grep -q debug_info"
  check "$prog still carries its version note" bash -c \
    "readelf -p .note.package '$tmp/root/opt/kestrane/$prog' | grep -q '\"version\":\"$version\"'"
done

# ---- lintian -----------------------------------------------------------------------------------

step "lintian"
check "lintian reports no error or warning" lintian --fail-on error,warning --display-info "$deb"

# ---- the logrotate rule, on a copy of the log folder -------------------------------------------

step "logrotate rule"
mkdir -m 0750 "$tmp/log"
sed "s|/var/log/kestrane|$tmp/log|" packaging/kestrane-agent.logrotate >"$tmp/logrotate.conf"
today=$(date +%Y%m%d)
touch "$tmp/log/auditagent.vlog" "$tmp/log/auditagent.vlog.old" "$tmp/log/auditagent.TITAuditMain.$today.vlog"
touch -d '31 days ago' "$tmp/log/auditagent.TITAuditMain.20240101.vlog" "$tmp/log/svcupdater.auditagent.20240101.vlog"
touch -d '29 days ago' "$tmp/log/auditagent.sess.20240301.vlog"
# logrotate has seen every file before, two days ago, so only the age decides.
{
  echo "logrotate state -- version 2"
  for f in "$tmp"/log/*; do echo "\"$f\" $(date -d '2 days ago' +%Y-%-m-%-d-0:0:0)"; done
} >"$tmp/logrotate.state"
chmod 0600 "$tmp/logrotate.state"
if command -v logrotate >/dev/null; then
  logrotate -s "$tmp/logrotate.state" "$tmp/logrotate.conf"
  check "logrotate keeps the main logs and the daily files of the last 30 days, removes older ones" diff \
    <(printf '%s\n' auditagent.TITAuditMain.$today.vlog auditagent.sess.20240301.vlog auditagent.vlog \
      auditagent.vlog.old) <(ls "$tmp/log")
else
  check "logrotate is installed (setup.sh)" false
fi

# ---- install, run, remove, purge ---------------------------------------------------------------

if [ "$install" != yes ]; then
  echo "== not installing the package: that changes this machine; pass --install (or run with CI=true)"
  echo "package: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "installing needs root" >&2
  exit 1
fi

# What the machine holds outside the package manager's own records, to compare after the purge.
snapshot() {
  find /etc /opt /usr /var/lib /var/log /root -xdev \
    \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log/apt \
    -o -path /var/lib/systemd/deb-systemd-helper-enabled -o -path /var/lib/systemd/deb-systemd-user-helper-enabled \
    -o -path /var/log/journal -o -path /var/lib/logrotate -o -path /root/.cache \) -prune -o \
    ! -path /var/log/dpkg.log -print 2>/dev/null | sort
}
systemd_runs=no
[ -d /run/systemd/system ] && systemd_runs=yes

step "installing $deb (systemd running: $systemd_runs)"
snapshot >"$tmp/before"
installed_by_us=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" 2>&1 | tee "$tmp/install.log"
check "installed" dpkg-query -W kestrane-agent

mode() { stat -c '%a %U:%G' "$1"; }
check "/opt/kestrane/auditagent 0755 root" [ "$(mode /opt/kestrane/auditagent)" = "755 root:root" ]
check "/opt/kestrane/svcupdater 0755 root" [ "$(mode /opt/kestrane/svcupdater)" = "755 root:root" ]
check "/var/log/kestrane 0750 root:adm" [ "$(mode /var/log/kestrane)" = "750 root:adm" ]
check "logs beside the programs reach /var/log/kestrane" [ "$(readlink -f /opt/kestrane/logs)" = /var/log/kestrane ]
check "the updater's configuration is the conffile" cmp /opt/kestrane/svcupdaterconfig /etc/kestrane/svcupdaterconfig

updater_name=$(sed -n 's/^ *"name": *"\([^"]*\)".*/\1/p' /etc/kestrane/svcupdaterconfig)
for pair in ZARODIRazev:auditagent "$updater_name":svcupdater; do
  unit=/etc/systemd/system/${pair%%:*}.service
  check "$unit exists, 0644" [ "$(mode "$unit" 2>/dev/null)" = "644 root:root" ]
  check "$unit runs /opt/kestrane/${pair#*:}" grep -qx "ExecStart=/opt/kestrane/${pair#*:}" "$unit"
  check "$unit is enabled" [ -L "/etc/systemd/system/multi-user.target.wants/${pair%%:*}.service" ]
  if [ "$systemd_runs" = yes ]; then
    check "${pair%%:*} is running" systemctl is-active --quiet "${pair%%:*}"
  fi
done
if [ "$systemd_runs" = no ]; then
  check "the postinst says what it skipped" grep -q "systemd is not running here" "$tmp/install.log"
fi

step "running the installed programs against the reference platform server"
if [ "$systemd_runs" = yes ]; then
  systemctl stop "$updater_name" ZARODIRazev  # the services would run beside the foreground copies
fi
key=test-$RANDOM$RANDOM
mkdir "$tmp/packages"
echo "$version" >"$tmp/packages/zarodirazev.version"  # the agent is current: no update
"$build/tools/platformserver/kn-platformserver" --port 0 --data "$tmp/platform.db" --key "$key" \
  --packages "$tmp/packages" >"$tmp/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do grep -q '^listening on ' "$tmp/server.out" && break; sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$tmp/server.out")
check "the platform server listens" [ -n "$url" ]

echo "url=$url" >/opt/kestrane/endpoint.ini
if [ -x /opt/kestrane/kn-apikey ]; then
  printf '%s\n' "$key" | /opt/kestrane/kn-apikey set
  check "kn-apikey status sees the key" /opt/kestrane/kn-apikey status
fi

# Polls URL path $1 for up to $2 seconds until its text matches the pattern $3.
wait_for() {
  local end=$((SECONDS + $2))
  while ((SECONDS < end)); do
    curl -fsS "$url$1" 2>/dev/null | grep -q "$3" && return 0
    sleep 0.5
  done
  return 1
}
# run_briefly PROGRAM WHAT PATH PATTERN: runs /opt/kestrane/PROGRAM in the foreground, with its
# schedules ten times faster, until the server's PATH shows PATTERN (WHAT says what that means), then
# stops it with SIGTERM, as systemd does.
run_briefly() {
  local prog=$1 what=$2
  shift 2
  KN_TIME_SCALE=10 KN_UPDATE_URL="$url/" "/opt/kestrane/$prog" >"$tmp/$prog.out" 2>&1 &
  local pid=$!
  check "$prog: $what" wait_for "$1" 30 "$2"
  check "$prog was still running" kill -0 "$pid"
  kill -TERM "$pid" 2>/dev/null || true
  local rc=0
  wait "$pid" || rc=$?
  check "$prog stops cleanly on SIGTERM (exit $rc)" [ "$rc" -eq 0 ]
  [ "$rc" -eq 0 ] || cat "$tmp/$prog.out"
}
host=$(hostname -s | cut -c1-15)
if [ -x /opt/kestrane/kn-apikey ]; then
  run_briefly auditagent "checked in with the provisioned key" /api/machines \
    "\"has_key\":true.*\"last_checkin\":\"[^\"]"
else
  run_briefly auditagent "called in" /api/machines "\"pcn\":\"$host\""
fi
run_briefly svcupdater "asked the update server about the agent" "/api/calls?method=webupdate.php3" zarodirazev
check "the agent logged into /var/log/kestrane" [ -s /var/log/kestrane/auditagent.vlog ]
check "the updater logged into /var/log/kestrane" [ -s /var/log/kestrane/svcupdater.vlog ]
check "the agent made its identity" [ -s /var/lib/Kestrane/Identity/PCID.ini ]

step "removing"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q kestrane-agent 2>&1 | tee "$tmp/remove.log"
for name in ZARODIRazev "$updater_name"; do
  check "$name.service is gone" [ ! -e "/etc/systemd/system/$name.service" ]
  check "$name.service is no longer enabled" [ ! -L "/etc/systemd/system/multi-user.target.wants/$name.service" ]
done
check "auditagent is gone" [ ! -e /opt/kestrane/auditagent ]
check "svcupdater is gone" [ ! -e /opt/kestrane/svcupdater ]
check "removing keeps the data" [ -s /var/lib/Kestrane/Identity/PCID.ini ]
check "removing keeps the logs" [ -d /var/log/kestrane ]

step "purging"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kestrane-agent 2>&1 | tee "$tmp/purge.log"
installed_by_us=no
check "purged from dpkg's records" bash -c '! dpkg-query -W -f="\${db:Status-Abbrev}" kestrane-agent 2>/dev/null | grep -q .'
snapshot >"$tmp/after"
comm -13 "$tmp/before" "$tmp/after" >"$tmp/left"
check "nothing is left behind" [ ! -s "$tmp/left" ]
[ -s "$tmp/left" ] && sed 's/^/  left: /' "$tmp/left"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
