#!/bin/bash
# The side-by-side of our audit document and FusionInventory's inventory of this machine: one row per
# category FusionInventory reports, its count and ours, and the time each takes. Prints the Markdown
# table that agent/audit/WMIMapping.md keeps.
#
#   cmake --preset bench && cmake --build build-bench --target audit_bench && bench/inventory_side_by_side.sh
#
# Runs as root (both inventories read what only root may). Without fusioninventory-agent it says so
# and stops: nothing is installed by this script.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bench=${AUDIT_BENCH:-$here/build-bench/bench/audit_bench}

if ! command -v fusioninventory-agent >/dev/null 2>&1; then
  echo "fusioninventory-agent is not installed: the side-by-side was not run." >&2
  exit 2
fi
[ -x "$bench" ] || { echo "build audit_bench first ($bench)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Ours: the full audit as the agent runs it, its document kept, its median time.
KN_AUDIT_DOCUMENT="$work/audit.json" "$bench" --benchmark_filter='BM_FullAudit' \
  --benchmark_format=json >"$work/ours.json"

# FusionInventory: a local inventory into a folder, timed the same way (median of 3 runs).
mkdir -p "$work/fi"
for i in 1 2 3; do
  start=$(date +%s.%N)
  fusioninventory-agent --local "$work/fi" --no-task=deploy,wakeonlan,netdiscovery,netinventory,esx \
    >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc >>"$work/fi_times"
done

python3 - "$work" <<'PY'
import glob, json, statistics, sys
import xml.etree.ElementTree as ET

work = sys.argv[1]
doc = json.load(open(f"{work}/audit.json"))["rurirudoDUROVorov"]
ours_ms = [b["real_time"] for b in json.load(open(f"{work}/ours.json"))["benchmarks"]
           if b.get("aggregate_name") == "median"][0]
fi_ms = 1000 * statistics.median(float(t) for t in open(f"{work}/fi_times").read().split())

files = glob.glob(f"{work}/fi/*.ocs") + glob.glob(f"{work}/fi/*.xml")
content = ET.parse(files[0]).getroot().find("CONTENT") if files else None
def fi(tag):
    return len(content.findall(tag)) if content is not None else 0
def fi_software(source):
    if content is None:
        return 0
    return sum(1 for s in content.findall("SOFTWARES") if (s.findtext("FROM") or "").lower() == source)
def ours(member, keep=lambda o: True):
    return sum(1 for o in doc.get(member, []) if isinstance(o, dict) and keep(o))
def ours_software(source):
    if source == "deb":
        return sum(1 for o in doc.get("Software", []) if not o.get("install_source"))
    return sum(1 for o in doc.get("Software", []) if o.get("install_source") == source)
vmsystem = content.findtext("HARDWARE/VMSYSTEM") if content is not None else ""
kind = (doc.get("ComputerSystemDetail") or [{}])[0].get("VirtualizationType", "none")

rows = [
    ("PCI devices", fi("CONTROLLERS"), ours("PnPEntityDetail", lambda o: o.get("DeviceID", "").startswith("PCI\\"))),
    ("USB devices", fi("USBDEVICES"), ours("PnPEntityDetail", lambda o: o.get("DeviceID", "").startswith("USB\\"))),
    ("Monitors", fi("MONITORS"), ours("DesktopMonitorDetail")),
    ("Virtualization (VMSYSTEM)", vmsystem or "-", kind),
    ("Virtual machines / containers hosted", fi("VIRTUALMACHINES"), 0),
    ("Network interfaces", fi("NETWORKS"), ours("NetworkAdapterDetail")),
    ("Disks", fi("STORAGES"), ours("DiskDriveDetail")),
    ("File systems", fi("DRIVES"), ours("LogicalDiskDetail")),
    ("Partitions", "-", ours("DiskPartitionDetail")),
    ("Software (deb)", fi_software("deb"), ours_software("deb")),
    ("Software (rpm)", fi_software("rpm"), ours_software("rpm")),
    ("Software (snap)", fi_software("snap"), ours_software("snap")),
    ("Software (flatpak)", fi_software("flatpak"), ours_software("flatpak")),
    ("Processors", fi("CPUS"), ours("ProcessorDetail")),
    ("Memory modules", fi("MEMORIES"), ours("PhysicalMemoryDetail")),
    ("Users", fi("USERS") + fi("LOCAL_USERS"), ours("UserAccountDetail")),
    ("Processes", fi("PROCESSES"), ours("ProcessDetail")),
]
print("| Category | FusionInventory | Kestrane |")
print("|---|---|---|")
for name, a, b in rows:
    print(f"| {name} | {a} | {b} |")
print(f"| Time (median) | {fi_ms:.0f} ms | {ours_ms:.1f} ms ({fi_ms / ours_ms:.0f}x faster) |")
PY
