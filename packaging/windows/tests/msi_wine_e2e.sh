#!/usr/bin/env bash
# The MSI under Wine's msiexec, on a machine of its own (a new Wine prefix each run), reporting to
# the reference server (the Linux build's kn-platformserver on loopback):
#
#   1. two MSIs are built and signed with a test publisher's certificate (made here with openssl),
#      the second a higher version; their tables hold the services, their failure actions, the
#      logs folder's access list and the properties as Windows needs them;
#   2. "msiexec /i ... /qn URL=... APIKEY=... UPDATEURL=... PUBLICKEY=..." installs: both services
#      run with quoted image paths, the agent checks in with the key, the settings files hold what
#      was given, the installed programs' signatures verify, and no file holds the key;
#   3. the second MSI, given no property, upgrades in place: the machine identifier, the stored key
#      and the settings are unchanged, and the agent checks in again; the first is then refused;
#   4. "msiexec /x" removes the services, the programs, the logs and the stored key.
#
#   msi_wine_e2e.sh --make-msi SCRIPT --version V --agent EXE --updater EXE --keytool EXE
#                   --actions DLL --server PROGRAM --work DIR
#
# Exit 0 when every check passed, 1 when one failed, 77 (skipped) when the reference server or a
# host tool is missing.
set -uo pipefail
source "$(dirname "$0")/../../../cmake/windows/wine-e2e.sh"

readonly kAgent=ZARODIRazev kUpdater=KestraneUpdater
readonly kApiKey='K-msi|e2e-7f3a'  # a "|" too: the actions' data is split at "|"
readonly kTimeScale=600            # a check-in every 0.9 s
readonly kFolderWin='C:\Program Files\Kestrane'

# ---- arguments and tools ------------------------------------------------------------------------

while [ $# -gt 0 ]; do
  case "$1" in
    --make-msi) make_msi=$2 ;;
    --version) version=$2 ;;
    --agent) agent=$2 ;;
    --updater) updater=$2 ;;
    --keytool) keytool=$2 ;;
    --actions) actions=$2 ;;
    --server) server=$2 ;;
    --work) work=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
for var in make_msi version agent updater keytool actions server work; do
  [ -n "${!var:-}" ] || { echo "--$var is missing" >&2; exit 2; }
done

[ -x "$server" ] || skip "the reference server $server is missing: build it with" \
  "'cmake --preset default && ninja -C build kn-platformserver', or set KN_PLATFORMSERVER"
for tool in curl jq openssl osslsigncode wixl msibuild msiinfo wineserver; do
  command -v $tool >/dev/null || skip "$tool is not installed (./setup.sh windows)"
done
[ -x "$wine" ] || skip "wine64 is not installed"

work=$(realpath -m "$work")
export WINEPREFIX=$work/prefix
drive=$WINEPREFIX/drive_c
folder="$drive/Program Files/Kestrane"
identity="$drive/ProgramData/Kestrane/Identity/PCID.ini"
out=$work/out  # what every Wine command printed, one file each
wineserver -k >/dev/null 2>&1  # a server of an interrupted run would hold the old prefix
rm -rf "$WINEPREFIX" "$out" "$work/server.out" "$work/platform.db" "$work/pki"
mkdir -p "$out" "$work/pki"

# ---- helpers ------------------------------------------------------------------------------------

print_logs() { print_files "$folder"/logs/* "$work/server.out"; }

calls() { curl -sf "${server_url}api/calls?method=$1"; }
check_ins() { calls putCommand | jq 'length' 2>/dev/null || echo 0; }
checks_in_after() { [ "$(check_ins)" -gt "$1" ]; }
machines() { curl -sf "${server_url}api/machines"; }

# One row's column of an MSI table: table_value <msi> <table> <key> <column number> (msiinfo ends
# its lines with CR LF).
table_value() { msiinfo export "$1" "$2" | tr -d '\r' | awk -F'\t' -v k="$3" -v c="$4" 'NR > 3 && $1 == k { print $c }'; }

reg_value() {  # reg_value <key> <value>: the data, or nothing when there is none
  wine_run reg-value reg query "$1" /v "$2" || return 0
  sed -n "s/^ *$2 *REG_[A-Z_]* *//p" "$out/reg-value" | tr -d '\r'
}
image_path() { reg_value "HKLM\\System\\CurrentControlSet\\Services\\$1" ImagePath; }
stored_key() { reg_value 'HKLM\Software\Kestrane\.ak_zarodirazev\zarodirazev' value; }
display_version() {
  reg_value "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$(table_value "$1" Property ProductCode 2)" \
    DisplayVersion
}

# True when no file of the machine's drive, nor its registry, holds <text>, in UTF-8 or UTF-16;
# the files that do are listed in $out/found.
nowhere() {
  python3 - "$1" "$drive" "$WINEPREFIX"/*.reg >"$out/found" <<'PY'
import os, sys
needles = [sys.argv[1].encode(), sys.argv[1].encode("utf-16-le")]
def files(root):
    if os.path.isfile(root):
        yield root
    for top, _, names in os.walk(root):
        for name in names:
            path = os.path.join(top, name)
            if os.path.isfile(path) and not os.path.islink(path):
                yield path
found = False
for root in sys.argv[2:]:
    for path in files(root):
        with open(path, "rb") as f:
            data = f.read()
        if any(n in data for n in needles):
            print(path)
            found = True
sys.exit(1 if found else 0)
PY
}

both_running() { is_running $kAgent && is_running $kUpdater; }
both_gone() { is_gone $kAgent && is_gone $kUpdater; }

# ---- the steps ----------------------------------------------------------------------------------

# A test root and a code-signing certificate under it, as a publisher's would be; and the
# publisher's package key, whose public half PUBLICKEY gives.
make_keys() {
  local pki=$work/pki
  (
    cd "$pki" &&
      openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 -subj "/CN=Kestrane Test Root" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign &&
      openssl req -newkey rsa:2048 -nodes -keyout sign.key -out sign.csr -subj "/CN=Kestrane Test Publisher" &&
      printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >sign.ext &&
      openssl x509 -req -in sign.csr -CA root.pem -CAkey root.key -CAcreateserial -days 2 -extfile sign.ext \
        -out sign.pem &&
      cat sign.pem root.pem >chain.pem &&
      openssl genpkey -algorithm ed25519 -out package.key &&
      openssl pkey -in package.key -pubout -out package.pub
  ) >"$out/openssl" 2>&1 || abort "making the test keys with openssl"
  public_key=$(grep -v -- ----- "$pki/package.pub" | tr -d '\n')
}

build_msis() {
  echo "two signed MSIs, $version and $upgrade_version"
  local v
  for v in "$version" "$upgrade_version"; do
    bash "$make_msi" --out "$work/kestrane-$v.msi" --version "$v" --agent "$agent" --updater "$updater" \
      --keytool "$keytool" --actions "$actions" --cert "$work/pki/chain.pem" --key "$work/pki/sign.key" \
      >"$out/make-msi-$v" 2>&1 || abort "make-msi.sh $v failed: $(cat "$out/make-msi-$v")"
  done
  msi=$work/kestrane-$version.msi
  upgrade_msi=$work/kestrane-$upgrade_version.msi
}

step_tables() {
  echo "the MSI's tables"
  local service
  for service in $kAgent $kUpdater; do
    # Own process (16), automatic start (2), LocalSystem; started on install (1), stopped on install
    # and removal (2 + 32), deleted on removal (128).
    check "$service is installed as its own process, started automatically, as LocalSystem" eval \
      'msiinfo export "$msi" ServiceInstall | awk -F"\t" -v s=$service \
         "\$2 == s && \$4 == 16 && \$5 == 2 && \$9 == \"LocalSystem\" { f = 1 } END { exit !f }"'
    check "$service is started on install, stopped on both, deleted on removal" eval \
      'msiinfo export "$msi" ServiceControl | awk -F"\t" -v s=$service "\$2 == s && \$3 == 163 { f = 1 } END { exit !f }"'
    check "$service restarts after a failure" eval \
      'msiinfo export "$msi" MsiServiceConfigFailureActions | awk -F"\t" -v s=$service \
         "\$2 == s && \$7 == \"1[~]1[~]1\" && \$8 == \"1000[~]60000[~]300000\" { f = 1 } END { exit !f }"'
  done
  check "the logs folder gives SYSTEM and Administrators full control and nobody else anything" \
    [ "$(table_value "$msi" MsiLockPermissionsEx LogsAccess 4)" = 'D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)' ]
  check "APIKEY and its action's data are hidden properties" eval \
    '[[ ";$(table_value "$msi" Property MsiHiddenProperties 2);" == *";APIKEY;"* && \
        ";$(table_value "$msi" Property MsiHiddenProperties 2);" == *";StoreApiKey;"* ]]'
  check "the MSI itself holds no APIKEY" [ -z "$(table_value "$msi" Property APIKEY 2)" ]
  check "the key's actions hide their data (HideTarget)" eval \
    '(( $(table_value "$msi" CustomAction StoreApiKey 2) & 0x2000 && $(table_value "$msi" CustomAction SetStoreApiKey 2) & 0x2000 ))'
  check "the four properties are secure" eval \
    '[[ ";$(table_value "$msi" Property SecureCustomProperties 2);" == *";APIKEY;PUBLICKEY;UPDATEURL;URL;"* ]]'
  check "the upgrade replaces older versions" eval \
    'msiinfo export "$upgrade_msi" Upgrade | grep -q WIX_UPGRADE_DETECTED'
}

step_install() {
  echo "msiexec /i, unattended, with the four properties"
  local begun=$SECONDS
  wine_run install msiexec /i "$msi" /qn "URL=${server_url%/}" "APIKEY=$kApiKey" "UPDATEURL=$server_url" \
    "PUBLICKEY=$public_key" || abort "msiexec /i failed (exit $?)"
  echo "  installed in $((SECONDS - begun)) s"
  check "both services run" eventually 30 both_running
  local service
  for service in $kAgent $kUpdater; do
    check "the image path of $service is quoted" eval '[[ "$(image_path $service)" == "\""*"\"" ]]'
  done
  check "endpoint.ini holds the address" grep -qxF "url=${server_url%/}"$'\r' "$folder/endpoint.ini"
  check "the updater's configuration holds the update server and its key file" \
    jq -e --arg u "$server_url" '.updateurl == $u and .publickey == "publisher.pub"' "$folder/svcupdater.execonfig" \
    >/dev/null
  check "the key file is the publisher's key" cmp -s "$work/pki/package.pub" "$folder/publisher.pub"
  check "the agent checks in" eventually 60 checks_in_after 0
  check "with the key (the server takes no other)" eval 'machines | jq -e "length == 1 and .[0].has_key" >/dev/null'
  check "the key is stored as kn-apikey stores it, enciphered" eval '[ -n "$(stored_key)" ] && [ "$(stored_key)" != "$kApiKey" ]'
  local file
  for file in auditagent.exe svcupdater.exe kn-apikey.exe; do
    check "the installed $file is signed by the publisher" \
      osslsigncode verify -CAfile "$work/pki/root.pem" -in "$folder/$file" >"$out/verify-$file" 2>&1
  done
  check "the MSI is signed by the publisher" \
    osslsigncode verify -CAfile "$work/pki/root.pem" -in "$msi" >"$out/verify-msi" 2>&1
  check "no file and no registry value holds the key" nowhere "$kApiKey"
  machine_id=$(machines | jq -r '.[0].machine_id')
  pcid=$(cat "$identity" 2>/dev/null)
  key_stored=$(stored_key)
  cp "$folder/endpoint.ini" "$folder/svcupdater.execonfig" "$work/" 2>/dev/null
}

step_upgrade() {
  echo "msiexec /i of $upgrade_version, no property"
  local begun=$SECONDS
  wine_run upgrade msiexec /i "$upgrade_msi" /qn || abort "the upgrade failed (exit $?)"
  echo "  upgraded in $((SECONDS - begun)) s"
  check "the installed version is $upgrade_version" [ "$(display_version "$upgrade_msi")" = "$upgrade_version" ]
  check "the older version is no longer installed" [ -z "$(display_version "$msi")" ]
  check "both services run again" eventually 30 both_running
  check "the image path stays quoted" eval '[[ "$(image_path $kAgent)" == "\""*"\"" ]]'
  check "the machine identifier is unchanged" eval '[ -n "$pcid" ] && [ "$(cat "$identity")" = "$pcid" ]'
  check "the stored key is unchanged" [ "$(stored_key)" = "$key_stored" ]
  check "endpoint.ini is unchanged" cmp -s "$work/endpoint.ini" "$folder/endpoint.ini"
  check "the updater's configuration is unchanged" cmp -s "$work/svcupdater.execonfig" "$folder/svcupdater.execonfig"
  local before
  before=$(check_ins)
  check "the upgraded agent checks in again" eventually 60 checks_in_after "$before"
  check "as the same machine, with its key" eval \
    'machines | jq -e --arg id "$machine_id" "length == 1 and .[0].machine_id == \$id and .[0].has_key" >/dev/null'
  check "the upgrade's note is gone" [ -z "$(reg_value 'HKLM\Software\Kestrane\Setup' UpgradeStarted)" ]
  check "the older MSI is refused now" eval '! wine_run downgrade msiexec /i "$msi" /qn'
  check "and leaves the services running" both_running
}

step_remove() {
  echo "msiexec /x"
  local begun=$SECONDS
  wine_run remove msiexec /x "$upgrade_msi" /qn || abort "msiexec /x failed (exit $?)"
  echo "  removed in $((SECONDS - begun)) s"
  check "both services are gone" eventually 15 both_gone
  check "the programs, settings and logs are gone" [ ! -e "$folder" ]
  check "the stored key is gone" [ -z "$(stored_key)" ]
  check "nothing holds the key, plain or enciphered" eval 'nowhere "$kApiKey" && nowhere "$key_stored"'
  check "the machine's identity stays for a new install" [ "$(cat "$identity" 2>/dev/null)" = "$pcid" ]
}

# ---- the run ------------------------------------------------------------------------------------

IFS=. read -r major minor patch _ <<<"$version"
upgrade_version=$major.$minor.$((patch + 1))
make_keys
build_msis
step_tables
prepare_prefix $kTimeScale
start_reference_server "$server" "$work" --key "$kApiKey"
step_install
step_upgrade
step_remove
finish
