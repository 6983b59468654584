#include "KNAtomicFile.h"

namespace kn {

void writeFileAtomic(const std::string& path, std::string_view data, unsigned mode, ExistingMode existing) {
  writeFileWhole(os(), path, data, {mode, existing});
}

void writeFileAtomic(const std::string& path, std::span<const std::string_view> pieces, unsigned mode,
                     ExistingMode existing) {
  os().writeFile(path, pieces, {mode, existing});
}

}  // namespace kn
