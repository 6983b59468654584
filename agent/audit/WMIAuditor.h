// The audit engine: one full audit of the machine as one JSON document.
//
// The worker creates an engine for the pending audit file, calls execute() and then saveToFile(),
// and releases it whatever happened:
//
//   TWMIAuditor a(outfn);  // connects the instance provider
//   a.execute();           // runs the inventory script, imports its result, dumps the class list
//   a.saveToFile();        // stamps the document and writes it to outfn, whole or not at all
//
// execute() runs the embedded inventory script ("ITAUDITDIC_META") through the script host, imports
// five sections of the XML it writes to outfn + ".xml", then dumps every class of the class list
// ("WMIOBJ_META") from the instance provider. Every section lives in the audit section, the member
// "rurirudoDUROVorov" of the document; only "dt_execute" and "success" lie at its top level.
//
// Failures are kn::Exception whose message names the failing step ("Fail@doMethod2: ...",
// "Fail@loadRes WMIOBJ_META: ...", "Fail@ltestWMI <class>: ..."); nothing is written then. A class
// the provider cannot read is no failure: its array ends with the error's text and the run goes on.
//
// The document is kept as it will be saved, not as a tree: each member of the audit section is
// turned into its JSON text once it is complete (an imported section, a class's array), so that
// only one section is ever held as a tree, and the script result is read element by element.
//
// An engine lives on one thread for one audit; it is not shared. Inside execute() a second thread
// reads the class list from the instance provider while the script runs, and hands the instances
// back before any of them is stored: the provider is used by one thread at a time, and the trace
// and the document are those of a dump made after the script.
#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceSources.h"
#include "InstanceProvider.h"
#include "ScriptHost.h"
#include "ScriptResultXml.h"

namespace kn {

// The engine's progress lines ("querying Win32_Bios...", the script host's lines, one per property of
// every instance); by default they go nowhere.
using AuditTrace = std::function<void(const std::string& line)>;

// What an engine uses besides the machine; every member has a default for the real agent.
struct WMIAuditorOptions {
  // Connects the instance provider; default createInstanceProvider(). Its error leaves the constructor.
  std::function<std::unique_ptr<InstanceProvider>()> connect;
  // The embedded resource of a name ("ITAUDITDIC_META", "WMIOBJ_META"); default kn::findResource,
  // which throws "Resource <name> not found".
  std::function<std::string_view(std::string_view name)> findResource;
  // Makes the script control for the inventory script; default the Lua control.
  ScriptControlFactory scriptControl;
  AuditTrace trace;
  // Lines for the agent's log: a class that had more instances than it lists. Called on the thread
  // that reads the classes, which is not the engine's own; by default they go nowhere.
  AuditTrace notice;
  // The "ExtendedInventory" policy (InventoryPolicy.h): false leaves out the extended classes of the
  // class list and the software outside dpkg.
  bool extendedInventory = true;
  // The software outside dpkg (rpm, snap, flatpak) added to "Software" when the script wrote that
  // section; default: what the Linux provider's machine holds.
  std::function<std::vector<devsrc::Package>()> otherSoftware;
};

class TWMIAuditor {
 public:
  // The member of the document that holds the audit section.
  static constexpr const char* metaKey = "rurirudoDUROVorov";

  // Stores `outfn` and connects the instance provider ("Instantiating CoSWbemLocator...",
  // "Instantiating CoSWbemLocator OK", "Connected to root\cimv2"); a connection failure leaves here.
  explicit TWMIAuditor(std::string outfn, WMIAuditorOptions options = {});
  ~TWMIAuditor();
  TWMIAuditor(const TWMIAuditor&) = delete;
  TWMIAuditor& operator=(const TWMIAuditor&) = delete;

  // Builds the audit section: "dt_start", "generator", the five imported sections, one member per
  // listed class, "dt_end". Throws as described above; the partial document then stays unsaved.
  void execute();

  // Adds "dt_execute" (now, "yyyy/mm/dd hh:nn:ss") and "success" (true) and writes the document to
  // `outfn`: indented JSON, ASCII only (everything else as \u escapes of UTF-16 code units), through
  // a temporary file renamed over `outfn`, mode 0600. Throws EOSError when it cannot be written.
  void saveToFile();

  // The script step: deletes a stale outfn + ".xml", prepares and runs the inventory script,
  // imports its result and deletes the result file. A failing run or import leaves the result file
  // for the next audit to delete.
  void doMethod2();

  // Imports "MachineResume" (sys), "OSResume" (windows), "Software" (software), "Users" (users) and
  // "SoftwareKeysDetail" (software_keys) of the script result `file` into the audit section.
  // Throws kn::Exception "Fail: could not find script result file @<file>" or EXMLError.
  void importScriptResult(const std::string& file);

  // Dumps every instance of `table` into the audit section under memberName(table). A class that
  // cannot be read ends its array with "<error type>: <message>"; throws only when the array
  // cannot be stored.
  void testWMI(const std::string& table);

  // The document as built so far, as it would be saved (text that is not UTF-8 already replaced);
  // made from the saved form on each call after a change, for tests and tools.
  const nlohmann::json& result() const;

  // "Win32_Bios" -> "BiosDetail" (at most 100 characters of the name after "Win32_"); a name that
  // does not start with "Win32_", in exactly that case, is used unchanged.
  static std::string memberName(const std::string& className);

 private:
  // One class's instances as read, or what failed while reading them.
  struct ClassRead {
    std::vector<WmiObject> instances;
    std::exception_ptr failure;
  };
  ClassRead readClass(const std::string& table) const;
  // Stores `read` as testWMI describes.
  void storeClass(const std::string& table, ClassRead read);

  void trace(const std::string& line) const;
  // Hands each package of the software outside dpkg, in the shape of the imported "Software"
  // records, to `add`.
  void addOtherSoftware(const std::function<void(const nlohmann::json&)>& add) const;
  std::vector<std::string> loadTextResource(std::string_view name) const;
  // Stores `value` as the audit section's member `name` (replacing an earlier one) in its saved form.
  void setMember(const std::string& name, const nlohmann::json& value);
  // The whole document in its saved form.
  std::string documentText() const;
  // The same as the pieces it is made of: the members' texts as they are kept, and the text that
  // joins them, kept in `joins`.
  std::vector<std::string_view> documentPieces(std::deque<std::string>& joins) const;

  WMIAuditorOptions options_;
  std::unique_ptr<InstanceProvider> Services;
  std::string outfn;
  // The audit section's members by name (the saved document's order), each as its JSON text
  // indented for its place in the document; `hasAudit_` once the section exists.
  std::map<std::string, std::string> members_;
  bool hasAudit_ = false;
  bool machineFacts_ = false;            // the imported "MachineResume" names a host or an operating system
  std::optional<std::string> executed_;  // "dt_execute", set by saveToFile()
  mutable std::optional<nlohmann::json> view_;
};

}  // namespace kn
