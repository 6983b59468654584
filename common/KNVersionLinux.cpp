#include "KNVersion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "KNJsonParse.h"

namespace kn {
namespace {

constexpr char kUnreadable[] = "0.0.0.0";
constexpr std::uint32_t kPackageNoteType = 0xcafe1a7e;
constexpr std::uint32_t kSectionNote = 7;  // SHT_NOTE
constexpr std::uint32_t kSegmentNote = 4;  // PT_NOTE
// A note area larger than this is not a package note's: skipped rather than read.
constexpr std::uint64_t kMaxNoteArea = 1 << 20;
// Section or program headers beyond this count are not looked at.
constexpr std::uint64_t kMaxHeaders = 4096;

// An open file read only through bounds-checked positioned reads.
class File {
 public:
  explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = std::uint64_t(st.st_size);
  }
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // `len` bytes at `offset`, or nothing when any of them lies past the end of the file.
  std::optional<std::string> read(std::uint64_t offset, std::uint64_t len) const {
    if (fd_ < 0 || offset > size_ || len > size_ - offset) return std::nullopt;
    std::string buf(len, '\0');
    std::size_t done = 0;
    while (done < len) {
      ssize_t n = ::pread(fd_, buf.data() + done, len - done, off_t(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      done += std::size_t(n);
    }
    return buf;
  }

 private:
  int fd_;
  std::uint64_t size_ = 0;
};

// Fixed-width fields of a header in the file's byte order; reads past the end yield 0.
class Fields {
 public:
  Fields(std::string_view bytes, bool bigEndian) : bytes_(bytes), big_(bigEndian) {}
  std::uint64_t u(std::size_t at, std::size_t width) const {
    if (at > bytes_.size() || width > bytes_.size() - at) return 0;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
      std::uint64_t b = static_cast<unsigned char>(bytes_[at + (big_ ? i : width - 1 - i)]);
      v = v << 8 | b;
    }
    return v;
  }

 private:
  std::string_view bytes_;
  bool big_;
};

struct Area {
  std::uint64_t offset, size, align;
};

// The descriptor of the first package note in a note area, if there is one.
std::optional<std::string> findPackageNote(std::string_view area, bool big, std::uint64_t align) {
  const std::uint64_t pad = align == 8 ? 8 : 4;
  auto padded = [pad](std::uint64_t n) { return (n + pad - 1) / pad * pad; };
  Fields f(area, big);
  std::uint64_t at = 0;
  while (area.size() - at >= 12) {
    std::uint64_t namesz = f.u(at, 4), descsz = f.u(at + 4, 4), type = f.u(at + 8, 4);
    std::uint64_t nameAt = at + 12, descAt = nameAt + padded(namesz);
    if (descAt > area.size() || descsz > area.size() - descAt) return std::nullopt;
    std::string_view name = area.substr(nameAt, namesz);
    if (type == kPackageNoteType && name == std::string_view("FDO\0", 4)) {
      std::string_view desc = area.substr(descAt, descsz);
      return std::string(desc.substr(0, desc.find('\0')));
    }
    std::uint64_t next = descAt + padded(descsz);
    if (next > area.size()) return std::nullopt;
    at = next;
  }
  return std::nullopt;
}

// The note areas named by a header table: `count` entries of `entsize` bytes at `offset`.
std::vector<Area> noteAreas(const File& file, bool is64, bool big, std::uint64_t offset,
                            std::uint64_t entsize, std::uint64_t count, bool sections) {
  std::vector<Area> areas;
  const std::uint64_t minSize = sections ? (is64 ? 64 : 40) : (is64 ? 56 : 32);
  if (offset == 0 || count == 0 || count > kMaxHeaders || entsize < minSize || entsize > 1024) return areas;
  auto table = file.read(offset, entsize * count);
  if (!table) return areas;
  for (std::uint64_t i = 0; i < count; ++i) {
    Fields h(std::string_view(*table).substr(i * entsize, entsize), big);
    if (sections) {
      if (h.u(4, 4) != kSectionNote) continue;
      areas.push_back(is64 ? Area{h.u(24, 8), h.u(32, 8), h.u(48, 8)}
                           : Area{h.u(16, 4), h.u(20, 4), h.u(32, 4)});
    } else {
      if (h.u(0, 4) != kSegmentNote) continue;
      areas.push_back(is64 ? Area{h.u(8, 8), h.u(32, 8), h.u(48, 8)}
                           : Area{h.u(4, 4), h.u(16, 4), h.u(28, 4)});
    }
  }
  return areas;
}

// The package note's JSON text, or nothing when the file holds no readable one.
std::optional<std::string> readPackageNote(const std::string& path) {
  File file(path);
  auto ident = file.read(0, 64);
  if (!ident) ident = file.read(0, 52);  // the size of an ELF32 header
  if (!ident || ident->compare(0, 4,
                               "\x7f"
                               "ELF") != 0)
    return std::nullopt;
  const unsigned char cls = (*ident)[4], data = (*ident)[5];
  if ((cls != 1 && cls != 2) || (data != 1 && data != 2)) return std::nullopt;
  const bool is64 = cls == 2, big = data == 2;
  if (is64 && ident->size() < 64) return std::nullopt;
  Fields e(*ident, big);

  // Sections first (they name each note exactly), then segments for files without section headers.
  std::vector<Area> areas = is64 ? noteAreas(file, true, big, e.u(40, 8), e.u(58, 2), e.u(60, 2), true)
                                 : noteAreas(file, false, big, e.u(32, 4), e.u(46, 2), e.u(48, 2), true);
  std::vector<Area> segments = is64 ? noteAreas(file, true, big, e.u(32, 8), e.u(54, 2), e.u(56, 2), false)
                                    : noteAreas(file, false, big, e.u(28, 4), e.u(42, 2), e.u(44, 2), false);
  areas.insert(areas.end(), segments.begin(), segments.end());

  for (const Area& a : areas) {
    if (a.size == 0 || a.size > kMaxNoteArea) continue;
    auto bytes = file.read(a.offset, a.size);
    if (!bytes) continue;
    if (auto note = findPackageNote(*bytes, big, a.align)) return note;
  }
  return std::nullopt;
}

}  // namespace

std::string fileVersion(const std::string& path) {
  auto note = readPackageNote(path);
  if (!note) return kUnreadable;
  // A note is one flat object of three short texts; anything far beyond that is not one.
  JsonParseResult parsed = parseJsonBounded(*note, {.maxDepth = 16, .maxCost = 4 << 20});
  const nlohmann::json& json = parsed.value;
  if (parsed.outcome != JsonParseOutcome::Ok || !json.is_object()) return kUnreadable;
  auto it = json.find("version");
  return it != json.end() && it->is_string() ? it->get<std::string>() : "";
}

std::string ownVersion() {
  // /proc/self/exe is the running image even when its file has since been replaced or removed.
  static const std::string version = fileVersion("/proc/self/exe");
  return version;
}

}  // namespace kn
