#!/usr/bin/env bash
# svcupdater.exe under Wine 8.0, the figures where Windows differs from Linux:
#   - start: from StartService (what "sc start" calls) to SERVICE_RUNNING, and from the stop
#     control to SERVICE_STOPPED, each the median of several runs, timed inside Wine by a probe of
#     the bench's own (windows_probe.c: QueryPerformanceCounter, polling every millisecond);
#   - memory of the idle updater after a minute: GetProcessMemoryInfo of the service's process
#     (its process id from the service manager), as Windows tools show it, beside /proc/<pid>/status
#     of the Linux process that hosts it under Wine;
#   - the size of svcupdater.exe, as built and stripped.
# Columns: svcupdater.exe as built (RelWithDebInfo: its DWARF sections are part of the PE image),
# the same stripped, the smallest service of the tree (the end-to-end test's watched service: the
# service host and nothing else, which shows what Wine itself costs), and the Linux build's
# svcupdater idling natively as long with the same configuration.
#
#   bench/windows_bench.sh [build-win folder] [runs] [idle seconds]
#
# The updaters watch one application that the reference server (the Linux build's, when built)
# does not know: each makes its first check 10 s after its start and then idles. Needs the Windows
# build (cmake --preset windows && ninja -C build-win); uses a Wine prefix of its own in it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build-win}")
runs=${2:-7}
idle=${3:-60}
server=${KN_PLATFORMSERVER:-build/tools/platformserver/kn-platformserver}
linux_updater=build/updater/svcupdater
[ -f "$build/updater/svcupdater.exe" ] || { echo "no $build/updater/svcupdater.exe: build it first" >&2; exit 1; }

work=$build/bench-wine
export WINEPREFIX=$work/prefix
source cmake/windows/wine-e2e.sh  # wine, wine_run, host_pid
out=$work/out
rm -rf "$out" "$work/linux" "$work/packages" && mkdir -p "$out" "$work/linux" "$work/packages"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT


median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
range() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo "-" hi }'; }
mib() { [ "$1" = - ] && echo - || awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
size_of() { stat -c %s "$1" | awk '{ printf "%.2f MiB", $1 / 1048576 }'; }
status_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }


# ---- set-up -----------------------------------------------------------------------------------------

x86_64-w64-mingw32-gcc -O2 -Wall -municode -DUNICODE -D_UNICODE -D_WIN32_WINNT=0x0A00 \
  -o "$work/windows_probe.exe" bench/windows_probe.c -lpsapi
x86_64-w64-mingw32-strip -o "$work/svcupdater.stripped.exe" "$build/updater/svcupdater.exe"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "making the Wine prefix (once)"
  wine_run wineboot wineboot -i
  wineserver -w
fi
wineserver -p >"$out/wineserver" 2>&1

url=http://127.0.0.1:9/  # without the reference server nothing listens: each check fails at once
if [ -x "$server" ]; then
  "$server" --port 0 --packages "$work/packages" --data "$work/platform.db" >"$out/server" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do grep -q '^listening on ' "$out/server" && break; sleep 0.1; done
  url=$(sed -n 's/^listening on \(.*\)/\1/p' "$out/server")/
fi
config() {  # config <service name>
  printf '{"name": "%s", "descr": "Benchmark", "updateurl": "%s",\n "services": [%s]}\n' "$1" "$url" \
    '{"exe": "app.exe", "appid": "bench_unknown", "interval": 60}'
}

# The services measured: column key, service name, program, folder under C:\.
columns=(built stripped smallest)
declare -A name=([built]=kSU_bench [stripped]=kSU_bench_stripped [smallest]=KnWatchedApp)
declare -A program=([built]=$build/updater/svcupdater.exe [stripped]=$work/svcupdater.stripped.exe
  [smallest]=$build/updater/watched/app-1.0.exe)
declare -A exe=([built]=svcupdater.exe [stripped]=svcupdater.exe [smallest]=watched.exe)
[ -f "${program[smallest]}" ] || columns=(built stripped)
for c in "${columns[@]}"; do
  wine_run stop-old sc stop "${name[$c]}" || true
  wine_run delete-old sc delete "${name[$c]}" || true
  folder=$WINEPREFIX/drive_c/kn-bench-$c
  rm -rf "$folder" && mkdir -p "$folder"
  cp "${program[$c]}" "$folder/${exe[$c]}"
  config "${name[$c]}" >"$folder/svcupdater.execonfig"
  wine_run install-$c "C:\\kn-bench-$c\\${exe[$c]}" /INSTALL || { cat "$out/install-$c"; exit 1; }
done

# ---- start and stop ---------------------------------------------------------------------------------

declare -A starts stops
for c in "${columns[@]}"; do
  echo "timing $runs starts and stops of ${name[$c]}"
  : >"$work/starts-$c" && : >"$work/stops-$c"
  for _ in $(seq "$runs"); do
    wine_run start "$work/windows_probe.exe" start "${name[$c]}" || { cat "$out/start"; exit 1; }
    tr -d '\r' <"$out/start" >>"$work/starts-$c"  # a Windows program's lines end in CR LF
    sleep 1
    wine_run stop "$work/windows_probe.exe" stop "${name[$c]}" || { cat "$out/stop"; exit 1; }
    tr -d '\r' <"$out/stop" >>"$work/stops-$c"
    sleep 1  # the process ends after it reported SERVICE_STOPPED
  done
  starts[$c]="$(median <"$work/starts-$c") ms ($(range <"$work/starts-$c"))"
  stops[$c]="$(median <"$work/stops-$c") ms ($(range <"$work/stops-$c"))"
done

# ---- the idle programs ------------------------------------------------------------------------------

echo "idling $idle s"
for c in "${columns[@]}"; do
  wine_run start-idle "$work/windows_probe.exe" start "${name[$c]}" || { cat "$out/start-idle"; exit 1; }
done
linux_pid=
if [ -x "$linux_updater" ]; then
  cp "$linux_updater" "$work/linux/svcupdater"
  config kSU_bench >"$work/linux/svcupdaterconfig"
  "$work/linux/svcupdater" >"$out/linux-updater" 2>&1 &
  linux_pid=$!
  pids+=($linux_pid)
fi
sleep "$idle"

# Per column: working set, peak working set, PrivateUsage, PagefileUsage (GetProcessMemoryInfo
# inside Wine), then VmRSS and RssAnon of the hosting Linux process, all in KiB.
declare -A memory
for c in "${columns[@]}"; do
  wine_run memory "$work/windows_probe.exe" memory "${name[$c]}" || { cat "$out/memory"; exit 1; }
  read -r pid ws peak private pagefile < <(tr -d '\r' <"$out/memory")
  host=$(host_pid "C:\\kn-bench-$c\\${exe[$c]}")
  memory[$c]="$ws $peak $private $pagefile $(status_kib "$host" VmRSS) $(status_kib "$host" RssAnon)"
  echo "${name[$c]}: Windows process $pid, hosted by Linux process $host"
done
memory[linux]="- - - - - -"
[ -n "$linux_pid" ] &&
  memory[linux]="$(status_kib "$linux_pid" VmRSS) $(status_kib "$linux_pid" VmHWM) - - - $(status_kib "$linux_pid" RssAnon)"
for c in "${columns[@]}"; do
  wine_run uninstall "C:\\kn-bench-$c\\${exe[$c]}" /UNINSTALL || true
done

# ---- the table --------------------------------------------------------------------------------------

row() { printf '%-44s %-25s %-25s %-25s %s\n' "$@"; }
field() { local v; v=$(echo "${memory[$1]:-- - - - - -}" | cut -d' ' -f"$2"); mib "$v"; }
memory_row() { row "$1" "$(field built "$2")" "$(field stripped "$2")" "$(field smallest "$2")" "$(field linux "$2")"; }
linux_size=-
linux_stripped=-
if [ -x "$linux_updater" ]; then
  strip -o "$work/linux/svcupdater.stripped" "$linux_updater"
  linux_size=$(size_of "$linux_updater")
  linux_stripped=$(size_of "$work/linux/svcupdater.stripped")
fi
echo
row "" "svcupdater.exe" "svcupdater.exe" "smallest service" "svcupdater"
row "" "as built, Wine" "stripped, Wine" "(service host), Wine" "Linux, native"
row "StartService to RUNNING, median of $runs" "${starts[built]}" "${starts[stripped]}" "${starts[smallest]:--}" "-"
row "stop control to STOPPED, median of $runs" "${stops[built]}" "${stops[stripped]}" "${stops[smallest]:--}" "-"
memory_row "idle ${idle} s: working set (Linux: VmRSS)" 1
memory_row "idle ${idle} s: peak working set (VmHWM)" 2
memory_row "idle ${idle} s: PrivateUsage" 3
memory_row "idle ${idle} s: PagefileUsage" 4
memory_row "idle ${idle} s: hosting process VmRSS" 5
memory_row "idle ${idle} s: hosting process RssAnon" 6
row "program size" "$(size_of "$build/updater/svcupdater.exe")" "$(size_of "$work/svcupdater.stripped.exe")" \
  "$( [ -f "${program[smallest]}" ] && size_of "${program[smallest]}" || echo -)" "$linux_size (stripped $linux_stripped)"
