#!/usr/bin/env bash
# Our audit document beside the inventories of this machine that FusionInventory and OCS Inventory
# make: one row per category or fact that a peer reports, each inventory's count or value, and what
# this machine's own tools say (lspci, lscpu, lsblk, ip, getent, dpkg-query, systemd-detect-virt ...).
# A value that differs from the machine's is printed in bold. Prints the Markdown table of
# docs/peers.md; the times of the three come from bench/audit_bench.sh, which interleaves them.
#
#   bench/inventory_side_by_side.sh [path/to/auditagent]
#
# Runs as root (every inventory reads what only root may). The peers install from Debian's packages
# (fusioninventory-agent, ocsinventory-agent; dmidecode and hdparm, which both recommend, let them
# read what they can); a peer that is not installed gets an empty column, and with neither the
# script says so and stops: nothing is installed here. A benchmark only, never a test.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
. bench/agent_harness.sh
program=$(find_agent "${1:-}" inventory_side_by_side)

have_fi=$(command -v fusioninventory-inventory || true)
have_ocs=$(command -v ocsinventory-agent || true)
if [ -z "$have_fi" ] && [ -z "$have_ocs" ]; then
  echo "neither fusioninventory-agent nor ocsinventory-agent is installed: the side-by-side was not run." >&2
  exit 2
fi

# The machine as its own tools see it, just before ours runs (processes change from moment to moment).
ps -e --no-headers | wc -l >"$work/ps"
"$program" --kn-audit-child "$work/ours.json"
[ -n "$have_fi" ] && fusioninventory-inventory >"$work/fi.xml" 2>"$work/fi.err"
[ -n "$have_ocs" ] && ocsinventory-agent --stdout --basevardir="$work/ocs" >"$work/ocs.xml" 2>"$work/ocs.err"

python3 - "$work" <<'PY'
import collections, glob, json, os, re, subprocess, sys, time
import xml.etree.ElementTree as ET

work = sys.argv[1]
doc = json.load(open(f"{work}/ours.json"))["rurirudoDUROVorov"]

def content(name):
    path = f"{work}/{name}.xml"
    return ET.parse(path).getroot().find("CONTENT") if os.path.exists(path) else None
fi, ocs = content("fi"), content("ocs")

def sh(command):
    return subprocess.run(command, shell=True, capture_output=True, text=True).stdout.strip()
def lines(command):
    return [l for l in sh(command).splitlines() if l.strip()]

# ---- reading each inventory ----------------------------------------------------------------------
def count(c, tag, keep=lambda e: True):
    return None if c is None else sum(1 for e in c.findall(tag) if keep(e))
def value(c, path):  # None where the peer has no such element
    e = None if c is None else c.find(path)
    return None if e is None else (e.text or "").strip()
def reported(c, tag):  # None where the peer never reports the category (no processes at all...)
    return count(c, tag) or None
def distinct(c, tag, leaf, keep=lambda e: True):
    return None if c is None else len({e.findtext(leaf) for e in c.findall(tag) if keep(e)})
def members(name, keep=lambda o: True):
    return sum(1 for o in doc.get(name, []) if isinstance(o, dict) and keep(o))
def first(name):
    rows = doc.get(name) or [{}]
    return rows[0] if isinstance(rows[0], dict) else {}
machine, system = first("MachineResume"), first("OSResume")
cpu, computer, osd = first("ProcessorDetail"), first("ComputerSystemDetail"), first("OperatingSystemDetail")
software = doc.get("Software", [])

def source(c, kind):
    return count(c, "SOFTWARES", lambda e: (e.findtext("FROM") or "").lower() == kind)
def ours_source(kind):
    return sum(1 for o in software if (o.get("install_source") or "deb") == kind)
def not_loopback(e):
    return (e.findtext("TYPE") or "") != "loopback" and e.findtext("DESCRIPTION") != "lo"
def addresses(c):
    return None if c is None else len({a for e in c.findall("NETWORKS") if not_loopback(e)
                                       for a in (e.findtext("IPADDRESS"), e.findtext("IPADDRESS6")) if a})

# ---- the truth: dates of the dpkg log, else of the package's file list --------------------------
dates = {}
for path in sorted(glob.glob("/var/log/dpkg.log.[0-9]*"), key=lambda p: -int(p.rsplit(".", 1)[1])) + ["/var/log/dpkg.log"]:
    if path.endswith(".gz"):
        continue
    for l in open(path, errors="replace"):
        m = re.match(r"(\d{4})-(\d\d)-(\d\d) \S+ (?:install|upgrade) (\S+) \S+ (\S+)$", l.strip())
        if m:
            dates[m[4]] = m[1] + m[2] + m[3]
def true_date(name):
    base = name.split(":")[0]
    for key in (name, base + ":all", base + ":amd64", base + ":" + sh("dpkg --print-architecture")):
        if key in dates:
            return dates[key]
    for p in (f"/var/lib/dpkg/info/{name}.list", f"/var/lib/dpkg/info/{base}.list"):
        if os.path.exists(p):
            return time.strftime("%Y%m%d", time.localtime(os.path.getmtime(p)))
truth_dates = {o["name"]: true_date(o["name"]) for o in software if not o.get("install_source")}
def ocs_dates_right():
    if ocs is None:
        return None
    right = early = 0
    for e in ocs.findall("SOFTWARES"):
        d, t = (e.findtext("INSTALLDATE") or "")[:10].replace("/", ""), truth_dates.get(e.findtext("NAME"))
        right += d == t
        early += bool(d and t and d != t and d[:4] + d[6:] == t[:4] + t[6:]
                      and int(t[4:6]) - int(d[4:6]) == 1)
    return f"{right} ({early} a month early)" if early else right
def web_publishers(c):
    return count(c, "SOFTWARES", lambda e: re.match(r"https?://", e.findtext("PUBLISHER") or "") is not None)

def last_user():
    first_line = (lines("last -w -n 1 2>/dev/null") or [""])[0]
    return "" if first_line.startswith("wtmp begins") else first_line.split(" ")[0]
def size(kb):  # as lscpu writes sizes
    return f"{kb // 1024} MiB" if kb % 1024 == 0 else f"{kb} KiB"
def disk_serials():
    disks = [d for d in glob.glob("/sys/block/*") if not re.search(r"/(loop|sr|ram|zram)\d", d)]
    return sum(1 for d in disks if any(sh(f"cat {d}/serial {d}/device/serial 2>/dev/null").split()))
windows_types = {"x64-based PC": "x86_64", "X86-based PC": "i686", "ARM64-based PC": "aarch64", "ARM-based PC": "armv7l"}
def lscpu(field):
    return next((l.split(":", 1)[1].strip() for l in lines("lscpu") if l.startswith(field + ":")), "")
meminfo = dict(l.split(":", 1) for l in open("/proc/meminfo").read().splitlines())
groups = lines("getent group")
primary = {l.split(":")[3] for l in lines("getent passwd")} | {g.split(":")[2] for g in groups if g.rsplit(":", 1)[1]}

# ---- the rows: category, FusionInventory, OCS Inventory, ours, this machine, how we know --------
NA = "not in the format"
rows = [
    ("PCI devices", count(fi, "CONTROLLERS"), count(ocs, "CONTROLLERS"),
     members("PnPEntityDetail", lambda o: o.get("DeviceID", "").startswith("PCI\\")), len(lines("lspci")), "lspci"),
    ("USB devices", count(fi, "USBDEVICES"), count(ocs, "USBDEVICES"),
     members("PnPEntityDetail", lambda o: o.get("DeviceID", "").startswith("USB\\")), len(lines("lsusb 2>/dev/null")), "lsusb"),
    ("Monitors", count(fi, "MONITORS"), count(ocs, "MONITORS"), members("DesktopMonitorDetail"),
     sum(1 for p in glob.glob("/sys/class/drm/*/edid") if os.path.getsize(p) > 0), "/sys/class/drm/*/edid"),
    ("Video cards", count(fi, "VIDEOS"), count(ocs, "VIDEOS"), members("VideoControllerDetail"),
     len(glob.glob("/sys/class/drm/card[0-9]")), "/sys/class/drm"),
    ("Sound cards", count(fi, "SOUNDS"), count(ocs, "SOUNDS"), members("SoundDeviceDetail"),
     len(lines("grep -E '^ *[0-9]+ ' /proc/asound/cards 2>/dev/null")), "/proc/asound/cards"),
    ("Printers", count(fi, "PRINTERS"), count(ocs, "PRINTERS"), members("PrinterDetail"),
     len(lines("lpstat -e 2>/dev/null")), "lpstat -e"),
    ("Batteries", count(fi, "BATTERIES"), count(ocs, "BATTERIES"), members("BatteryDetail"),
     len(lines("grep -l Battery /sys/class/power_supply/*/type 2>/dev/null")), "/sys/class/power_supply"),
    ("Memory modules", count(fi, "MEMORIES"), count(ocs, "MEMORIES"), members("PhysicalMemoryDetail"),
     len(lines("dmidecode -t 17 2>/dev/null | grep -E '^\\s+Size: [0-9]'")), "dmidecode -t 17"),
    ("BIOS vendor", value(fi, "BIOS/BMANUFACTURER"), value(ocs, "BIOS/BMANUFACTURER"),
     first("BiosDetail").get("Manufacturer", ""), sh("cat /sys/class/dmi/id/bios_vendor 2>/dev/null"), "/sys/class/dmi/id"),
    ("Processors (packages)", count(fi, "CPUS"), count(ocs, "CPUS"), members("ProcessorDetail"),
     lscpu("Socket(s)"), "lscpu"),
    ("Cores / logical processors", fi is not None and f"{value(fi, 'CPUS/CORE')} / {value(fi, 'CPUS/THREAD')}",
     ocs is not None and f"{value(ocs, 'CPUS/CORES')} / {value(ocs, 'CPUS/LOGICAL_CPUS')}",
     f"{cpu.get('NumberOfCores', '')} / {cpu.get('NumberOfLogicalProcessors', '')}",
     f"{int(lscpu('Core(s) per socket') or 0) * int(lscpu('Socket(s)') or 0)} / {lscpu('CPU(s)')}", "lscpu"),
    ("L2 cache of the processor", None, value(ocs, "CPUS/L2CACHESIZE"),
     size(cpu["L2CacheSize"]) if "L2CacheSize" in cpu else "", lscpu("L2 cache") or lscpu("L2"), "lscpu"),
    ("Architecture", value(fi, "CPUS/ARCH"), value(ocs, "CPUS/CPUARCH"),
     windows_types.get(computer.get("SystemType"), computer.get("SystemType", "")),
     sh("uname -m"), "uname -m"),
    ("Memory (MB)", value(fi, "HARDWARE/MEMORY"), value(ocs, "HARDWARE/MEMORY"),
     str(int(machine.get("pc_memory") or 0) // 1024), str(int(meminfo["MemTotal"].split()[0]) // 1024), "/proc/meminfo"),
    ("Swap (MB)", value(fi, "HARDWARE/SWAP"), value(ocs, "HARDWARE/SWAP"),
     str(int(osd.get("TotalSwapSpaceSize") or 0) // 1024), str(int(meminfo["SwapTotal"].split()[0]) // 1024), "/proc/meminfo"),
    ("Virtualization", value(fi, "HARDWARE/VMSYSTEM"), value(ocs, "HARDWARE/VMSYSTEM"),
     computer.get("VirtualizationType", ""), sh("systemd-detect-virt"), "systemd-detect-virt"),
    ("OS version", value(fi, "OPERATINGSYSTEM/VERSION"), value(ocs, "HARDWARE/OSVERSION"), machine.get("os_version", ""),
     sh("cat /etc/debian_version"), "/etc/debian_version"),
    ("Kernel", value(fi, "OPERATINGSYSTEM/KERNEL_VERSION"), None,
     system.get("build_number", ""), sh("uname -r"), "uname -r"),
    ("OS installation date", value(fi, "OPERATINGSYSTEM/INSTALL_DATE"), value(ocs, "HARDWARE/INSTALLDATE"),
     machine.get("pc_date_os_installation", ""), "", "Linux keeps none"),
    ("Last logged-in user", value(fi, "HARDWARE/LASTLOGGEDUSER"), value(ocs, "HARDWARE/LASTLOGGEDUSER"),
     system.get("user_name", ""), last_user(), "last -w -n 1"),
    ("Network interfaces (loopback left out)", distinct(fi, "NETWORKS", "DESCRIPTION", not_loopback),
     distinct(ocs, "NETWORKS", "DESCRIPTION", not_loopback), members("NetworkAdapterDetail"),
     len([l for l in lines("ip -o link") if l.split(":")[1].strip() != "lo"]), "ip -o link"),
    ("IP addresses (loopback left out)", addresses(fi), addresses(ocs), "in the mini-audit",
     len([l for l in lines("ip -o addr") if l.split()[1] != "lo"]), "ip -o addr"),
    ("Default gateway", value(fi, "HARDWARE/DEFAULTGATEWAY"), value(ocs, "HARDWARE/DEFAULTGATEWAY"),
     next((f"{r.get('NextHop')} (IP4RouteTableDetail)" for r in doc.get("IP4RouteTableDetail", [])
           if r.get("Destination") == "0.0.0.0"), ""),
     (sh("ip route show default").split() + ["", "", ""])[2], "ip route show default"),
    ("DNS servers", value(fi, "HARDWARE/DNS"), value(ocs, "HARDWARE/DNS"), NA,
     ",".join(l.split()[1] for l in lines("grep '^nameserver' /etc/resolv.conf")), "/etc/resolv.conf"),
    ("Disks", count(fi, "STORAGES"), count(ocs, "STORAGES"), members("DiskDriveDetail"),
     len(lines("lsblk -d -n -b -o SIZE -e 7,11 | grep -v '^ *0$'")), "lsblk, devices of a size"),
    ("Disks with a serial number", count(fi, "STORAGES", lambda e: bool(e.findtext("SERIALNUMBER"))),
     count(ocs, "STORAGES", lambda e: bool(e.findtext("SERIALNUMBER"))), members("DiskDriveDetail", lambda o: bool(o.get("SerialNumber"))),
     disk_serials(), "/sys/block/*/serial, device/serial"),
    ("File systems on disks", count(fi, "DRIVES"), count(ocs, "DRIVES"), members("LogicalDiskDetail"),
     len(set(lines("findmnt -rn -o TARGET,SOURCE | awk '$2 ~ \"^/dev/\" && $2 !~ \"^/dev/loop\" {print $1}'"))), "findmnt"),
    ("Partitions", None, None, members("DiskPartitionDetail"), len(lines("lsblk -n -o TYPE | grep -x part")), "lsblk"),
    ("Software (deb)", source(fi, "deb"), source(ocs, "deb"), ours_source("deb"),
     len(lines("dpkg-query -W -f='${db:Status-Abbrev}\\n' | grep '^ii'")), "dpkg-query"),
    ("Software (rpm / snap / flatpak)", fi is not None and " / ".join(str(source(fi, k)) for k in ("rpm", "snap", "flatpak")),
     ocs is not None and " / ".join(str(source(ocs, k)) for k in ("rpm", "snap", "flatpak")),
     " / ".join(str(ours_source(k)) for k in ("rpm", "snap", "flatpak")),
     f"{len(lines('rpm -qa 2>/dev/null'))} / {len(lines('snap list 2>/dev/null')[1:])} / {len(lines('flatpak list --system --app 2>/dev/null'))}",
     "rpm -qa, snap list, flatpak list"),
    ("Install dates as dpkg's log (else file list) has them", None,
     ocs_dates_right(), sum(1 for o in software if o.get("name") in truth_dates and o["install_date"] == truth_dates[o["name"]]),
     sum(1 for d in truth_dates.values() if d), "/var/log/dpkg.log, /var/lib/dpkg/info/*.list"),
    ("Publisher a web address", web_publishers(fi), web_publishers(ocs),
     sum(1 for o in software if re.match(r"https?://", o.get("publisher") or "")), 0, "Maintainer of dpkg-query"),
    ("Package sizes", count(fi, "SOFTWARES", lambda e: bool(e.findtext("FILESIZE"))),
     count(ocs, "SOFTWARES", lambda e: bool(e.findtext("FILESIZE"))), NA, None, "Installed-Size"),
    ("Package descriptions", count(fi, "SOFTWARES", lambda e: bool(e.findtext("COMMENTS"))),
     count(ocs, "SOFTWARES", lambda e: bool(e.findtext("COMMENTS"))),
     f"{members('ProductDetail', lambda o: bool(o.get('Description')))} (ProductDetail)", None, "Description"),
    ("Users", count(fi, "LOCAL_USERS"), count(ocs, "LOCAL_USERS"), members("UserAccountDetail"),
     len(lines("getent passwd")), "getent passwd"),
    ("Accounts' home and shell", count(fi, "LOCAL_USERS", lambda e: bool(e.findtext("SHELL"))),
     count(ocs, "LOCAL_USERS", lambda e: bool(e.findtext("SHELL"))), NA, None, ""),
    ("Groups", count(fi, "LOCAL_GROUPS"), count(ocs, "LOCAL_GROUPS"), members("GroupDetail"), len(groups), "getent group"),
    ("Groups with members", count(fi, "LOCAL_GROUPS", lambda e: bool(e.findall("MEMBER"))),
     count(ocs, "LOCAL_GROUPS", lambda e: bool(e.findall("MEMBER"))), NA,
     f"{sum(1 for g in groups if g.rsplit(':', 1)[1])} ({len(primary)} with members by primary group)",
     "getent group, getent passwd", False),
    ("Processes (each at its own moment)", reported(fi, "PROCESSES"), reported(ocs, "PROCESSES"), members("ProcessDetail"),
     open(f"{work}/ps").read().strip(), "ps -e, just before ours", False),
    ("Process owners", count(fi, "PROCESSES", lambda e: bool(e.findtext("USER"))) or None,
     count(ocs, "PROCESSES", lambda e: bool(e.findtext("USER"))) or None, NA, None, ""),
    ("Environment variables", reported(fi, "ENVS"), reported(ocs, "ENVS"), members("EnvironmentDetail"),
     len(lines("grep -E '^[A-Za-z_]+=' /etc/environment 2>/dev/null")), "/etc/environment"),
    ("Firewall", value(fi, "FIREWALL/STATUS") or None, value(ocs, "FIREWALL/STATUS") or None, NA, None, ""),
    ("Package repositories", reported(fi, "REPOSITORY"), reported(ocs, "REPOSITORY"), NA, None, ""),
    ("Services / routes / shares / log files", None, None,
     " / ".join(str(members(m)) for m in ("ServiceDetail", "IP4RouteTableDetail", "ShareDetail", "NTEventLogFileDetail")),
     None, ""),
]

# `truth` None: not asked; "" : the machine has none, so any value differs.
def plain(v):
    return re.sub(r" \(.*\)$", "", str(v)).lower()
def cell(v, truth, c, compare):
    if c is None:
        return "not installed"
    if v is None or v is False:
        return "-"
    v = str(v)
    differs = compare and truth is not None and v not in (NA, "in the mini-audit") and plain(v) != plain(truth)
    return f"**{v or '(empty)'}**" if differs else (v or "(empty)")

print("| Category | FusionInventory | OCS Inventory | Kestrane | This machine | How the machine was asked |")
print("|---|---|---|---|---|---|")
for name, a, b, ours, truth, how, *compare in rows:
    compare = compare[0] if compare else True
    shown = "-" if truth is None else (truth if str(truth) != "" else "(none)")
    print(f"| {name} | {cell(a, truth, fi, compare)} | {cell(b, truth, ocs, compare)} | "
          f"{cell(ours, truth, doc, compare)} | {shown} | {how} |")
PY
