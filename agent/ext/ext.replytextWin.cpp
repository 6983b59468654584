// stub
#include "ext.replytext.h"
namespace kn {
bool convertToUtf8(std::string_view, const std::string&, std::size_t, std::string&) { return false; }
}  // namespace kn
