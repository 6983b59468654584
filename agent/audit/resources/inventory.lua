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

-- In time linear in the text: a pattern that ends in "%s+$" is tried again at every blank of a long
-- run of them, which a megabyte of blanks inside a value turns into hours.
local function trim(s)
  local first = s:find("%S")
  if not first then return "" end
  return s:sub(first, s:match(".*()%S"))
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

-- The most characters of a value, counted in UTF-16 code units as Windows counts them: the longest
-- command line Windows allows. The agent cuts every text of its document there (FactText.h).
local max_fact = 32767

-- The first max_fact characters of `s`, which is valid UTF-8.
local function cut_fact(s)
  local units = 0
  for pos, code in utf8.codes(s) do
    units = units + (code > 0xFFFF and 2 or 1)
    if units > max_fact then return s:sub(1, pos - 1) end
  end
  return s
end

-- A value as the result file holds it: nil empty, cut at max_fact characters, invalid UTF-8
-- replaced, the registered sign and control characters removed, blanks trimmed, and a CDATA section
-- around a value holding a character of XML markup.
local function escape_xml(value)
  if value == nil then return "" end
  local s = tostring(value)
  -- Most values have nothing to replace, remove, trim, cut or wrap: ASCII without a control
  -- character or markup, no blank at either end, not too long. Any other value (non-ASCII text
  -- among them, which may hold the registered sign or invalid UTF-8) takes the long way once.
  if #s <= max_fact and s:find("^[^%z\1-\31\127-\255&<>\"']*$") and s:byte(1) ~= 32 and s:byte(-1) ~= 32 then
    return s
  end
  local known = escaped[s]
  if known then return known end
  local given = s
  -- No more than max_fact characters can take (three bytes each) and the rest of a character.
  if #s > max_fact then s = s:sub(1, 3 * max_fact + 3) end
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
  if #s > max_fact then s = cut_fact(s) end
  s = trim(s:gsub("\194\174", ""):gsub("[%z\1-\8\11\12\14-\31\127]", ""))
  if s:find("[&<>\"']") then
    s = "<![CDATA[" .. s:gsub("%]%]>", "]]]]><![CDATA[>") .. "]]>"
  end
  if #given <= max_fact then escaped[given] = s end
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

-- The fixed text of the element `name` at `indent` with the leaves `names` (in order): its first
-- and last lines and each leaf's tags, joined once.
local function layout(indent, name, names)
  local l = { head = indent .. "<" .. name .. ">\r\n", tail = indent .. "</" .. name .. ">\r\n", open = {}, close = {} }
  for i, leaf in ipairs(names) do
    l.open[i] = indent .. "\t<" .. leaf .. ">"
    l.close[i] = "</" .. leaf .. ">\r\n"
  end
  return l
end

-- Writes an element of layout `l` holding `values` (by position, nil for an empty leaf); a value
-- whose position is true in `raw` is written unescaped. The element is joined first and written in
-- one piece.
local function record(l, values, raw)
  local parts, n = { l.head }, 1
  local open, close = l.open, l.close
  for i = 1, #open do
    local value = values[i]
    if value == nil then
      value = ""
    elseif not (raw and raw[i]) then
      value = escape_xml(value)
    end
    parts[n + 1] = open[i]
    parts[n + 2] = value
    parts[n + 3] = close[i]
    n = n + 3
  end
  parts[n + 1] = l.tail
  write(table.concat(parts))
end

-- Writes `fields`, {name, value} pairs in order, as the leaves of `name` at `indent`; a field marked
-- raw is written unescaped.
local function element(indent, name, fields)
  local names, values, raw = {}, {}, {}
  for i, field in ipairs(fields) do
    names[i], values[i], raw[i] = field[1], field[2], field.raw or false
  end
  record(layout(indent, name, names), values, raw)
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

-- The resolver's local domain in resolv.conf, as the resolver reads it and as the agent's classes do
-- (LinuxSources.h, resolvConfDomain): "domain" and "search" lines (the keyword at the start of the
-- line, then blanks) set it, the last one that names anything wins, a "search" line gives its first
-- name, and "." is the root domain, no name.
local function resolv_domain(text)
  local domain
  for l in lines(text) do
    local name = l:match("^domain[ \t]+([^ \t\r]+)") or l:match("^search[ \t]+([^ \t\r]+)")
    if name then domain = name end
  end
  if domain == "." then return nil end
  return domain
end

-- The DNS domain: the rest of a full host name, else the resolver's local domain.
local function dns_domain()
  local name = firstline("/proc/sys/kernel/hostname") or firstline("/etc/hostname") or ""
  local domain = name:match("^[^.]+%.(.+)$")
  if domain then return domain end
  return resolv_domain(readfile("/etc/resolv.conf"))
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

-- The text of a file in blocks of `size` bytes, cut after the last `separator` of each block, so
-- that no record is split and a large package database or log is never held whole. Nothing for a
-- missing file; the last record is handed out even when no separator ends it. A record that grows
-- past a megabyte (no package or log line is that long) is handed out as it stands, and the rest
-- of it as the next records: what is held stays bounded, whatever the file.
local max_record = 1024 * 1024

local function file_records(path, separator, size)
  local f = io.open(rootfolder .. path, "rb")
  local pending = ""
  return function()
    while f do
      local block = f:read(size)
      if not block then
        f:close()
        f = nil
        break
      end
      block = pending .. block
      -- The last separator in the block: records end there, the rest waits for the next block.
      local cut, at = nil, block:find(separator, 1, true)
      while at do
        cut = at
        at = block:find(separator, at + 1, true)
      end
      if cut then
        pending = block:sub(cut + #separator)
        return block:sub(1, cut + #separator - 1)
      end
      if #block >= max_record then
        pending = ""
        return block
      end
      pending = block
    end
    if pending ~= "" then
      local rest = pending
      pending = ""
      return rest
    end
    return nil
  end
end

-- The fields of the dpkg database that the inventory reads, each as its line begins.
local dpkg_fields = {}
for _, name in ipairs({ "Package", "Status", "Architecture", "Multi-Arch", "Version", "Maintainer",
                        "Essential", "Homepage" }) do
  dpkg_fields[name] = "\n" .. name .. ":"
end

-- The paragraphs of a dpkg status file, one at a time, each a table of those of its single-line
-- fields that the inventory reads (dpkg_fields), values trimmed. Each field is looked up as text
-- ("\nVersion:"): continuation lines begin with a blank, so a field's name is only ever found
-- where its own line begins, and the lines of other fields (Depends, Description...) are never
-- taken apart.
local function dpkg_packages(path)
  local blocks = file_records(path, "\n\n", 65536)
  local block, pos = nil, 2
  return function()
    while true do
      if not block or pos > #block then
        block, pos = blocks(), 2
        if not block then return nil end
        block = "\n" .. block  -- so that the first field, too, follows a line break
      end
      local stop = block:find("\n\n", pos, true) or #block
      -- The paragraph with the line break before it: one copy, searched field by field.
      local paragraph = block:sub(pos - 1, stop)
      pos = stop + 2
      local current, any = {}, false
      for key, prefix in pairs(dpkg_fields) do
        local at = paragraph:find(prefix, 1, true)
        if at then
          local from = at + #prefix
          if paragraph:byte(from) == 32 then from = from + 1 end
          local value = paragraph:sub(from, (paragraph:find("\n", from, true) or #paragraph + 1) - 1)
          -- A blank at either end, looked at as bytes: a pattern ending in "$" is tried at every
          -- position of the value.
          local first, last = value:byte(1), value:byte(-1)
          if first and (first == 32 or first >= 9 and first <= 13 or last == 32 or last >= 9 and last <= 13) then
            value = trim(value)
          end
          current[key] = value
          any = true
        end
      end
      if any then return current end
    end
  end
end

-- Date of the dpkg log's last install or upgrade of each package:arch to each version, as yyyymmdd.
-- Most lines are "status", "configure" or "trigproc" lines: the log is searched for the words of
-- an install or an upgrade, and only the lines holding them are taken apart.
local function parse_dpkg_log(path, dates)
  for block in file_records(path, "\n", 65536) do
    local install = block:find(" install ", 1, true)
    local upgrade = block:find(" upgrade ", 1, true)
    while install or upgrade do
      local at = (install and (not upgrade or install < upgrade)) and install or upgrade
      -- A line begins with "yyyy-mm-dd hh:mm:ss", 19 characters before the word; another line is
      -- searched back for its beginning.
      local first = at - 19
      local inside = first >= 1 and block:find("\n", first, true)
      if first < 1 or (first > 1 and block:byte(first - 1) ~= 10) or (inside and inside < at) then
        first = at
        while first > 1 and block:byte(first - 1) ~= 10 do first = first - 1 end
      end
      local last = block:find("\n", at, true) or #block + 1
      local y, m, d, action, package, version = block:sub(first, last - 1)
          :match("^(%d%d%d%d)%-(%d%d)%-(%d%d) [%d:]+ (%a+) (%S+) %S+ (%S+)$")
      if action == "install" or action == "upgrade" then
        dates[package .. " " .. version] = y .. m .. d
      end
      if install and install < last then install = block:find(" install ", last, true) end
      if upgrade and upgrade < last then upgrade = block:find(" upgrade ", last, true) end
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
      -- "name (version[, automatic]), ...": the parenthesised parts are marked first, so that the
      -- names are found in one pass over the list rather than tried at every character.
      for package in (list:gsub("%b()", "\1")):gmatch("([^%s,\1]+) \1") do
        events[package] = { by = by, on = when }
        events[package:match("^[^:]*")] = events[package]
      end
    end
  end
  return events
end

-- Where the logs are gone (rotated away or compressed), the time dpkg last wrote the package's file
-- list, which it does whenever it unpacks the package, as yyyymmdd in local time. dpkg names the
-- list "<name>:<arch>.list" for a package of Multi-Arch: same and "<name>.list" for any other: that
-- one is looked at first, the other only where it is missing.
local function list_date(name, arch, same)
  local base = rootfolder .. "/var/lib/dpkg/info/"
  local qualified, plain = base .. name .. ":" .. arch .. ".list", base .. name .. ".list"
  if not same then qualified, plain = plain, qualified end
  local t = io.mtime(qualified) or io.mtime(plain)
  return t and os.date("%Y%m%d", t)
end

-- A package's element: its leaves in the order they are written.
local package_layout = layout("\t\t", "package", {
  "software_name", "software_version", "software_location", "software_uninstall", "software_install_date",
  "software_publisher", "software_install_source", "software_system_component", "software_url",
  "software_email", "software_comment", "software_code_base", "software_status", "software_installed_by",
  "software_installed_on",
})

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
  for n = 12, 1, -1 do parse_dpkg_log("/var/log/dpkg.log." .. n, dates) end
  parse_dpkg_log("/var/log/dpkg.log", dates)
  local events = {}
  for n = 12, 1, -1 do parse_apt_history(file_lines("/var/log/apt/history.log." .. n), events) end
  parse_apt_history(file_lines("/var/log/apt/history.log"), events)

  line("\t<software>")
  line("\t\t<!-- start of normal software -->")
  local seen = {}
  for package in dpkg_packages("/var/lib/dpkg/status") do
    local arch = package.Architecture or ""
    local name = package.Package
    if name and package["Multi-Arch"] == "same" then name = name .. ":" .. arch end
    if name and installed(package) and not seen[name] then
      seen[name] = true
      local event = events[package.Package .. ":" .. arch] or events[package.Package] or {}
      record(package_layout, {
        name,
        package.Version,
        nil,  -- location
        nil,  -- uninstall
        dates[package.Package .. ":" .. arch .. " " .. (package.Version or "")]
          or list_date(package.Package, arch, package["Multi-Arch"] == "same"),
        package.Maintainer,
        nil,  -- install_source
        package.Essential == "yes" and "1" or nil,
        package.Homepage,
        nil,  -- email
        nil,  -- comment
        nil,  -- code_base
        nil,  -- status
        lower(event.by),
        event.on,
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
