// The bytes of a server's reply as text: decoded per the charset the reply declares, repaired where
// they are not well formed, and cut and escaped before they go into a message or a log line.
// Stateless functions; any thread may call them; none throws for bad input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kn {

// The "charset" parameter of a Content-Type value: the name in any letter case, spaces around "="
// allowed, the value quoted or not; "" when there is none.
std::string charsetOf(std::string_view contentType);

// The reply body as UTF-8 text. No charset, or UTF-8: a byte-order mark is honoured (UTF-8 dropped,
// UTF-16 decoded) and the text is kept in place when it is well formed. Any other charset that
// the system's converter knows (glibc's iconv on Linux) is converted ("UTF-16" without a byte-order mark: the byte order is read from
// the first character, which in JSON is ASCII); an unknown charset is read as UTF-8. Whatever is not
// well formed becomes U+FFFD. `body` is taken by value so that the common case costs no copy.
std::string decodeReplyText(std::string body, std::string_view contentType);

// At most the first `maxChars` characters of the decoded `body`, then "..." when there was more,
// with control characters escaped (logSafe): fit for an exception message and a log line.
std::string replyPreview(std::string_view body, std::string_view contentType, std::size_t maxChars);

// The platform half (ext.replytextLinux.cpp): `bytes` converted from `charset` to UTF-8 into `out`,
// with U+FFFD for each unit of `unitBytes` bytes that is no character or is cut short at the end;
// false when the system does not know the charset.
bool convertToUtf8(std::string_view bytes, const std::string& charset, std::size_t unitBytes, std::string& out);

}  // namespace kn
