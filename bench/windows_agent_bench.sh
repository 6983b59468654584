#!/usr/bin/env bash
# auditagent.exe under Wine 8.0, the figures where Windows differs from Linux:
#   - Wine's own cost: the start of a program that does nothing (the tree's plain test program),
#     from the Linux shell to its end through cmd.exe, median of <runs>;
#   - the full audit with its start: the audit child (`auditagent.exe --kn-audit-child <file>`, what
#     the agent starts for every audit: WMI's 35 classes and the VBScript inventory through the
#     script control) from the Linux shell to its end through cmd.exe, median of <runs>, beside the Linux build's
#     child natively on this machine;
#   - the idle agent: a service of Wine's service manager with its real timetable and an API key,
#     against the reference server; after its first check-in and status record (10 s), its CPU time
#     over <idle> seconds (the Linux process that hosts it, /proc/<pid>/task/*/schedstat, scaled to
#     an hour) and its memory (GetProcessMemoryInfo inside Wine, through bench/windows_probe.c),
#     beside the smallest service of the tree (the service host and nothing else) idling as long.
#
#   bench/windows_agent_bench.sh [build-win folder] [runs] [idle seconds]
#
# KN_BENCH_AGENT names another auditagent.exe to measure (a stripped copy: the build's carries its
# debugging sections in the image).
# Needs the Windows build (cmake --preset windows && ninja -C build-win) and, for the idle agent's
# platform, the Linux build's reference server. Uses a Wine prefix of its own in the build folder.
set -uo pipefail
cd "$(dirname "$0")/.."
source cmake/windows/wine-e2e.sh
build=$(realpath "${1:-build-win}")
runs=${2:-11}
idle=${3:-60}
server=${KN_PLATFORMSERVER:-build/tools/platformserver/kn-platformserver}
linux_agent=build/agent/auditagent
agent=${KN_BENCH_AGENT:-$build/agent/auditagent.exe}  # e.g. a stripped copy
plain=$build/common/kn_test_plain_program.exe
smallest=$build/updater/watched/app-1.0.exe
for f in "$agent" "$plain" "$smallest"; do
  [ -f "$f" ] || { echo "no $f: build the Windows tree first" >&2; exit 1; }
done
[ -x "$server" ] || { echo "no reference server $server: build the Linux tree first" >&2; exit 1; }

work=$build/bench-agent-wine
export WINEPREFIX=$work/prefix
out=$work/out
folder=$WINEPREFIX/drive_c/kn-bench
rm -rf "$out" "$work/linux" "$work/platform.db" && mkdir -p "$out" "$work/linux"
print_logs() { :; }

now_ms() { date +%s%3N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
range() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo "-" hi }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }

# time_runs <file> <command...>: the wall-clock milliseconds of <runs> runs, one a line, into <file>.
time_runs() {
  local file=$1 i begun
  shift
  : >"$file"
  for i in $(seq "$runs"); do
    begun=$(now_ms)
    "$@" >"$out/last-run" 2>&1 </dev/null || { echo "failed: $*" >&2; cat "$out/last-run" >&2; exit 1; }
    echo $(($(now_ms) - begun)) >>"$file"
  done
  echo "$(median <"$file") ms ($(range <"$file"))"
}

cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d", s }'; }

# ---- set-up ---------------------------------------------------------------------------------------

x86_64-w64-mingw32-gcc -O2 -Wall -municode -DUNICODE -D_UNICODE -D_WIN32_WINNT=0x0A00 \
  -o "$work/windows_probe.exe" bench/windows_probe.c -lpsapi
prepare_prefix 1 ZARODIRazev KnWatchedApp
rm -rf "$folder" && mkdir -p "$folder"
cp "$agent" "$folder/auditagent.exe"
cp "$smallest" "$folder/watched.exe"
start_reference_server "$server" "$work"
printf 'url=%s\r\n' "${server_url%/}" >"$folder/endpoint.ini"
wine_run apikey reg add 'HKLM\Software\Policies\ZARODIRazev' /v apikey /t REG_SZ /d K-bench /f

# ---- starts and audits ----------------------------------------------------------------------------

# Both through cmd.exe, which waits for its program as the agent waits for its audit child: a
# child whose parent is gone ends at once.
cp "$plain" "$folder/plain.exe"
echo "timing $runs starts of an empty program"
empty=$(time_runs "$work/empty" "$wine" cmd /c 'C:\kn-bench\plain.exe')
echo "timing $runs audits under Wine"
audit=$(time_runs "$work/audits" "$wine" cmd /c 'C:\kn-bench\auditagent.exe --kn-audit-child C:\kn-bench\audit.json')
[ -f "$folder/audit.json" ] || { echo "the audit wrote no document" >&2; exit 1; }
audit_size=$(stat -c %s "$folder/audit.json")
linux_audit=-
if [ -x "$linux_agent" ]; then
  echo "timing $runs audits of the Linux build, natively"
  linux_audit=$(time_runs "$work/linux-audits" "$linux_agent" --kn-audit-child "$work/linux/audit.json")
fi

# ---- the idle services ----------------------------------------------------------------------------

echo "idling $idle s"
wine_run install-agent 'C:\kn-bench\auditagent.exe' /INSTALL || { cat "$out/install-agent"; exit 1; }
wine_run install-watched 'C:\kn-bench\watched.exe' /INSTALL || { cat "$out/install-watched"; exit 1; }
wine_run start-agent "$work/windows_probe.exe" start ZARODIRazev || { cat "$out/start-agent"; exit 1; }
agent_start=$(tr -d '\r' <"$out/start-agent")
wine_run start-watched "$work/windows_probe.exe" start KnWatchedApp || { cat "$out/start-watched"; exit 1; }
sleep 10
declare -A cpu memory pid
for service in ZARODIRazev KnWatchedApp; do
  case $service in ZARODIRazev) exe='C:\kn-bench\auditagent.exe' ;; *) exe='C:\kn-bench\watched.exe' ;; esac
  pid[$service]=$(host_pid "$exe")
  [ -n "${pid[$service]}" ] || { echo "no Linux process hosts $exe" >&2; exit 1; }
  cpu[$service]=$(cpu_ns "${pid[$service]}")
done
sleep "$idle"
for service in ZARODIRazev KnWatchedApp; do
  used=$(($(cpu_ns "${pid[$service]}") - cpu[$service]))
  cpu[$service]=$(awk -v ns="$used" -v s="$idle" 'BEGIN { printf "%.2f s", ns / 1e9 * 3600 / s }')
  wine_run memory "$work/windows_probe.exe" memory $service || { cat "$out/memory"; exit 1; }
  # Wine leaves PrivateUsage 0; PagefileUsage is the same figure (the private committed bytes).
  read -r _ ws peak _ private < <(tr -d '\r' <"$out/memory")
  memory[$service]="$ws $peak $private $(awk '$1 == "VmRSS:" { print $2 }' "/proc/${pid[$service]}/status")"
done
for service in ZARODIRazev KnWatchedApp; do wine_run stop-$service sc stop $service; done
wine_run uninstall-agent 'C:\kn-bench\auditagent.exe' /UNINSTALL
wine_run uninstall-watched 'C:\kn-bench\watched.exe' /UNINSTALL

# ---- the table ------------------------------------------------------------------------------------

row() { printf '%-48s %-28s %s\n' "$@"; }
field() { mib "$(echo "${memory[$1]}" | cut -d' ' -f"$2")"; }
echo
row "" "auditagent.exe, Wine" "smallest service, Wine"
row "empty program: start to end, median of $runs" "-" "$empty"
row "full audit with its start, median of $runs" "$audit" "-"
row "  its document" "$((audit_size / 1024)) KiB" "-"
row "  the Linux build's audit, native" "$linux_audit" "-"
row "StartService to RUNNING" "$agent_start ms" "-"
row "idle: CPU time per hour" "${cpu[ZARODIRazev]}" "${cpu[KnWatchedApp]}"
row "idle: working set" "$(field ZARODIRazev 1)" "$(field KnWatchedApp 1)"
row "idle: peak working set" "$(field ZARODIRazev 2)" "$(field KnWatchedApp 2)"
row "idle: private bytes (PagefileUsage)" "$(field ZARODIRazev 3)" "$(field KnWatchedApp 3)"
row "idle: hosting Linux process VmRSS" "$(field ZARODIRazev 4)" "$(field KnWatchedApp 4)"
