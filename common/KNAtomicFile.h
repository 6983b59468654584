// Files whose loss would lose data are written whole or not at all.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace kn {

// Writes `data` to a temporary file beside `path`, flushes it to disk and renames it over `path`,
// so a crash leaves either the old file or the new one, never a part. The file gets `mode`.
// Throws kn::Exception naming the file and the system's reason on failure; the temporary file
// is removed then.
void writeFileAtomic(const std::string& path, std::string_view data, mode_t mode = 0600);

// The text of the system error `err` (errno) as "<context>: <reason>".
std::string systemErrorText(const std::string& context, int err);

}  // namespace kn
