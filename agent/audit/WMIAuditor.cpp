#include "WMIAuditor.h"

#include <malloc.h>
#include <tinyxml2.h>

#include <charconv>
#include <filesystem>

#include "AuditScript.h"
#include "InstanceProviderDevices.h"
#include "InventoryPolicy.h"
#include "KNAtomicFile.h"
#include "KNDateMath.h"
#include "KNEnv.h"
#include "KNLib.h"
#include "KNResources.h"

namespace kn {
namespace {

using nlohmann::json;

constexpr size_t kMaxMemberName = 1000;
constexpr size_t kMaxClassMember = 100;

// "Fail@<step>: <error type>: <message>".
Exception stepFailure(const std::string& step, const std::exception& e) {
  return Exception("Fail@" + step + ": " + exceptionClassName(e) + ": " + e.what());
}

// ---- Script result ------------------------------------------------------------------------------

// All text of an element, CDATA sections included (a value holding "]]>" arrives split over two of
// them); comments and child elements add nothing.
std::string elementText(const tinyxml2::XMLElement& element) {
  std::string text;
  for (const tinyxml2::XMLNode* node = element.FirstChild(); node; node = node->NextSibling())
    if (const tinyxml2::XMLText* t = node->ToText()) text += t->Value();
  return text;
}

// One object with a member per child element of `record`: the name without its first
// `prefixLength` characters, at most kMaxMemberName of the rest; a later field replaces an earlier.
json fieldsOf(const tinyxml2::XMLElement& record, size_t prefixLength) {
  json object = json::object();
  for (const tinyxml2::XMLElement* f = record.FirstChildElement(); f; f = f->NextSiblingElement()) {
    const std::string_view name = f->Name();
    const std::string_view member =
        name.size() > prefixLength ? name.substr(prefixLength) : std::string_view();
    object[std::string(member.substr(0, kMaxMemberName))] = elementText(*f);
  }
  return object;
}

// The section's leaf elements as an array of one object; an absent section gives an empty array.
json mapSingleSection(const std::string& prefix, const tinyxml2::XMLElement* section) {
  json array = json::array();
  if (section) array.push_back(fieldsOf(*section, prefix.size()));
  return array;
}

// One object per record element of the section; an absent section gives an empty array.
json mapRecordSection(const std::string& prefix, const tinyxml2::XMLElement* section) {
  json array = json::array();
  if (!section) return array;
  for (const tinyxml2::XMLElement* r = section->FirstChildElement(); r; r = r->NextSiblingElement())
    array.push_back(fieldsOf(*r, prefix.size()));
  return array;
}

// ---- Class dump ---------------------------------------------------------------------------------

// The variant type a COM client would see for the value, for the trace only.
int variantType(const WmiValue& v) {
  switch (v.index()) {
    case 0:
      return 1;  // VT_NULL
    case 1:
      return 11;  // VT_BOOL
    case 2:
      return 3;  // VT_I4
    case 3:
      return 8;  // VT_BSTR
    default:
      return 8200;  // VT_ARRAY | VT_BSTR
  }
}

std::int64_t toInteger(const WmiValue& v) {
  if (const auto* n = std::get_if<std::int64_t>(&v)) return *n;
  if (const auto* b = std::get_if<bool>(&v)) return *b ? -1 : 0;
  if (const auto* s = std::get_if<std::string>(&v)) {
    std::int64_t n = 0;
    const char* end = s->data() + s->size();
    const auto [ptr, ec] = std::from_chars(s->data() + (!s->empty() && (*s)[0] == '+'), end, n);
    if (ec == std::errc() && ptr == end && !s->empty()) return n;
    throw EConvertError("'" + *s + "' is not a valid integer value");
  }
  throw EConvertError("Invalid variant type conversion");
}

std::string toText(const WmiValue& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* n = std::get_if<std::int64_t>(&v)) return std::to_string(*n);
  if (const auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  throw EConvertError("Invalid variant type conversion");
}

bool toBoolean(const WmiValue& v) {
  if (const auto* b = std::get_if<bool>(&v)) return *b;
  if (const auto* n = std::get_if<std::int64_t>(&v)) return *n != 0;
  if (const auto* s = std::get_if<std::string>(&v)) {
    if (s->size() == 4 && (*s == "True" || *s == "true" || *s == "TRUE")) return true;
    if (s->size() == 5 && (*s == "False" || *s == "false" || *s == "FALSE")) return false;
    throw EConvertError("Could not convert variant of type (String) into type (Boolean)");
  }
  throw EConvertError("Invalid variant type conversion");
}

// The JSON value of a scalar, non-null property by its CIM type; nothing for other types.
std::optional<json> convert(const WmiProperty& p) {
  switch (p.cimType) {
    case kCimSint16:
    case kCimUint8:
    case kCimUint16:
    case kCimUint32:
    case kCimUint64:  // delivered as decimal text; past the signed 64-bit range it fails
      return json(toInteger(p.value));
    case kCimString:
    case kCimDateTime:
      return json(toText(p.value));
    case kCimBoolean:
      return json(toBoolean(p.value));
    default:
      return std::nullopt;
  }
}

// True when the imported "MachineResume" names a host or an operating system.
bool hasMachineFacts(const json& machineResume) {
  if (!machineResume.is_array() || machineResume.empty() || !machineResume[0].is_object()) return false;
  const json& sys = machineResume[0];
  for (const char* key : {"hostname", "os_name"}) {
    const auto it = sys.find(key);
    if (it != sys.end() && it->is_string() &&
        it->get_ref<const std::string&>().find_first_not_of(" \t\r\n") != std::string::npos)
      return true;
  }
  return false;
}

}  // namespace

TWMIAuditor::TWMIAuditor(std::string outfnArg, WMIAuditorOptions options)
    : options_(std::move(options)), outfn(std::move(outfnArg)), res(json::object()) {
  trace("Instantiating CoSWbemLocator...");
  const bool extended = options_.extendedInventory;
  auto connect = options_.connect ? options_.connect : [extended] {
    return createInstanceProvider({.root = {}, .addresses = {}, .extendedInventory = extended});
  };
  trace("Instantiating CoSWbemLocator OK");
  Services = connect();
  if (!Services) throw EWMIError("The instance provider could not be connected");
  trace("Connected to root\\cimv2");
}

TWMIAuditor::~TWMIAuditor() = default;

void TWMIAuditor::trace(const std::string& line) const {
  if (options_.trace) options_.trace(line);
}

std::vector<std::string> TWMIAuditor::loadTextResource(std::string_view name) const {
  return splitLines(options_.findResource ? options_.findResource(name) : findResource(name));
}

std::string TWMIAuditor::memberName(const std::string& className) {
  if (className.compare(0, 6, "Win32_") != 0) return className;
  return className.substr(6, kMaxClassMember) + "Detail";
}

void TWMIAuditor::execute() {
  res[metaKey] = json::object();
  audit()["dt_start"] = nowDateTime();
  audit()["generator"] = exePath();

  try {
    doMethod2();
  } catch (const std::exception& e) {
    throw stepFailure("doMethod2", e);
  }
  // Neither a host name nor an operating system: the audit root holds no machine (a wrong or
  // empty KN_AUDIT_ROOT), and a document of empty sections must not pass for an audit.
  if (!hasMachineFacts(audit()["MachineResume"])) {
    const std::string root = auditMachineRoot();
    throw Exception(
        "Fail: the audit found no facts of this machine (no host name, no operating system) below " +
        (root.empty() ? std::string("/") : root));
  }

  std::vector<std::string> classes;
  try {
    classes = loadTextResource("WMIOBJ_META");
    if (!options_.extendedInventory) std::erase_if(classes, isExtendedInventoryClass);
  } catch (const std::exception& e) {
    throw stepFailure("loadRes WMIOBJ_META", e);
  }

  for (const std::string& line : classes) {
    if (!line.empty() && line[0] == '/') {
      trace("ignoring " + line + ".");
      continue;
    }
    trace("querying " + line + "...");
    try {
      testWMI(line);
    } catch (const std::exception& e) {
      throw stepFailure("ltestWMI " + line, e);
    }
  }

  audit()["dt_end"] = nowDateTime();
}

void TWMIAuditor::doMethod2() {
  const std::string scriptResultFile = outfn + ".xml";
  std::error_code ignored;
  std::filesystem::remove(scriptResultFile, ignored);
  std::filesystem::remove(scriptResultFile + ".tmp", ignored);  // what a failed run began to write

  std::string code = options_.findResource
                         ? prepareAuditScript(options_.findResource("ITAUDITDIC_META"), scriptResultFile)
                         : prepareAuditScript(scriptResultFile);
  const ScriptTrace hostTrace = [this](const std::string& line) { trace(line); };
  try {
    executeScript(code, scriptResultFile, hostTrace, options_.scriptControl);
  } catch (...) {
    std::string().swap(code);
    trace("Script code released");
    throw;
  }
  std::string().swap(code);
  trace("Script code released");
  // The script's interpreter is gone; its memory goes back to the system before the document grows.
  ::malloc_trim(0);

  importScriptResult(scriptResultFile);
  std::filesystem::remove(scriptResultFile, ignored);
}

void TWMIAuditor::importScriptResult(const std::string& file) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) throw Exception("Fail: could not find script result file @" + file);

  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  if (doc.LoadFile(file.c_str()) != tinyxml2::XML_SUCCESS) throw EXMLError(doc.ErrorStr());
  const tinyxml2::XMLElement* root = doc.RootElement();
  if (!root) throw EXMLError("The script result has no root element");

  json& section = audit();
  section["MachineResume"] = mapSingleSection("", root->FirstChildElement("sys"));
  section["OSResume"] = mapSingleSection("windows_", root->FirstChildElement("windows"));
  section["Software"] = mapRecordSection("software_", root->FirstChildElement("software"));
  if (root->FirstChildElement("software") && options_.extendedInventory)
    appendOtherSoftware(section["Software"]);
  section["Users"] = mapRecordSection("user_", root->FirstChildElement("users"));
  section["SoftwareKeysDetail"] = mapRecordSection("key_", root->FirstChildElement("software_keys"));
}

void TWMIAuditor::appendOtherSoftware(json& software) const {
  // Each in the shape of the script's packages; "install_source" names where it comes from.
  const auto packages = options_.otherSoftware ? options_.otherSoftware() : devices::installedOtherSoftware();
  for (const devsrc::Package& p : packages) {
    software.push_back({{"name", p.name},
                        {"version", p.version},
                        {"location", ""},
                        {"uninstall", ""},
                        {"install_date", p.installDate()},
                        {"publisher", p.publisher},
                        {"install_source", p.source},
                        {"system_component", ""},
                        {"url", p.url},
                        {"email", ""},
                        {"comment", p.summary},
                        {"code_base", ""},
                        {"status", ""}});
  }
}

void TWMIAuditor::testWMI(const std::string& table) {
  json array = json::array();
  try {
    for (const WmiObject& instance : Services->instancesOf(table)) {
      if (options_.trace) trace("  propcount=" + std::to_string(instance.size()));
      json object = json::object();
      for (const WmiProperty& p : instance) {
        if (options_.trace) {
          trace("    propName=" + p.name + "    propOrigin=" + p.origin);
          trace("       vartype=" + std::to_string(variantType(p.value)) +
                " CIMType=" + std::to_string(p.cimType));
        }
        if (p.isArray || std::holds_alternative<std::vector<std::string>>(p.value)) continue;
        if (std::holds_alternative<std::monostate>(p.value)) continue;
        if (auto value = convert(p)) object[p.name] = std::move(*value);
      }
      array.push_back(std::move(object));
    }
  } catch (const std::exception& e) {
    array.push_back(exceptionClassName(e) + ": " + e.what());
  }
  audit()[memberName(table)] = std::move(array);
}

void TWMIAuditor::saveToFile() {
  res["dt_execute"] = dateTimeToText(nowDateTime());
  res["success"] = true;
  // Text read from the machine need not be valid UTF-8 (a command line, a Latin-1 GECOS field):
  // such bytes become U+FFFD instead of failing the whole audit.
  const std::string text = res.dump(2, ' ', true, json::error_handler_t::replace);
  writeFileAtomic(outfn, text, 0600);
}

}  // namespace kn
