#!/usr/bin/env bash
# Builds the Windows installer: strips and signs the programs, builds the MSI from
# kestrane-agent.wxs with wixl, adds the tables wixl does not write, and signs the MSI.
#
#   make-msi.sh --out FILE.msi --version V --agent EXE --updater EXE --keytool EXE --actions DLL
#               [--cert CERT.pem --key KEY.pem [--pass-file FILE]] [--timestamp URL] [--public-key VALUE]
#
# With --cert and --key every program, the actions' DLL and the MSI get an Authenticode signature
# (SHA-256) by that certificate, its chain taken from the certificate file; without them nothing is
# signed, and this says so. --public-key is the updater's package key for installs that give no
# PUBLICKEY (its Base64 line, or a PEM file, read now). Needs wixl, msibuild and msiinfo
# (msitools), osslsigncode and x86_64-w64-mingw32-strip.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

cert= key= pass_file= timestamp= public_key=
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$2 ;;
    --version) version=$2 ;;
    --agent) agent=$2 ;;
    --updater) updater=$2 ;;
    --keytool) keytool=$2 ;;
    --actions) actions=$2 ;;
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --pass-file) pass_file=$2 ;;
    --timestamp) timestamp=$2 ;;
    --public-key) public_key=$2 ;;
    *) echo "make-msi.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
for var in out version agent updater keytool actions; do
  [ -n "${!var:-}" ] || { echo "make-msi.sh: --$var is missing" >&2; exit 2; }
done
if { [ -n "$cert" ] && [ -z "$key" ]; } || { [ -z "$cert" ] && [ -n "$key" ]; }; then
  echo "make-msi.sh: --cert and --key go together" >&2
  exit 2
fi
for tool in wixl msibuild msiinfo x86_64-w64-mingw32-strip ${cert:+osslsigncode}; do
  command -v "$tool" >/dev/null || { echo "make-msi.sh: $tool is not installed (./setup.sh windows)" >&2; exit 2; }
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

sign() {  # sign <file>: signs it in place
  [ -n "$cert" ] || return 0
  local args=(-certs "$cert" -key "$key" -h sha256 -n "Kestrane Agent")
  [ -n "$pass_file" ] && args+=(-readpass "$pass_file")
  [ -n "$timestamp" ] && args+=(-t "$timestamp")
  osslsigncode sign "${args[@]}" -in "$1" -out "$1.signed" >"$stage/sign.out" 2>&1 ||
    { cat "$stage/sign.out" >&2; echo "make-msi.sh: signing $(basename "$1") failed" >&2; exit 1; }
  mv "$1.signed" "$1"
}

# The programs as shipped: without their debugging sections (most of an as-built image), signed.
x86_64-w64-mingw32-strip -o "$stage/auditagent.exe" "$agent"
x86_64-w64-mingw32-strip -o "$stage/svcupdater.exe" "$updater"
x86_64-w64-mingw32-strip -o "$stage/kn-apikey.exe" "$keytool"
x86_64-w64-mingw32-strip -o "$stage/InstallActions.dll" "$actions"
for f in auditagent.exe svcupdater.exe kn-apikey.exe InstallActions.dll; do sign "$stage/$f"; done

msi=$stage/package.msi
(cd "$stage" && wixl -a x64 -D Version="$version" -o "$msi" "$here/kestrane-agent.wxs") 2>"$stage/wixl.out" ||
  { cat "$stage/wixl.out" >&2; exit 1; }

# What wixl does not write. The failure actions as the programs' own /INSTALL sets them: restart at
# once, after a minute, then every five minutes, the count starting again after a day (on install
# and on repair). The logs folder: SYSTEM and Administrators only, nothing inherited.
tab=$'\t'
cat >"$stage/MsiServiceConfigFailureActions.idt" <<IDT
MsiServiceConfigFailureActions${tab}Name${tab}Event${tab}ResetPeriod${tab}RebootMessage${tab}Command${tab}Actions${tab}DelayActions${tab}Component_
s72${tab}s255${tab}i2${tab}I4${tab}L255${tab}S255${tab}S255${tab}S255${tab}s72
MsiServiceConfigFailureActions${tab}MsiServiceConfigFailureActions
AgentRestart${tab}ZARODIRazev${tab}5${tab}86400${tab}${tab}${tab}1[~]1[~]1${tab}1000[~]60000[~]300000${tab}Agent
UpdaterRestart${tab}KestraneUpdater${tab}5${tab}86400${tab}${tab}${tab}1[~]1[~]1${tab}1000[~]60000[~]300000${tab}Updater
IDT
cat >"$stage/MsiLockPermissionsEx.idt" <<IDT
MsiLockPermissionsEx${tab}LockObject${tab}Table${tab}SDDL${tab}Condition
s72${tab}s72${tab}s32${tab}s0${tab}S255
MsiLockPermissionsEx${tab}MsiLockPermissionsEx
LogsAccess${tab}LOGSDIR${tab}CreateFolder${tab}D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)${tab}
IDT
msibuild "$msi" -i "$stage/MsiServiceConfigFailureActions.idt" -i "$stage/MsiLockPermissionsEx.idt"

# The public properties pass from a managed deployment's client to the installing service only
# when secure; the key's actions keep their data out of the log (HideTarget, 0x2000).
# (msiinfo ends its lines with CR LF.)
secure=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')
msibuild "$msi" -q "UPDATE \`Property\` SET \`Value\` = 'APIKEY;PUBLICKEY;UPDATEURL;URL${secure:+;$secure}' WHERE \`Property\` = 'SecureCustomProperties'"
msiinfo export "$msi" CustomAction | tr -d '\r' | awk -F'\t' '$1 == "StoreApiKey" || $1 == "SetStoreApiKey" { print $1, $2 }' |
  while read -r action type; do
    msibuild "$msi" -q "UPDATE \`CustomAction\` SET \`Type\` = $((type | 0x2000)) WHERE \`Action\` = '$action'"
  done
if [ -n "$public_key" ]; then
  if [ -f "$public_key" ]; then
    public_key=$(grep -v -- '-----' "$public_key" | tr -d '\r\n')
  fi
  [[ $public_key =~ ^MCowBQYDK2VwAyEA[A-Za-z0-9+/]{43}=$ ]] ||
    { echo "make-msi.sh: --public-key is not an Ed25519 public key" >&2; exit 2; }
  msibuild "$msi" -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('PUBLICKEY', '$public_key')"
fi

sign "$msi"
mkdir -p "$(dirname "$out")"
mv "$msi" "$out"
if [ -n "$cert" ]; then
  echo "make-msi.sh: $out, signed"
else
  echo "make-msi.sh: $out, NOT signed (give --cert and --key)"
fi
