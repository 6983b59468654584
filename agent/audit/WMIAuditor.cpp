#include "WMIAuditor.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <deque>
#include <exception>
#include <filesystem>
#include <future>

#include "AuditScript.h"
#include "FactText.h"
#include "InstanceProviderDevices.h"
#include "InventoryPolicy.h"
#include "KNDateMath.h"
#include "KNEnv.h"
#include "KNLib.h"
#include "KNOs.h"
#include "KNResources.h"
#include "KNPath.h"

namespace kn {
namespace {

using nlohmann::json;

constexpr size_t kMaxMemberName = 1000;
constexpr size_t kMaxClassMember = 100;

// A line of the class list that names no class to query: one that starts with "/". (An empty line
// is queried, and fails as a class without a name.)
bool isIgnoredClassLine(const std::string& line) { return !line.empty() && line[0] == '/'; }

// "Fail@<step>: <error type>: <message>".
Exception stepFailure(const std::string& step, const std::exception& e) {
  return Exception("Fail@" + step + ": " + exceptionClassName(e) + ": " + e.what());
}

// ---- Script result ------------------------------------------------------------------------------

// The imported sections: the root's first child element of each name becomes one member. A single
// section gives an array of one object with a member per child element; a record section gives one
// object per child element, with a member per child element of that. A member's name is the field
// element's name without the section's prefix (whatever its first characters are), at most
// kMaxMemberName characters of it; its value is all text directly in the field, CDATA included;
// a later field replaces an earlier one.
struct Section {
  std::string_view element, member;
  size_t prefix;
  bool records;
};
constexpr Section kSections[] = {{"sys", "MachineResume", 0, false},
                                 {"windows", "OSResume", 8, false},
                                 {"software", "Software", 9, true},
                                 {"users", "Users", 5, true},
                                 {"software_keys", "SoftwareKeysDetail", 4, true}};

std::string memberOf(const std::string& element, size_t prefix) {
  if (element.size() <= prefix) return std::string();
  return element.substr(prefix, kMaxMemberName);
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

// True when the imported "sys" object names a host or an operating system.
bool hasMachineFacts(const json& sys) {
  if (!sys.is_object()) return false;
  for (const char* key : {"hostname", "os_name"}) {
    const auto it = sys.find(key);
    if (it != sys.end() && it->is_string() &&
        it->get_ref<const std::string&>().find_first_not_of(" \t\r\n") != std::string::npos)
      return true;
  }
  return false;
}

// Appends `value` as the saved document holds it `indent` spaces deep: indented JSON, ASCII only,
// bytes that are not UTF-8 replaced by U+FFFD.
// The JSON library's own indented, ASCII-only dump of `value`, `indent` spaces deep.
void appendDump(std::string& text, const json& value, unsigned indent) {
  nlohmann::detail::serializer<json> serializer(nlohmann::detail::output_adapter<char>(text), ' ',
                                                json::error_handler_t::replace);
  serializer.dump(value, true, true, 2, indent);
}

// Printable ASCII without '"' and '\\': the saved form is the text itself between quotes.
bool plainText(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7F && c != '"' && c != '\\';
  });
}

// Every text of the document is a fact of the machine or made of one: each is cut here (FactText.h).
void appendSavedString(std::string& text, std::string_view s) {
  std::string cut;
  if (s.size() > kMaxFactLength) s = cut = cutToUtf16Units(s, kMaxFactLength);
  if (!plainText(s)) return appendDump(text, json(s), 0);
  text += '"';
  text += s;
  text += '"';
}

// The records and instances are objects of strings, numbers and booleans: their common values are
// written here directly, everything else by the JSON library's own serializer, with its layout.
void appendSaved(std::string& text, const json& value, unsigned indent) {
  if (value.is_string()) return appendSavedString(text, value.get_ref<const std::string&>());
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    text += std::to_string(value.get<std::int64_t>());
    return;
  }
  if (value.is_boolean()) {
    text += value.get<bool>() ? "true" : "false";
    return;
  }
  if (value.is_object() && !value.empty()) {
    text += "{\n";
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (!first) text += ",\n";
      first = false;
      text.append(indent + 2, ' ');
      appendSavedString(text, it.key());
      text += ": ";
      appendSaved(text, it.value(), indent + 2);
    }
    text += '\n';
    text.append(indent, ' ');
    text += '}';
    return;
  }
  appendDump(text, value, indent);
}

// A member of the audit section in its saved form.
std::string savedText(const json& value) {
  std::string text;
  appendSaved(text, value, 4);
  return text;
}

// An array member of the audit section in its saved form, made one element at a time, so that
// no more than one element is ever held as a tree.
class SavedArray {
 public:
  void add(const json& element) {
    text_ += text_.empty() ? "[\n      " : ",\n      ";
    appendSaved(text_, element, 6);
  }
  std::string finish() && { return text_.empty() ? std::string("[]") : std::move(text_) + "\n    ]"; }

 private:
  std::string text_;
};

std::string savedKey(const std::string& key) {
  return json(key).dump(-1, ' ', true, json::error_handler_t::replace);
}

}  // namespace

TWMIAuditor::TWMIAuditor(std::string outfnArg, WMIAuditorOptions options)
    : options_(std::move(options)), outfn(std::move(outfnArg)) {
  trace("Instantiating CoSWbemLocator...");
  auto connect = options_.connect ? options_.connect : [this] {
    return createInstanceProvider(
        {.extendedInventory = options_.extendedInventory, .notice = options_.notice});
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
  members_.clear();
  hasAudit_ = true;
  view_.reset();
  setMember("dt_start", nowDateTime());
  setMember("generator", exePath());

  std::vector<std::string> classes;
  std::exception_ptr listFailure;
  try {
    classes = loadTextResource("WMIOBJ_META");
    if (!options_.extendedInventory) std::erase_if(classes, isExtendedInventoryClass);
  } catch (...) {
    listFailure = std::current_exception();
  }
  // The classes are read while the script runs: the two read the machine independently, and with
  // a second processor the audit then takes hardly longer than the script alone. They are stored
  // below, in their turn, with the same trace as if each had been read there; a failed script
  // leaves them unstored.
  std::vector<std::string> queried;
  for (const std::string& line : classes)
    if (!isIgnoredClassLine(line)) queried.push_back(line);
  auto dump = std::async(std::launch::async | std::launch::deferred, [this, queried] {
    std::vector<ClassRead> reads;
    reads.reserve(queried.size());
    for (const std::string& table : queried) reads.push_back(readClass(table));
    return reads;
  });

  try {
    doMethod2();
  } catch (const std::exception& e) {
    throw stepFailure("doMethod2", e);
  }
  // Neither a host name nor an operating system: the audit root holds no machine (a wrong or
  // empty KN_AUDIT_ROOT), and a document of empty sections must not pass for an audit.
  if (!machineFacts_) {
    const std::string root = auditMachineRoot();
    throw Exception(
        "Fail: the audit found no facts of this machine (no host name, no operating system) below " +
        (root.empty() ? std::string("/") : root));
  }
  if (listFailure) {
    try {
      std::rethrow_exception(listFailure);
    } catch (const std::exception& e) {
      throw stepFailure("loadRes WMIOBJ_META", e);
    }
  }

  std::vector<ClassRead> reads = dump.get();
  size_t next = 0;
  for (const std::string& line : classes) {
    if (isIgnoredClassLine(line)) {
      trace("ignoring " + line + ".");
      continue;
    }
    trace("querying " + line + "...");
    try {
      storeClass(line, std::move(reads.at(next++)));
    } catch (const std::exception& e) {
      throw stepFailure("ltestWMI " + line, e);
    }
  }

  setMember("dt_end", nowDateTime());
}

void TWMIAuditor::doMethod2() {
  const std::string scriptResultFile = outfn + ".xml";
  std::error_code ignored;
  std::filesystem::remove(fsPath(scriptResultFile), ignored);
  std::filesystem::remove(fsPath(scriptResultFile + ".tmp"), ignored);  // what a failed run began to write

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
  // The interpreter's memory is not handed back to the system here: the import reuses it, which
  // costs no page faults, and the import holds no more than a section's text.
  importScriptResult(scriptResultFile);
  std::filesystem::remove(fsPath(scriptResultFile), ignored);
}

void TWMIAuditor::importScriptResult(const std::string& file) {
  std::error_code ec;
  if (!std::filesystem::exists(fsPath(file), ec)) throw Exception("Fail: could not find script result file @" + file);

  // One pass over the result; each section is saved as soon as it is complete, and the sections
  // become members only once the whole file has proved well-formed.
  XmlReader xml = XmlReader::openFile(file);
  std::map<std::string, std::string> imported;
  bool facts = false;
  bool rootSeen = false, inRoot = false;
  std::array<bool, std::size(kSections)> seen{};
  const Section* section = nullptr;
  SavedArray array;
  json record;                   // the object that takes the fields (null outside one)
  std::string* value = nullptr;  // the field whose text is being read
  size_t fieldDepth = 0;
  const size_t recordDepth = 3;
  for (XmlReader::Event event; (event = xml.next()) != XmlReader::Event::Finish;) {
    const size_t depth = xml.depth();
    if (event == XmlReader::Event::Text) {
      // Past what the document keeps of a value (FactText.h), the text is not held at all.
      if (value && depth == fieldDepth && value->size() < kMaxFactBytes + 4)
        value->append(std::string_view(xml.text()).substr(0, kMaxFactBytes + 4 - value->size()));
      continue;
    }
    if (event == XmlReader::Event::End) {
      if (value && depth == fieldDepth) value = nullptr;
      if (section && section->records && depth == recordDepth) {
        array.add(record);
        record = json();
      }
      if (section && depth == 2) {
        if (!section->records) {
          if (section->member == "MachineResume") facts = hasMachineFacts(record);
          array.add(record);
          record = json();
        }
        if (section->member == "Software" && options_.extendedInventory)
          addOtherSoftware([&array](const json& package) { array.add(package); });
        imported[std::string(section->member)] = std::move(array).finish();
        array = SavedArray();
        section = nullptr;
      }
      if (inRoot && depth == 1) inRoot = false;
      continue;
    }
    if (depth == 1) {
      inRoot = !rootSeen;  // only the first element at the top is the root
      rootSeen = true;
    } else if (depth == 2 && inRoot) {
      for (size_t i = 0; i < std::size(kSections); ++i) {
        if (seen[i] || kSections[i].element != xml.name()) continue;
        seen[i] = true;
        section = &kSections[i];
        record = section->records ? json() : json::object();
      }
    } else if (section && section->records && depth == recordDepth) {
      record = json::object();
    } else if (section && record.is_object() && depth == (section->records ? 4u : 3u)) {
      json& field = record[memberOf(xml.name(), section->prefix)];
      field = "";
      value = &field.get_ref<std::string&>();
      fieldDepth = depth;
    }
  }
  if (!rootSeen) throw EXMLError("The script result has no root element");

  for (const Section& s : kSections) {
    const std::string member(s.member);
    auto it = imported.find(member);
    members_[member] = it == imported.end() ? std::string("[]") : std::move(it->second);  // absent: empty
  }
  hasAudit_ = true;
  view_.reset();
  machineFacts_ = facts;
}

void TWMIAuditor::addOtherSoftware(const std::function<void(const json&)>& add) const {
  // Each in the shape of the script's packages; "install_source" names where it comes from.
  const auto packages = options_.otherSoftware ? options_.otherSoftware() : devices::installedOtherSoftware();
  for (const devsrc::Package& p : packages) {
    add(json{{"name", p.name},
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

void TWMIAuditor::testWMI(const std::string& table) { storeClass(table, readClass(table)); }

TWMIAuditor::ClassRead TWMIAuditor::readClass(const std::string& table) const {
  ClassRead read;
  try {
    read.instances = Services->instancesOf(table);
  } catch (...) {
    read.failure = std::current_exception();
  }
  return read;
}

void TWMIAuditor::storeClass(const std::string& table, ClassRead read) {
  SavedArray array;
  try {
    if (read.failure) std::rethrow_exception(read.failure);
    for (WmiObject& instance : read.instances) {
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
      array.add(object);
      WmiObject().swap(instance);  // what is stored is not kept twice
    }
  } catch (const std::exception& e) {
    array.add(exceptionClassName(e) + ": " + e.what());
  }
  members_[memberName(table)] = std::move(array).finish();
  hasAudit_ = true;
  view_.reset();
}

void TWMIAuditor::saveToFile() {
  executed_ = dateTimeToText(nowDateTime());
  view_.reset();
  // Text read from the machine need not be valid UTF-8 (a command line, a Latin-1 GECOS field):
  // such bytes became U+FFFD when each member was saved, instead of failing the whole audit.
  // Written piece by piece, never joined: the document is the largest text of the audit.
  std::deque<std::string> joins;
  os().writeFile(outfn, documentPieces(joins), {.mode = 0600});
}

void TWMIAuditor::setMember(const std::string& name, const json& value) {
  hasAudit_ = true;
  view_.reset();
  members_[name] = savedText(value);
}

std::vector<std::string_view> TWMIAuditor::documentPieces(std::deque<std::string>& joins) const {
  // The layout of an indented dump of the whole document, members in name order:
  // {"dt_execute", "rurirudoDUROVorov": {...}, "success"}.
  std::vector<std::string_view> pieces;
  const auto add = [&](std::string text) { pieces.push_back(joins.emplace_back(std::move(text))); };
  const char* separator = "{\n  ";
  const auto member = [&](const std::string& key) {
    add(separator + savedKey(key) + ": ");
    separator = ",\n  ";
  };
  if (executed_) {
    member("dt_execute");
    add(savedKey(*executed_));
  }
  if (hasAudit_) {
    member(metaKey);
    if (members_.empty()) {
      add("{}");
    } else {
      const char* inner = "{\n    ";
      for (const auto& [name, text] : members_) {
        add(inner + savedKey(name) + ": ");
        pieces.push_back(text);
        inner = ",\n    ";
      }
      add("\n  }");
    }
  }
  if (executed_) {
    member("success");
    add("true");
  }
  add(pieces.empty() ? "{}" : "\n}");
  return pieces;
}

std::string TWMIAuditor::documentText() const {
  std::deque<std::string> joins;
  const std::vector<std::string_view> pieces = documentPieces(joins);
  size_t size = 0;
  for (std::string_view piece : pieces) size += piece.size();
  std::string doc;
  doc.reserve(size);
  for (std::string_view piece : pieces) doc += piece;
  return doc;
}

const json& TWMIAuditor::result() const {
  if (!view_) view_ = json::parse(documentText());
  return *view_;
}

}  // namespace kn
