// stub: the audit child on Windows
#include "AuditChild.h"
namespace kn {
void limitAuditChild() {}
bool isAuditChildProcess() { return false; }
}  // namespace kn
