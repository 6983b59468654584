#include "AuditScript.h"

#include <cstdio>

#include "KNBase64.h"
#include "KNResources.h"
#include "ScriptControl.h"
#include "ScriptHost.h"

namespace kn {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

std::string luaQuoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\%03u", u);
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string vbscriptQuoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"') {
      out += "\"\"";
    } else if (u < 0x20 || u == 0x7f) {
      out += "\" & Chr(" + std::to_string(u) + ") & \"";
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string scriptQuoted(std::string_view text) {
  return std::string_view(kScriptLanguage) == "vbscript" ? vbscriptQuoted(text) : luaQuoted(text);
}

std::string prepareAuditScript(std::string_view storedScript, const std::string& scriptResultFile) {
  const std::string script = scriptBytesToUtf8(base64DecodeLenient(storedScript));
  std::string out;
  out.reserve(script.size() + script.size() / 16 + scriptResultFile.size() + 32);
  out += "outfilename=";
  out += scriptQuoted(scriptResultFile);
  out += kLineEnd;
  // Lines end at CR LF, CR or LF; a line end at the very end of the text opens no further line.
  size_t pos = 0;
  while (pos < script.size()) {
    const size_t end = script.find_first_of("\r\n", pos);
    if (end == std::string::npos) {
      out.append(script, pos);
      out += kLineEnd;
      break;
    }
    out.append(script, pos, end - pos);
    out += kLineEnd;
    pos = end + 1;
    if (script[end] == '\r' && pos < script.size() && script[pos] == '\n') ++pos;
  }
  return out;
}

std::string prepareAuditScript(const std::string& scriptResultFile) {
  return prepareAuditScript(findResource("ITAUDITDIC_META"), scriptResultFile);
}

}  // namespace kn
