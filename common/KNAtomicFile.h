// Files whose loss would lose data are written whole or not at all.
#pragma once

#include <sys/types.h>

#include <span>
#include <string>
#include <string_view>

namespace kn {

enum class ExistingMode { Replace, Keep };

// Writes `data` to a temporary file "<path>.tmp-XXXXXX" beside `path`, flushes it to disk and
// renames it over `path`, so a crash leaves either the old file or the new one, never a part. The
// file gets `mode`; with ExistingMode::Keep a file that already exists keeps its own permission bits
// instead. Throws EOSError naming the file and the system's reason; the temporary file is removed
// then.
//
// A writer holds an exclusive flock on its temporary file until the rename is done. Before it
// writes, it removes the temporary files of the same `path` that no live writer holds: those a
// crashed or killed writer left behind.
void writeFileAtomic(const std::string& path, std::string_view data, mode_t mode = 0600,
                     ExistingMode existing = ExistingMode::Replace);
// The same for the text of `pieces` one after the other, which need not be joined in memory first.
void writeFileAtomic(const std::string& path, std::span<const std::string_view> pieces, mode_t mode = 0600,
                     ExistingMode existing = ExistingMode::Replace);

}  // namespace kn
