#!/usr/bin/env bash
# The demo end to end, as a person sees it: the agent checks in and uploads its audit to the reference
# server, and the machine's page, rendered by headless Chromium, shows the machine and its audit sections.
# Exits 77 (skipped) where Chromium is not installed.
set -euo pipefail
top=$(cd "$(dirname "$0")/../../.." && pwd)
command -v chromium >/dev/null || { echo "chromium is not installed: skipped"; exit 77; }

page=$(mktemp /tmp/kn-demo-page.XXXXXX)
trap 'rm -f "$page"' EXIT
KN_DEMO_NO_BUILD=1 KN_DEMO_PAGE="$page" "$top/demo.sh"

failed=0
expect() {
  if grep -q -- "$1" "$page"; then echo "ok: $2"; else echo "MISSING: $2"; failed=1; fi
}
expect "<h1>$(hostname -s | cut -c1-15)" "the machine's name as the page title"
expect "Last check-in" "the last check-in"
expect "Last mini-audit" "the last mini-audit"
expect "Latest audit" "the latest audit"
for section in Users Software OSResume MachineResume ProcessDetail ServiceDetail; do
  expect "<h3>$section (" "the audit section $section"
done
expect "<table" "tables, not raw JSON alone"
exit $failed
