// The server's web pages: plain HTML rendered on the server, no script. Every text that comes
// from a caller is HTML-escaped, so a machine cannot put markup on the page.
//
//   /                  the machines that have called in, newest first
//   /machine?id=ID     one machine: identity, last check-in, last mini-audit, the latest audit
//                      document as sections and tables, and its recent calls
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PlatformStore.h"

namespace kn::platform {

std::string htmlEscape(std::string_view text);
// Percent-encodes everything but letters, digits and "-._~", for a query value.
std::string urlEncode(std::string_view text);

std::string renderMachineList(const std::vector<MachineRecord>& machines);
std::string renderMachinePage(const MachineRecord& machine, const std::optional<AuditRecord>& audit,
                              const std::vector<CallRecord>& recentCalls);
// The HTML of one audit document (or failure record): its stamps, then one section per member of
// the audit section, objects as key/value tables and arrays of objects as tables with columns.
std::string renderAuditDocument(const std::string& documentText);

}  // namespace kn::platform
