#include "PlatformPages.h"

#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

namespace kn::platform {

namespace {

using ojson = nlohmann::ordered_json;

// The member of an audit document that holds every section.
constexpr const char* kAuditSection = "rurirudoDUROVorov";
// Deeper values are shown as compact JSON text rather than nested tables.
constexpr int kMaxDepth = 6;

constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin:.4em 0 1em}"
    "th,td{border:1px solid #bbb;padding:.2em .5em;text-align:left;vertical-align:top}"
    "th{background:#eee}td{white-space:pre-wrap;word-break:break-word}"
    "table.kv th{width:14em}.empty{color:#777}.bad{color:#a00}section{margin-bottom:1.5em}";

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + htmlEscape(title) +
         "</title><style>" + kStyle + "</style></head><body>\n" + body + "</body></html>\n";
}

// At most `max` bytes of `s`, not splitting a UTF-8 sequence, with "..." when cut.
std::string shortened(const std::string& s, std::size_t max) {
  if (s.size() <= max) return s;
  while (max > 0 && (static_cast<unsigned char>(s[max]) & 0xC0) == 0x80) --max;
  return s.substr(0, max) + "...";
}

std::string orNone(const std::string& s) {
  return s.empty() ? "<span class=\"empty\">never</span>" : htmlEscape(s);
}

// Days since 1899-12-30 as the machine's own wall-clock text.
std::string dayCountText(double days) {
  if (!std::isfinite(days) || days < 0 || days > 2958466) return {};
  auto seconds = static_cast<std::time_t>(std::llround((days - 25569.0) * 86400.0));
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string scalarText(const ojson& v) {
  if (v.is_string()) return htmlEscape(v.get_ref<const std::string&>());
  return htmlEscape(v.dump());
}

std::string renderValue(const ojson& v, int depth);

std::string renderObject(const ojson& obj, int depth) {
  if (obj.empty()) return "<span class=\"empty\">(empty)</span>";
  std::string out = "<table class=\"kv\">";
  for (const auto& [key, value] : obj.items())
    out += "<tr><th>" + htmlEscape(key) + "</th><td>" + renderValue(value, depth + 1) + "</td></tr>";
  return out + "</table>";
}

// Objects become rows of one table whose columns are every member name, in first-seen order;
// other elements (a dump's error text, say) follow as a list.
std::string renderArray(const ojson& arr, int depth) {
  if (arr.empty()) return "<span class=\"empty\">(none)</span>";
  std::vector<std::string> columns;
  std::string rows, others;
  for (const auto& item : arr) {
    if (!item.is_object()) {
      others += "<li>" + renderValue(item, depth + 1) + "</li>";
      continue;
    }
    for (const auto& [key, value] : item.items())
      if (std::find(columns.begin(), columns.end(), key) == columns.end()) columns.push_back(key);
  }
  for (const auto& item : arr) {
    if (!item.is_object()) continue;
    rows += "<tr>";
    for (const auto& c : columns) {
      auto it = item.find(c);
      rows += "<td>" + (it == item.end() ? std::string() : renderValue(*it, depth + 1)) + "</td>";
    }
    rows += "</tr>";
  }
  std::string out;
  if (!rows.empty()) {
    out = "<table><tr>";
    for (const auto& c : columns) out += "<th>" + htmlEscape(c) + "</th>";
    out += "</tr>" + rows + "</table>";
  }
  if (!others.empty()) out += "<ul>" + others + "</ul>";
  return out;
}

std::string renderValue(const ojson& v, int depth) {
  if (depth > kMaxDepth && v.is_structured()) return htmlEscape(v.dump());
  if (v.is_object()) return renderObject(v, depth);
  if (v.is_array()) return renderArray(v, depth);
  return scalarText(v);
}

std::string anchorFor(const std::string& name) { return "s-" + urlEncode(name); }

std::string renderStoredJson(const std::string& text) {
  ojson v = ojson::parse(text, nullptr, false);
  if (v.is_discarded()) return "<pre>" + htmlEscape(text) + "</pre>";
  return renderValue(v, 0);
}

std::string renderAuditSection(const ojson& section) {
  std::string summary, contents, sections;
  for (const auto& [key, value] : section.items()) {
    if (!value.is_structured()) {
      std::string text = scalarText(value);
      if ((key == "dt_start" || key == "dt_end") && value.is_number()) {
        std::string when = dayCountText(value.get<double>());
        if (!when.empty()) text += " (" + htmlEscape(when) + ")";
      }
      summary += "<tr><th>" + htmlEscape(key) + "</th><td>" + text + "</td></tr>";
      continue;
    }
    std::string count = value.is_array() ? " (" + std::to_string(value.size()) + ")" : "";
    contents += "<li><a href=\"#" + anchorFor(key) + "\">" + htmlEscape(key) + "</a>" + count + "</li>";
    sections += "<section id=\"" + anchorFor(key) + "\"><h3>" + htmlEscape(key) + count + "</h3>" +
                renderValue(value, 1) + "</section>\n";
  }
  std::string out;
  if (!summary.empty()) out += "<table class=\"kv\">" + summary + "</table>";
  if (!contents.empty()) out += "<ul>" + contents + "</ul>\n";
  return out + sections;
}

}  // namespace

std::string htmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string urlEncode(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string renderAuditDocument(const std::string& documentText) {
  ojson doc = ojson::parse(documentText, nullptr, false);
  if (!doc.is_object()) return "<p class=\"bad\">The stored document is not a JSON object.</p>";
  std::string stamps, out;
  for (const auto& [key, value] : doc.items()) {
    if (key == kAuditSection) continue;
    bool bad = (key == "success" && value == false) || key == "error";
    stamps += "<tr><th>" + htmlEscape(key) + "</th><td" + (bad ? " class=\"bad\"" : "") + ">" +
              renderValue(value, 1) + "</td></tr>";
  }
  if (!stamps.empty()) out += "<table class=\"kv\">" + stamps + "</table>\n";
  auto section = doc.find(kAuditSection);
  if (section != doc.end() && section->is_object()) out += renderAuditSection(*section);
  return out;
}

std::string renderMachineList(const std::vector<MachineRecord>& machines) {
  std::string body = "<h1>Machines</h1>\n";
  if (machines.empty())
    return page("Machines", body + "<p class=\"empty\">No machine has called in yet.</p>\n");
  body +=
      "<table><tr><th>Computer</th><th>Identifier</th><th>Agent</th><th>Last call</th><th>Last check-in</th>"
      "<th>Last mini-audit</th><th>Latest audit</th><th>Calls</th></tr>\n";
  for (const auto& m : machines) {
    std::string name = m.identity.pcn.empty() ? m.machineId : m.identity.pcn;
    body += "<tr><td><a href=\"/machine?id=" + urlEncode(m.machineId) + "\">" + htmlEscape(name) +
            "</a></td><td>" + htmlEscape(m.machineId) + "</td><td>" + htmlEscape(m.identity.av) +
            "</td><td>" + orNone(m.lastSeen) + "</td><td>" + orNone(m.lastCheckin) + "</td><td>" +
            orNone(m.lastMiniAudit) + "</td><td>" + orNone(m.lastAudit) + "</td><td>" +
            std::to_string(m.callCount) + "</td></tr>\n";
  }
  return page("Machines", body + "</table>\n");
}

std::string renderMachinePage(const MachineRecord& m, const std::optional<AuditRecord>& audit,
                              const std::vector<CallRecord>& recentCalls) {
  std::string name = m.identity.pcn.empty() ? m.machineId : m.identity.pcn;
  std::string body = "<p><a href=\"/\">All machines</a></p>\n<h1>" + htmlEscape(name) + "</h1>\n";
  body += "<table class=\"kv\"><tr><th>Identifier</th><td>" + htmlEscape(m.machineId) +
          "</td></tr><tr><th>Computer name</th><td>" + htmlEscape(m.identity.pcn) +
          "</td></tr><tr><th>Application</th><td>" + htmlEscape(m.identity.svc) +
          "</td></tr><tr><th>Agent</th><td>" + htmlEscape(m.identity.av) +
          "</td></tr><tr><th>API key</th><td>" +
          (m.identity.hasKey ? "present" : "<span class=\"bad\">missing</span>") +
          "</td></tr><tr><th>First call</th><td>" + orNone(m.firstSeen) +
          "</td></tr><tr><th>Last call</th><td>" + orNone(m.lastSeen) + "</td></tr><tr><th>Calls</th><td>" +
          std::to_string(m.callCount) + "</td></tr></table>\n";

  body += "<section id=\"checkin\"><h2>Last check-in</h2><p>" + orNone(m.lastCheckin) + "</p>";
  if (!m.lastCheckinData.empty()) body += renderStoredJson(m.lastCheckinData);
  body +=
      "</section>\n<section id=\"miniaudit\"><h2>Last mini-audit</h2><p>" + orNone(m.lastMiniAudit) + "</p>";
  if (!m.lastMiniAuditData.empty()) body += renderStoredJson(m.lastMiniAuditData);
  body += "</section>\n";
  if (!m.lastMissingKey.empty())
    body += "<section id=\"missingkey\"><h2>Missing API key notice</h2><p>" + htmlEscape(m.lastMissingKey) +
            "</p>" + renderStoredJson(m.lastMissingKeyData) + "</section>\n";

  body += "<section id=\"audit\"><h2>Latest audit</h2>";
  if (audit) {
    body += "<p>Received " + htmlEscape(audit->receivedAt) +
            (audit->success ? "" : " <span class=\"bad\">(failed)</span>") +
            " &middot; <a href=\"/machine/audit.json?id=" + urlEncode(m.machineId) +
            "\">document as JSON</a></p>\n" + renderAuditDocument(audit->document);
  } else {
    body += "<p class=\"empty\">No audit received yet.</p>";
  }
  body += "</section>\n<section id=\"calls\"><h2>Recent calls</h2>";
  if (recentCalls.empty())
    body += "<p class=\"empty\">(none)</p>";
  else {
    body += "<table><tr><th>Time</th><th>Method</th><th>Outcome</th><th>Arguments</th></tr>\n";
    for (const auto& c : recentCalls) {
      std::string args = shortened(c.args, 300);
      body += "<tr><td>" + htmlEscape(c.receivedAt) + "</td><td>" + htmlEscape(c.method) + "</td><td" +
              (c.outcome == "ok" ? "" : " class=\"bad\"") + ">" + htmlEscape(c.outcome) + "</td><td>" +
              htmlEscape(args) + "</td></tr>\n";
    }
    body += "</table>";
  }
  return page(name, body + "</section>\n");
}

}  // namespace kn::platform
