// Files whose loss would lose data are written whole or not at all.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "KNOs.h"

namespace kn {

// Writes `data` to `path` whole or not at all through the OS seam (Os::writeFile: a locked
// temporary file beside `path`, flushed to disk and renamed over it; temporaries that crashed
// writers left are removed first). The file gets permission bits `mode`; with ExistingMode::Keep
// a file that already exists keeps its own instead. Throws EOSError naming the file and the
// system's reason; no temporary file is left then.
void writeFileAtomic(const std::string& path, std::string_view data, unsigned mode = 0600,
                     ExistingMode existing = ExistingMode::Replace);
// The same for the text of `pieces` one after the other, which need not be joined in memory first.
void writeFileAtomic(const std::string& path, std::span<const std::string_view> pieces, unsigned mode = 0600,
                     ExistingMode existing = ExistingMode::Replace);

}  // namespace kn
