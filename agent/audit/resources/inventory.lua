start_time = tonumber(os.date("%H")) * 3600 + tonumber(os.date("%M")) * 60 + tonumber(os.date("%S"))

-- Linux inventory of the audit agent.
--
-- The agent puts the line outfilename="<file>" in front of this text and runs it once. The script
-- reads the machine's facts from files (nothing here starts a program), builds the XML result in
-- memory and writes it once, at the end, to outfilename. A fact the machine does not hold, or that the
-- running account may not read, is written as an empty element. The agent's io.open hands out regular
-- files only, so a FIFO or a device where a file is expected reads as a missing file.

-- Configuration -----------------------------------------------------------------------------------

create_file = "y"       -- "y" writes the result to outfilename
skip_software = "n"     -- "y" leaves the software section out
details_to_lower = "y"  -- "y" lower-cases host name, domain, description and user names
org_id = ""             -- written to sys/man_org_id
-- Root of the file system to audit (KN_AUDIT_ROOT), as the object dump uses it; "" is the running
-- system.
rootfolder = (os.getenv("KN_AUDIT_ROOT") or ""):gsub("/+$", "")

-- Reading files -----------------------------------------------------------------------------------

local function readfile(path)
  local f = io.open(rootfolder .. path, "rb")
  if not f then return nil end
  local text = f:read("a")
  f:close()
  return text
end

local function trim(s)
  return (s:gsub("^%s+", ""):gsub("%s+$", ""))
end

local function firstline(path)
  local text = readfile(path)
  if not text then return nil end
  local line = trim(text:match("^[^\n]*"))
  if line == "" then return nil end
  return line
end

local function lines(text)
  return (text or ""):gmatch("([^\n]*)\n?")
end

-- The lines of a file as they are read, so a large package database or log is never held whole; no
-- lines for a missing file.
local function file_lines(path)
  local f = io.open(rootfolder .. path, "rb")
  if not f then return function() return nil end end
  local next_line = f:lines()
  return function()
    if not f then return nil end
    local l = next_line()
    if l == nil then
      f:close()
      f = nil
    end
    return l
  end
end

local function split(s, sep)
  local fields = {}
  for field in (s .. sep):gmatch("(.-)" .. sep) do fields[#fields + 1] = field end
  return fields
end

local function lower(s)
  if s and details_to_lower == "y" then return s:lower() end
  return s
end

-- KEY=value lines of os-release, machine-info and locale files; quotes around values removed.
local function parse_keyvalues(text)
  local values = {}
  for line in lines(text) do
    local key, value = line:match("^%s*([%w_]+)=(.*)$")
    if key then
      value = trim(value)
      local unquoted = value:match('^"(.*)"$') or value:match("^'(.*)'$")
      if unquoted then value = unquoted:gsub('\\(["\\$`])', "%1") end
      values[key] = value
    end
  end
  return values
end

-- XML result --------------------------------------------------------------------------------------

-- Values that took the long way below, by the value as given: the same maintainer, with "<" in its
-- mail address, is written for hundreds of packages.
local escaped = {}

-- A value as the result file holds it: nil empty, invalid UTF-8 replaced, the registered sign and
-- control characters removed, blanks trimmed, and a CDATA section around a value holding a
-- character of XML markup.
local function escape_xml(value)
  if value == nil then return "" end
  local s = tostring(value)
  -- Most values have nothing to replace, remove, trim or wrap: no control character, no "\194"
  -- (the first byte of the registered sign), no markup, no blank at either end, valid UTF-8.
  if not s:find("[%z\1-\31\127\194&<>\"']") and s:byte(1) ~= 32 and s:byte(-1) ~= 32 and utf8.len(s) then
    return s
  end
  local known = escaped[s]
  if known then return known end
  local given = s
  if not utf8.len(s) then
    local parts, pos = {}, 1
    while true do
      local ok, bad = utf8.len(s, pos)
      if ok then break end
      parts[#parts + 1] = s:sub(pos, bad - 1) .. "\239\191\189"
      pos = bad + 1
    end
    parts[#parts + 1] = s:sub(pos)
    s = table.concat(parts)
  end
  s = trim(s:gsub("\194\174", ""):gsub("[%z\1-\8\11\12\14-\31\127]", ""))
  if s:find("[&<>\"']") then
    s = "<![CDATA[" .. s:gsub("%]%]>", "]]]]><![CDATA[>") .. "]]>"
  end
  escaped[given] = s
  return s
end

-- The result is written as it is made, to a temporary file that replaces outfilename once complete:
-- the file is whole or absent, and the document is never held in memory. A failure to write (a
-- full disk) ends the script with an error that names the file and the system's reason.
local out, out_error
local out_temp = outfilename .. ".tmp"
if create_file == "y" then
  out, out_error = io.open(out_temp, "wb")
  if out then
    local ok, err = out:write("\239\187\191")
    if not ok then out_error = err end
  end
end

-- Writes its arguments one after the other, without joining them first.
local function write(...)
  if out and not out_error then
    local ok, err = out:write(...)
    if not ok then out_error = err end
  end
end

local function line(text)
  write(text, "\r\n")
end

-- Writes `fields` ({name, value} pairs, in order) as the leaves of `name` at `indent`; a field
-- marked raw is written without escaping.
local function element(indent, name, fields)
  write(indent, "<", name, ">\r\n")
  for _, field in ipairs(fields) do
    local value = field.raw and (field[2] or "") or escape_xml(field[2])
    write(indent, "\t<", field[1], ">", value, "</", field[1], ">\r\n")
  end
  write(indent, "</", name, ">\r\n")
end

local function finish()
  if create_file ~= "y" then return end
  if out then
    local closed, err = out:close()
    if not closed and not out_error then out_error = err end
    if not out_error then
      local ok
      ok, err = os.rename(out_temp, outfilename)
      if ok then return end
      out_error = err
    end
    os.remove(out_temp)
  end
  error("Cannot write the script result file " .. outfilename .. ": " .. tostring(out_error), 0)
end

-- Machine facts -----------------------------------------------------------------------------------

local function os_release()
  return parse_keyvalues(readfile("/etc/os-release") or readfile("/usr/lib/os-release"))
end

-- The short host name, as the kernel knows it.
local function host_name()
  local name = firstline("/proc/sys/kernel/hostname") or firstline("/etc/hostname")
  return name and name:match("^[^.]*")
end

-- The DNS domain: the rest of a full host name, else resolv.conf's "domain".
local function dns_domain()
  local name = firstline("/proc/sys/kernel/hostname") or firstline("/etc/hostname") or ""
  local domain = name:match("^[^.]+%.(.+)$")
  if domain then return domain end
  for l in lines(readfile("/etc/resolv.conf")) do
    domain = l:match("^domain%s+(%S+)")
    if domain then return domain end
  end
  return nil
end

local function dmi(name)
  return firstline("/sys/class/dmi/id/" .. name)
end

local chassis_names = {
  "Other", "Unknown", "Desktop", "Low Profile Desktop", "Pizza Box", "Mini Tower", "Tower", "Portable",
  "Laptop", "Notebook", "Hand Held", "Docking Station", "All in One", "sub Notebook", "Space-Saving",
  "Lunch Box", "Main System Chassis", "Expansion Chassis", "SubChassis", "Bus Expansion Chassis",
  "Peripheral Chassis", "Storage Chassis", "Rack Mount Chassis", "Sealed-case PC",
}

local function form_factor()
  local code = dmi("chassis_type")
  if not code then return nil end
  return chassis_names[tonumber(code)] or code
end

-- 32 or 64 from the ELF class of the system's shell.
local function os_bits()
  local f = io.open(rootfolder .. "/bin/sh", "rb")
  if not f then return nil end
  local head = f:read(5)
  f:close()
  if head == "\127ELF\1" then return "32" end
  if head == "\127ELF\2" then return "64" end
  return nil
end

local function memory_kb()
  return (readfile("/proc/meminfo") or ""):match("MemTotal:%s*(%d+)")
end

local function processor_count()
  local count = 0
  for l in lines(readfile("/proc/cpuinfo")) do
    if l:match("^processor%s*:") then count = count + 1 end
  end
  if count == 0 then return nil end
  return tostring(count)
end

local function uptime_seconds()
  return (readfile("/proc/uptime") or ""):match("^(%d+)")
end

local function octal_char(o)
  return string.char(tonumber(o, 8))
end

local function unescape_octal(s)
  return (s:gsub("\\(%d%d%d)", octal_char))
end

-- The mounts of /proc/mounts: device, mount point and type, octal escapes undone.
local function mounts()
  local list = {}
  for l in lines(readfile("/proc/mounts")) do
    local device, point, kind = l:match("^(%S+) (%S+) (%S+)")
    if device then
      list[#list + 1] = { device = unescape_octal(device), point = unescape_octal(point), kind = kind }
    end
  end
  return list
end

-- The root file system's device: root= of the kernel command line, else the device mounted at "/".
local function boot_device()
  local device = (readfile("/proc/cmdline") or ""):match("%f[%S]root=(%S+)")
  if device then return device end
  for _, m in ipairs(mounts()) do
    if m.point == "/" and m.kind ~= "rootfs" then device = m.device end
  end
  return device
end

-- The release as precise as the system records it: Debian keeps its point release ("12.11") in
-- /etc/debian_version, os-release only the major one ("12").
local function os_version(release)
  local version = release.VERSION_ID
  local precise = firstline("/etc/debian_version")
  if version and precise and precise:match("^[%d.]+$") and
      (precise == version or precise:sub(1, #version + 1) == version .. ".") then
    return precise
  end
  return version
end

-- Domain membership: a Samba member of an Active Directory domain ("security = ads") names its
-- domain in "workgroup"; any other machine stands alone.
local function domain_membership()
  local section, security, workgroup
  for l in lines(readfile("/etc/samba/smb.conf")) do
    local name = l:match("^%s*%[(.-)%]")
    if name then section = name:lower() end
    local key, value = l:match("^%s*([%w ]-)%s*=%s*(.-)%s*$")
    if section == "global" and key then
      key = key:lower()
      if key == "security" then security = value:lower() end
      if key == "workgroup" then workgroup = value end
    end
  end
  -- A machine with a display manager is a workstation, any other a server.
  local workstation = readfile("/etc/X11/default-display-manager") ~= nil
  if security == "ads" and workgroup and workgroup ~= "" then
    return { short = workgroup, role = workstation and "Workstation" or "Member Server", member = "True" }
  end
  return { short = "workgroup", role = workstation and "Standalone Workstation" or "Standalone Server",
           member = "False" }
end

-- The user of the last login recorded in wtmp: fixed 384-byte records, read from the end; a record
-- of type 7 is a user's login, its user name at offset 44.
local function last_login_user()
  local f = io.open(rootfolder .. "/var/log/wtmp", "rb")
  if not f then return nil end
  local size, record = f:seek("end"), 384
  local pos = size - size % record
  local user
  while pos >= record and not user do
    local first = math.max(0, pos - record * 256)
    f:seek("set", first)
    local block = f:read(pos - first) or ""
    if #block ~= pos - first then break end
    for offset = #block - record, 0, -record do
      local kind = string.unpack("=i2", block, offset + 1)
      local name = block:sub(offset + 45, offset + 76):match("^[^%z]*")
      if kind == 7 and name ~= "" then
        user = name
        break
      end
    end
    pos = first
  end
  f:close()
  return user
end

-- Time zone name and the name of its daylight-saving time (from the zone file's POSIX rule).
local function time_zone()
  local name = firstline("/etc/timezone")
  if not name then
    local clock = parse_keyvalues(readfile("/etc/sysconfig/clock"))
    name = clock.ZONE
  end
  return name
end

local function daylight_name()
  local tzif = readfile("/etc/localtime")
  if not tzif or tzif:sub(1, 4) ~= "TZif" then return nil end
  local rule = tzif:match("\n([^\n]*)\n$")
  if not rule then return nil end
  local rest = rule:match("^<[^>]*>(.*)$") or rule:match("^%a+(.*)$")
  rest = rest and rest:match("^[-+]?[%d:]+(.*)$")
  if not rest then return nil end
  return rest:match("^<([^>]*)>") or rest:match("^(%a+)")
end

local language_names = {
  af = "Afrikaans", ar = "Arabic", bg = "Bulgarian", ca = "Catalan", cs = "Czech", da = "Danish",
  de = "German", el = "Greek", en = "English", es = "Spanish", et = "Estonian", eu = "Basque",
  fa = "Farsi", fi = "Finnish", fr = "French", gl = "Galician", he = "Hebrew", hi = "Hindi",
  hr = "Croatian", hu = "Hungarian", id = "Indonesian", is = "Icelandic", it = "Italian", ja = "Japanese",
  ko = "Korean", lt = "Lithuanian", lv = "Latvian", ms = "Malay", nb = "Norwegian (Bokmal)",
  nl = "Dutch", nn = "Norwegian (Nynorsk)", pl = "Polish", pt = "Portuguese", ro = "Romanian",
  ru = "Russian", sk = "Slovak", sl = "Slovenian", sq = "Albanian", sr = "Serbian", sv = "Swedish",
  th = "Thai", tr = "Turkish", uk = "Ukrainian", vi = "Vietnamese", zh = "Chinese",
}

local country_names = {
  AE = "United Arab Emirates", AR = "Argentina", AT = "Austria", AU = "Australia", BE = "Belgium",
  BG = "Bulgaria", BR = "Brazil", CA = "Canada", CH = "Switzerland", CL = "Chile", CN = "China",
  CO = "Colombia", CZ = "Czech Republic", DE = "Germany", DK = "Denmark", EE = "Estonia", EG = "Egypt",
  ES = "Spain", FI = "Finland", FR = "France", GB = "United Kingdom", GR = "Greece", HK = "Hong Kong",
  HR = "Croatia", HU = "Hungary", ID = "Indonesia", IE = "Ireland", IL = "Israel", IN = "India",
  IS = "Iceland", IT = "Italy", JP = "Japan", KR = "Korea", LT = "Lithuania", LU = "Luxembourg",
  LV = "Latvia", MX = "Mexico", MY = "Malaysia", NL = "Netherlands", NO = "Norway", NZ = "New Zealand",
  PE = "Peru", PH = "Philippines", PL = "Poland", PT = "Portugal", RO = "Romania", RS = "Serbia",
  RU = "Russia", SA = "Saudi Arabia", SE = "Sweden", SG = "Singapore", SI = "Slovenia", SK = "Slovakia",
  TH = "Thailand", TR = "Turkey", TW = "Taiwan", UA = "Ukraine", US = "United States", UY = "Uruguay",
  VE = "Venezuela", VN = "Vietnam", ZA = "South Africa",
}

-- The system locale's language and country names ("English - United States", "UNITED STATES").
local function locale_names()
  local settings = parse_keyvalues(readfile("/etc/default/locale") or readfile("/etc/locale.conf"))
  local lang, country = (settings.LANG or ""):match("^(%a%a%a?)_?(%u?%u?)")
  local language = language_names[lang or ""]
  local country_name = country_names[country or ""]
  if language and country_name then language = language .. " - " .. country_name end
  return language, country_name and country_name:upper()
end

-- Accounts ----------------------------------------------------------------------------------------

local function parse_passwd(text)
  local accounts = {}
  for l in lines(text) do
    local f = split(l, ":")
    if #f >= 7 and f[1] ~= "" and not f[1]:match("^[#+-]") then
      accounts[#accounts + 1] = { name = f[1], password = f[2], uid = f[3], gecos = f[5], shell = f[7] }
    end
  end
  return accounts
end

-- A day count of the shadow file; an empty or a negative one means none.
local function days(field)
  local n = tonumber(field)
  if n and n >= 0 then return n end
  return nil
end

local function parse_shadow(text)
  local entries = {}
  for l in lines(text) do
    local f = split(l, ":")
    if #f >= 8 then
      entries[f[1]] = { password = f[2], min = days(f[4]), max = days(f[5]), expire = days(f[8]) }
    end
  end
  return entries
end

local function flag(value)
  return value and "True" or "False"
end

-- One account's fields; `shadow` is nil when the shadow database could not be read, and the facts
-- only it holds are then left empty.
local function user_fields(account, shadow, domain)
  local no_login = account.shell:match("/nologin$") or account.shell:match("/false$")
  local disabled, changeable, expires, required
  if shadow then
    local expired = shadow.expire and shadow.expire * 86400 <= os.time()
    -- passwd -S: a password beginning with "!" or "*" is locked.
    local locked = shadow.password:match("^[!*]") ~= nil
    disabled = flag(no_login or locked or expired)
    changeable = flag(not (shadow.min and shadow.max and shadow.min > shadow.max))
    expires = flag(shadow.max ~= nil and shadow.max < 99999)
    required = flag(shadow.password ~= "")
  else
    if no_login then disabled = "True" end
    if account.password == "" then
      required = "False"
    elseif account.password ~= "x" then
      required = "True"
    end
  end
  return {
    { "user_name", account.name },
    { "user_caption", domain .. "\\" .. account.name },
    { "user_sid", account.uid },
    { "user_domain", domain },
    { "user_disabled", disabled },
    { "user_full_name", account.gecos:match("^[^,]*") },
    { "user_password_changeable", changeable },
    { "user_password_expires", expires },
    { "user_password_required", required },
    { "user_status", "OK" },
    { "user_type", "local" },
  }
end

-- Packages ----------------------------------------------------------------------------------------

-- The fields of the dpkg database that the inventory reads.
local dpkg_fields = {
  Package = true, Status = true, Architecture = true, ["Multi-Arch"] = true, Version = true,
  Maintainer = true, Essential = true, Homepage = true,
}

-- The paragraphs of a dpkg status file, one at a time, each a table of those of its single-line
-- fields that the inventory reads (dpkg_fields), values trimmed. Continuation lines (starting with
-- a blank) and other fields (Depends, Description...) are passed over without being taken apart.
local function dpkg_packages(file_iter)
  return function()
    local current = {}
    for l in file_iter do
      local first = l:byte(1)
      if not first then
        if next(current) then return current end
      elseif first ~= 32 and (first < 9 or first > 13) then
        local key, at = l:match("^([%w%-]+):()")
        if key and dpkg_fields[key] then current[key] = l:match("^%s*(.-)%s*$", at) end
      end
    end
    if next(current) then return current end
    return nil
  end
end

-- Date of the dpkg log's last install or upgrade of each package:arch to each version, as yyyymmdd.
local function parse_dpkg_log(file_iter, dates)
  for l in file_iter do
    -- Most lines are "status", "configure" or "trigproc" lines: only an install or upgrade line
    -- is taken apart.
    if l:find(" install ", 11, true) or l:find(" upgrade ", 11, true) then
      local y, m, d, action, package, version =
        l:match("^(%d%d%d%d)%-(%d%d)%-(%d%d) [%d:]+ (%a+) (%S+) %S+ (%S+)$")
      if action == "install" or action == "upgrade" then
        dates[package .. " " .. version] = y .. m .. d
      end
    end
  end
  return dates
end

-- Who had apt install or upgrade each package, and when; later entries replace earlier ones.
local function parse_apt_history(file_iter, events)
  local when, by
  for l in file_iter do
    local date = l:match("^Start%-Date:%s*(.-)%s*$")
    if date then
      local y, m, d, hh, mm, ss = date:match("^(%d+)%-(%d+)%-(%d+)%s+(%d+):(%d+):(%d+)$")
      when = y and string.format("%d-%d-%d %d:%d:%d", y, m, d, hh, mm, ss)
      by = "root"  -- apt records the invoking user only when it ran through sudo
    end
    by = l:match("^Requested%-By:%s*(%S+)") or by
    local list = l:match("^Install:(.*)$") or l:match("^Upgrade:(.*)$") or l:match("^Reinstall:(.*)$")
        or l:match("^Downgrade:(.*)$")
    if list and when then
      for package in list:gmatch("%s*([^%s,(]+) %(") do
        events[package] = { by = by, on = when }
        events[package:match("^[^:]*")] = events[package]
      end
    end
  end
  return events
end

-- Where the logs are gone (rotated away or compressed), the time dpkg last wrote the package's file
-- list, which it does whenever it unpacks the package, as yyyymmdd in local time.
local function list_date(name, arch)
  local base = rootfolder .. "/var/lib/dpkg/info/"
  local t = io.mtime(base .. name .. ":" .. arch .. ".list") or io.mtime(base .. name .. ".list")
  return t and os.date("%Y%m%d", t)
end

local function installed(package)
  return (package.Status or ""):match("^%S+ %S+ (%S+)$") == "installed"
end

-- Sections ----------------------------------------------------------------------------------------

local release = os_release()
local version = os_version(release)
local membership = domain_membership()
local hostname = host_name()
local computer = (hostname or ""):upper()
local family = release.NAME
local icon = release.ID or (family and family:lower():gsub(" ", "_"))
local language, country = locale_names()

line('<?xml version="1.0" encoding="UTF-8"?>')
line("<system>")

element("\t", "sys", {
  { "timestamp", os.date("%Y-%m-%d %H:%M:%S") },
  { "uuid", (dmi("product_uuid") or ""):upper() },
  { "hostname", lower(hostname) },
  { "domain", lower(dns_domain()) },
  { "description", lower(parse_keyvalues(readfile("/etc/machine-info")).PRETTY_HOSTNAME) },
  { "type", "computer" },
  { "icon", (icon or ""):gsub("[^%w_.-]", ""), raw = true },
  { "os_group", "Linux" },
  { "os_family", family },
  { "os_name", release.PRETTY_NAME },
  { "os_version", version },
  { "serial", dmi("product_serial") },
  { "model", dmi("product_name") },
  { "manufacturer", dmi("sys_vendor") },
  { "uptime", uptime_seconds() },
  { "form_factor", form_factor() },
  { "pc_os_bit", os_bits() },
  { "pc_memory", memory_kb() },
  { "pc_num_processor", processor_count() },
  { "pc_date_os_installation", nil },
  { "man_org_id", org_id },
})

element("\t", "windows", {
  { "windows_build_number", firstline("/proc/sys/kernel/osrelease") },
  { "windows_user_name", lower(last_login_user()) },
  { "windows_client_site_name", nil },
  { "windows_domain_short", membership.short },
  { "windows_domain_controller_address", nil },
  { "windows_domain_controller_name", nil },
  { "windows_domain_role", membership.role },
  { "windows_part_of_domain", membership.member },
  { "windows_id_number", dmi("product_serial") },
  { "windows_time_caption", time_zone() },
  { "windows_time_daylight", daylight_name() },
  { "windows_boot_device", boot_device() },
  { "windows_country_code", country },
  { "windows_organisation", nil },
  { "windows_language", language },
  { "windows_registered_user", nil },
  { "windows_service_pack", nil },
  { "windows_version", version },
  { "windows_install_directory", nil },
  { "windows_active_directory_ou", nil },
})

line("\t<users>")
local shadow = readfile("/etc/shadow")
local shadow_entries = shadow and parse_shadow(shadow)
for _, account in ipairs(parse_passwd(readfile("/etc/passwd"))) do
  element("\t\t", "user", user_fields(account, shadow_entries and shadow_entries[account.name], computer))
end
line("\t</users>")

if skip_software ~= "y" then
  local dates = {}
  for n = 12, 1, -1 do parse_dpkg_log(file_lines("/var/log/dpkg.log." .. n), dates) end
  parse_dpkg_log(file_lines("/var/log/dpkg.log"), dates)
  local events = {}
  for n = 12, 1, -1 do parse_apt_history(file_lines("/var/log/apt/history.log." .. n), events) end
  parse_apt_history(file_lines("/var/log/apt/history.log"), events)

  line("\t<software>")
  line("\t\t<!-- start of normal software -->")
  local seen = {}
  for package in dpkg_packages(file_lines("/var/lib/dpkg/status")) do
    local arch = package.Architecture or ""
    local name = package.Package
    if name and package["Multi-Arch"] == "same" then name = name .. ":" .. arch end
    if name and installed(package) and not seen[name] then
      seen[name] = true
      local event = events[package.Package .. ":" .. arch] or events[package.Package] or {}
      element("\t\t", "package", {
        { "software_name", name },
        { "software_version", package.Version },
        { "software_location", nil },
        { "software_uninstall", nil },
        { "software_install_date", dates[package.Package .. ":" .. arch .. " " .. (package.Version or "")]
            or list_date(package.Package, arch) },
        { "software_publisher", package.Maintainer },
        { "software_install_source", nil },
        { "software_system_component", package.Essential == "yes" and "1" or nil },
        { "software_url", package.Homepage },
        { "software_email", nil },
        { "software_comment", nil },
        { "software_code_base", nil },
        { "software_status", nil },
        { "software_installed_by", lower(event.by) },
        { "software_installed_on", event.on },
      })
    end
  end
  line("\t\t<!-- end of normal -->")
  line("\t\t<!-- end of 64 #1 -->")
  line("\t\t<!-- end of 64 #2 -->")
  line("\t\t<!-- end of 64 #3 -->")
  line("\t</software>")
end

line("\t<software_keys>")
line("\t</software_keys>")

write("</system>")
finish()
