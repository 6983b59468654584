#!/usr/bin/env bash
# auditagent.exe as a real service of Wine's service manager, reporting to the reference server (the
# Linux build's kn-platformserver on loopback):
#
#   1. "/INSTALL" registers the service with its image path in quotes (the install folder has a
#      blank in its name) and `sc start` starts it;
#   2. at a small time scale it checks in, sends its status record and uploads a full audit, whose
#      document holds the five sections of the inventory script and a member for every class of
#      the class list, each an array;
#   3. `sc stop` ends it inside the stop's wait hint, with the service's life in its log;
#   4. "/UNINSTALL" removes it.
#
#   auditagent_wine_e2e.sh --auditagent EXE --version V --classes FILE --server PROGRAM --work DIR
#
# V is the program's version, FILE the shipped class list. The work folder keeps its Wine prefix from run to run (made once);
# everything else in it is made anew. Exit 0 when every check passed, 1 when one failed, 77
# (skipped) when the reference server or a host tool is missing.
set -uo pipefail
source "$(dirname "$0")/../../cmake/windows/wine-e2e.sh"

readonly kService=ZARODIRazev kApiKey=K-wine-e2e
# A check-in every 0.9 s, a status record every 1.5 s, the audit due at once; the stop's 5 s wait
# takes 8 ms.
readonly kTimeScale=600
readonly kFolderWin='C:\Program Files\Kestrane Agent'
readonly kStopWaitHint=30  # seconds: the wait hint the service gives while it stops

# ---- arguments and tools ------------------------------------------------------------------------

while [ $# -gt 0 ]; do
  case "$1" in
    --auditagent) auditagent=$2 ;;
    --version) version=$2 ;;
    --classes) classes=$2 ;;
    --server) server=$2 ;;
    --work) work=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
for var in auditagent version classes server work; do
  [ -n "${!var:-}" ] || { echo "--$var is missing" >&2; exit 2; }
done

[ -x "$server" ] || skip "the reference server $server is missing: build it with" \
  "'cmake --preset default && ninja -C build kn-platformserver', or set KN_PLATFORMSERVER"
for tool in curl jq wineserver; do
  command -v $tool >/dev/null || skip "$tool is not installed"
done
[ -x "$wine" ] || skip "wine64 is not installed"

work=$(realpath -m "$work")
export WINEPREFIX=$work/prefix
folder="$WINEPREFIX/drive_c/Program Files/Kestrane Agent"
out=$work/out  # what every Wine command printed, one file each
mkdir -p "$work"
rm -rf "$out" "$work/server.out" "$work/platform.db" "$work/audit.json"
mkdir -p "$out"

# ---- helpers ------------------------------------------------------------------------------------

print_logs() { print_files "$folder"/logs/* "$work/server.out"; }

# The agent's daily log of <name> ("TITAuditMain", "TZARODIRazev"), all its files.
agent_log() { cat "$folder"/logs/auditagent."$1".*.vlog 2>/dev/null; }

# The calls of <method> the reference server has answered, as a JSON array.
calls() { curl -sf "${server_url}api/calls?method=$1"; }
has_call() { [ "$(calls "$1" | jq 'length')" -gt 0 ] 2>/dev/null; }

# The audit document last uploaded by the one machine that called in, into $work/audit.json.
fetch_audit() {
  local id
  id=$(curl -sf "${server_url}api/machines" | jq -r '.[0].machine_id') || return 1
  curl -sf "${server_url}machine/audit.json?id=$id" >"$work/audit.json"
}
# True when the audit section of the document has <member> and it is an array.
has_array_member() { jq -e --arg m "$1" '.rurirudoDUROVorov[$m] | type == "array"' "$work/audit.json" >/dev/null; }

# The member name the class dump gives <class> ("Win32_Bios" -> "BiosDetail").
member_of() {
  case "$1" in
    Win32_*) echo "${1#Win32_}Detail" ;;
    *) echo "$1" ;;
  esac
}

install_folder() {
  rm -rf "$folder" && mkdir -p "$folder"
  cp "$auditagent" "$folder/auditagent.exe"
  printf 'url=%s\r\n' "${server_url%/}" >"$folder/endpoint.ini"
  wine_run apikey reg add 'HKLM\Software\Policies\ZARODIRazev' /v apikey /t REG_SZ /d $kApiKey /f ||
    abort "writing the API key into the registry"
}

# ---- the steps ----------------------------------------------------------------------------------

step_install() {
  echo "/INSTALL and sc start"
  wine_run install "$kFolderWin\\auditagent.exe" /INSTALL || abort "auditagent.exe /INSTALL failed"
  # Wine's sc has no "qc": the service manager's own registry key tells the same.
  local key='HKLM\System\CurrentControlSet\Services\'$kService
  wine_run image reg query "$key" /v ImagePath || abort "the service has no ImagePath"
  check "the image path is quoted" grep -qF "\"$kFolderWin\\auditagent.exe\"" "$out/image"
  wine_run start-type reg query "$key" /v Start || abort "the service has no start type"
  check "the service starts automatically" grep -qi "0x2" "$out/start-type"
  wine_run start sc start $kService || abort "sc start $kService failed"
  eventually 30 is_running $kService || abort "the service is not RUNNING"
}

step_report() {
  echo "check-in, status record and a full audit"
  check "it checks in" eventually 60 has_call putCommand
  check "it sends its status record" eventually 60 has_call putMiniAudit
  eventually 300 has_call putAudit || abort "no audit uploaded within 300 s"
  check "the platform took the upload" eval 'calls putAudit | jq -e ".[0].outcome == \"ok\"" >/dev/null'
  check "the agent named itself with the key and its version" eval \
    'curl -sf "${server_url}api/machines" | jq -e --arg v "$version" \
       ".[0].has_key == true and .[0].av == (\"auditagent/\" + \$v)" >/dev/null'
  fetch_audit || abort "the reference server has no audit document"
  check "the document says it succeeded" jq -e '.success == true' "$work/audit.json"
  local section member class
  for section in MachineResume OSResume Users Software SoftwareKeysDetail; do
    check "the document holds the section $section" has_array_member $section
  done
  check "MachineResume names the host" jq -e '.rurirudoDUROVorov.MachineResume[0].hostname | length > 0' \
    "$work/audit.json"
  local missing=0 listed=0
  while IFS= read -r class || [ -n "$class" ]; do
    class=${class%$'\r'}
    [ -z "$class" ] || [ "${class:0:1}" = / ] && continue
    listed=$((listed + 1))
    member=$(member_of "$class")
    has_array_member "$member" || { echo "    no array member $member"; missing=$((missing + 1)); }
  done <"$classes"
  check "the document holds a member for each of the $listed listed classes" [ $missing -eq 0 ]
  check "the operating system's class has its instance" \
    jq -e '.rurirudoDUROVorov.OperatingSystemDetail[0].Caption | length > 0' "$work/audit.json"
  check "the pending audit file is gone once sent" eventually 30 eval \
    '[ ! -e "$WINEPREFIX/drive_c/ProgramData/Kestrane/ZARODIRazev/latest_audit.json" ]'
}

step_stop() {
  echo "sc stop inside the wait hint"
  local begun=$SECONDS
  wine_run stop sc stop $kService || abort "sc stop $kService failed"
  eventually $kStopWaitHint is_stopped $kService
  check "it stopped within the wait hint of $kStopWaitHint s ($((SECONDS - begun)) s)" is_stopped $kService
  check "its log shows the whole life of the service" in_order "Create" "Start:..." "Start: OK" \
    "ServiceExecute" "Starting thread OK" "Stop" "Service terminated=true" "ServiceExecute: done" \
    < <(agent_log TZARODIRazev)
  check "the main loop ended" eval 'agent_log TITAuditMain | grep -qF "Execute terminated"'
  check "the audit ran and was sent" in_order "Running audit" "RunAudit finished (OK)" \
    "Sending audit json OK" < <(agent_log TITAuditMain)
}

step_uninstall() {
  echo "/UNINSTALL"
  check "auditagent.exe /UNINSTALL" wine_run uninstall "$kFolderWin\\auditagent.exe" /UNINSTALL
  check "the service is gone" eventually 15 is_gone $kService
}

# ---- the run ------------------------------------------------------------------------------------

prepare_prefix $kTimeScale $kService
start_reference_server "$server" "$work" --key $kApiKey
install_folder
step_install
step_report
step_stop
step_uninstall
finish
