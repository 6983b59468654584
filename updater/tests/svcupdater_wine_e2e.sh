#!/usr/bin/env bash
# svcupdater.exe as a real service of Wine's service manager, updating a real service beside it
# from the reference server (the Linux build's kn-platformserver on loopback):
#
#   1. version 1.0 of the watched service is updated to 2.0: the service is stopped, the package
#      unpacked and the service started again, in that order;
#   2. a package signed by another key is refused and the service is never stopped;
#   3. a file of the package held open by another program (without FILE_SHARE_DELETE) for longer
#      than the unpack waits fails the update: the old files stay, the service runs again, and the
#      log says why; once the file is let go the next attempt installs the package;
#   4. "/UNINSTALL" removes both services.
#
#   svcupdater_wine_e2e.sh --svcupdater EXE --watched DIR --holder EXE --server PROGRAM --work DIR
#
# DIR of --watched holds app-1.0.exe, app-2.0.exe and app-3.0.exe. The work folder keeps its Wine
# prefix from run to run (made once); everything else in it is made anew. Exit 0 when every check
# passed, 1 when one failed, 77 (skipped) when the reference server or a host tool is missing.
set -uo pipefail
source "$(dirname "$0")/../../cmake/windows/wine-e2e.sh"

readonly kUpdater=kSU_e2e kWatched=KnWatchedApp kAppId=kn_e2e_app
readonly kTimeScale=10  # a minute is 6 s, the first check 1 s after the start, the in-use wait 1.5 s
readonly kFolderWin='C:\kn-e2e'

# ---- arguments and tools ------------------------------------------------------------------------

while [ $# -gt 0 ]; do
  case "$1" in
    --svcupdater) svcupdater=$2 ;;
    --watched) watched=$2 ;;
    --holder) holder=$2 ;;
    --server) server=$2 ;;
    --work) work=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
for var in svcupdater watched holder server work; do
  [ -n "${!var:-}" ] || { echo "--$var is missing" >&2; exit 2; }
done

[ -x "$server" ] || skip "the reference server $server is missing: build it with" \
  "'cmake --preset default && ninja -C build kn-platformserver', or set KN_PLATFORMSERVER"
for tool in zip openssl wineserver; do
  command -v $tool >/dev/null || skip "$tool is not installed"
done
[ -x "$wine" ] || skip "wine64 is not installed"

here=$(cd "$(dirname "$0")" && pwd)
password=$(sed -n 's/.*kPackagePassword = "\(.*\)";.*/\1/p' "$here/../PackageUnpack.h")
[ -n "$password" ] || { echo "cannot read the package password from PackageUnpack.h" >&2; exit 2; }

work=$(realpath -m "$work")
export WINEPREFIX=$work/prefix
folder=$WINEPREFIX/drive_c/kn-e2e
packages=$work/packages
out=$work/out  # what every Wine command printed, one file each
mkdir -p "$work"
rm -rf "$packages" "$out" "$work/keys" "$work/stage" "$work/server.out" "$work/platform.db"
mkdir -p "$packages" "$out" "$work/keys"

# ---- helpers ------------------------------------------------------------------------------------

print_logs() { print_files "$folder"/logs/* "$folder/app.exe.events" "$work/server.out"; }

# The updater's log of the watched application (all its daily files) and its main log.
app_log() { cat "$folder"/logs/svcupdater.app.exe.*.vlog 2>/dev/null; }
main_log() { cat "$folder/logs/svcupdater.vlog" 2>/dev/null; }
# The application log from byte <mark> on, so that a step looks only at its own lines.
app_log_since() { app_log | tail -c +$(($1 + 1)); }
app_log_size() { app_log | wc -c; }
app_log_has() { app_log_since "$1" | grep -qF -- "$2"; }

# The seconds between the first line of standard input holding <from> and the next one holding
# <to>, from the log's time stamps ("Fri 26/12/11 06:48:15.053  ...").
seconds_between() {
  awk -v from="$1" -v to="$2" '
    function at(stamp, t) { split(stamp, t, ":"); return t[1] * 3600 + t[2] * 60 + t[3] }
    !start && index($0, from) { start = at($3); next }
    start && index($0, to) { d = at($3) - start; if (d < 0) d += 86400; printf "%.3f\n", d; exit }'
}
# True when <value> lies between <low> and <high> (decimal numbers).
between() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "" && v >= lo && v < hi) }'; }

events() { cat "$folder/app.exe.events" 2>/dev/null; }
events_are() { [ "$(events)" = "$(printf '%s\n' "$@")" ]; }
# True when the events after the first <n> alternate "stop <version>", "start <version>", with at
# least one of each (a last "stop" is an attempt still under way).
restarted_since() {
  events | awk -v n="$1" -v v="$2" '
    NR > n { k++; if ($0 != ((k % 2) ? "stop " v : "start " v)) bad = 1 }
    END { exit !(k >= 2 && !bad) }'
}
last_event_is() { [ "$(events | tail -n 1)" = "$1" ]; }

same_file() { cmp -s "$1" "$2"; }
no_temporary_files() { ! find "$folder" -name '.kn-??????' -o -name '*.pkg' | grep -q .; }

# Serves <version> of the application: a package of <exe> as app.exe and, when given, an app.conf
# holding <conf>, zipped with the package password by Info-ZIP and signed by <key>. The package
# and its signature are in place before the version is announced.
publish() {
  local version=$1 exe=$2 key=$3 conf=${4:-}
  local stage=$work/stage/$version-$(basename "$key" .pem)
  rm -rf "$stage" && mkdir -p "$stage"
  cp "$exe" "$stage/app.exe"
  local files=(app.exe)
  if [ -n "$conf" ]; then
    printf '%s' "$conf" >"$stage/app.conf"
    files+=(app.conf)
  fi
  (cd "$stage" && zip -q -P "$password" package.zip "${files[@]}") || abort "zip of $version"
  openssl pkeyutl -sign -rawin -inkey "$key" -in "$stage/package.zip" -out "$stage/package.sig" ||
    abort "signing $version"
  cp "$stage/package.zip" "$packages/.pkg" && mv "$packages/.pkg" "$packages/$kAppId.pkg"
  cp "$stage/package.sig" "$packages/.sig" && mv "$packages/.sig" "$packages/$kAppId.pkg.sig"
  echo "$version" >"$packages/.version" && mv "$packages/.version" "$packages/$kAppId.version"
}

new_key() {  # new_key <name>: keys/<name>.pem and its public half keys/<name>.pub.pem
  openssl genpkey -algorithm ed25519 -out "$work/keys/$1.pem" 2>/dev/null &&
    openssl pkey -in "$work/keys/$1.pem" -pubout -out "$work/keys/$1.pub.pem" || abort "making key $1"
}

# ---- the Wine prefix and its server -------------------------------------------------------------

install_folder() {
  rm -rf "$folder" && mkdir -p "$folder"
  cp "$svcupdater" "$folder/svcupdater.exe"
  cp "$watched/app-1.0.exe" "$folder/app.exe"
  printf 'old conf' >"$folder/app.conf"
  cp "$work/keys/publisher.pub.pem" "$folder/pub.pem"
  cat >"$folder/svcupdater.execonfig" <<EOF
{"name": "$kUpdater", "descr": "Updates the watched test service",
 "updateurl": "$server_url", "publickey": "pub.pem",
 "services": [{"exe": "app.exe", "appid": "$kAppId", "interval": 1, "service": "$kWatched"}]}
EOF
}

# ---- the steps ----------------------------------------------------------------------------------

step_install() {
  echo "install and start both services"
  wine_run install-app "$kFolderWin\\app.exe" /INSTALL || abort "app.exe /INSTALL failed"
  wine_run install-updater "$kFolderWin\\svcupdater.exe" /INSTALL || abort "svcupdater.exe /INSTALL failed"
  wine_run start-app sc start $kWatched || abort "sc start $kWatched failed"
  eventually 10 events_are "start 1.0" || abort "the watched service did not write 'start 1.0'"
  wine_run start-updater sc start $kUpdater || abort "sc start $kUpdater failed"
  eventually 10 is_running $kUpdater || abort "the updater is not RUNNING"
}

step_update() {
  echo "version 2.0: stop, unpack, start"
  eventually 60 app_log_has 0 "UPD: StartService: Done" || abort "no update within 60 s"
  eventually 10 events_are "start 1.0" "stop 1.0" "start 2.0"
  check "the service stopped 1.0 and started 2.0" events_are "start 1.0" "stop 1.0" "start 2.0"
  check "the log shows the stop, the unpack and the start in order" in_order \
    "Updating app from 1.0 to 2.0" "UPD: Downloading $kAppId.pkg..." "UPD: Package signature OK" "UPD: StopService:..." \
    "UPD: StopService: Done" "UPD: Installing update:..." "UPD: Installing update: OK" \
    "UPD: StartService:..." "UPD: StartService: Done" < <(app_log)
  check "app.exe is version 2.0" same_file "$folder/app.exe" "$watched/app-2.0.exe"
  check "the watched service is RUNNING" is_running $kWatched
  check "the main log names the key" grep -qF "Packages must carry an Ed25519 signature" < <(main_log)
  check "no temporary file or package is left" no_temporary_files
}

step_bad_signature() {
  echo "version 3.0 signed by another key: refused"
  local mark
  mark=$(app_log_size)
  new_key stranger
  publish 3.0 "$watched/app-3.0.exe" "$work/keys/stranger.pem"
  eventually 30 app_log_has "$mark" "Error in checking: The package signature is wrong" ||
    abort "no refusal of the package within 30 s"
  check "app.exe is still 2.0" same_file "$folder/app.exe" "$watched/app-2.0.exe"
  check "the watched service was never stopped" events_are "start 1.0" "stop 1.0" "start 2.0"
  check "the log shows no stop" eval '! app_log_since $mark | grep -q "StopService"'
  check "the watched service is RUNNING" is_running $kWatched
  check "the refused package is gone" no_temporary_files
}

step_file_held_open() {
  echo "version 3.0 while app.conf is held open: the update fails, the old version runs again"
  local mark
  mark=$(app_log_size)
  "$wine" "$holder" "$kFolderWin\\app.conf" 120 >"$out/holder" 2>&1 </dev/null &
  local holder_pid=$!
  eventually 10 grep -q held "$out/holder" || abort "the holder did not open app.conf"
  publish 3.0 "$watched/app-3.0.exe" "$work/keys/publisher.pem" "new conf"
  eventually 60 app_log_has "$mark" "still holds it open" || abort "no failed install within 60 s"
  check "the log says why, after the stop and before the start" in_order "UPD: StopService: Done" \
    "UPD: Installing update:..." "UPD: StartService: Done" \
    "Error in checking: Cannot replace app.conf: another program still holds it open" \
    < <(app_log_since "$mark")
  # KN_TIME_SCALE reached the service: the 15 s wait for the file took 1.5 s.
  local waited
  waited=$(app_log_since "$mark" | seconds_between "UPD: Installing update:..." "UPD: StartService:...")
  check "the unpack waited the scaled in-use wait for app.conf (${waited:-?} s)" between "$waited" 1.4 10
  check "the log shows no install" eval '! app_log_since $mark | grep -q "Installing update: OK"'
  check "app.exe is still 2.0" same_file "$folder/app.exe" "$watched/app-2.0.exe"
  check "app.conf is the old one" [ "$(cat "$folder/app.conf")" = "old conf" ]
  check "the service stopped and started 2.0 again" restarted_since 3 2.0
  # Further attempts may be under way, each stopping the service for a moment.
  check "the watched service runs 2.0 again" eventually 15 eval \
    'is_running $kWatched && last_event_is "start 2.0"'
  check "no temporary file is left" no_temporary_files

  echo "app.conf let go: the next attempt installs 3.0"
  : >"$folder/app.conf.release"
  wait $holder_pid
  eventually 60 eval 'events | grep -qx "start 3.0"' || abort "3.0 was not installed within 60 s"
  check "app.exe is 3.0" same_file "$folder/app.exe" "$watched/app-3.0.exe"
  check "app.conf is the new one" [ "$(cat "$folder/app.conf")" = "new conf" ]
  check "the watched service is RUNNING" eventually 10 is_running $kWatched
  rm -f "$folder/app.conf.release"
}

step_uninstall() {
  echo "/UNINSTALL both"
  check "svcupdater.exe /UNINSTALL" wine_run uninstall-updater "$kFolderWin\\svcupdater.exe" /UNINSTALL
  check "app.exe /UNINSTALL" wine_run uninstall-app "$kFolderWin\\app.exe" /UNINSTALL
  check "the updater's service is gone" eventually 15 is_gone $kUpdater
  check "the watched service is gone" eventually 15 is_gone $kWatched
  check "the updater logged its stop" eventually 10 eval 'main_log | grep -qF "Service execution terminated."'
}

# ---- the run ------------------------------------------------------------------------------------

prepare_prefix $kTimeScale $kUpdater $kWatched
new_key publisher
start_reference_server "$server" "$work" --packages "$packages"
publish 2.0 "$watched/app-2.0.exe" "$work/keys/publisher.pem"
install_folder
step_install
step_update
step_bad_signature
step_file_held_open
step_uninstall
finish
