// An ordered list of "name=value" lines: the settings files beside the agent ("serviceApp.ini",
// "endpoint.ini", "PCID.ini"), the update server's answer and the configuration store's records.
//
// A line's name is the text before its first "=", its value everything after it; a line without
// "=" has no name and matches no lookup. Names match without regard to ASCII letter case, the
// first matching line wins, and nothing is trimmed. Any bytes are accepted, NUL included.
// Not thread-safe; copy it to share.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kn {

class TNameValueList {
 public:
  // Files larger than this are refused rather than read: no settings file comes near it.
  static constexpr size_t kMaxFileBytes = 16u << 20;

  // Replaces the lines with the file's. The text is decoded by its byte-order mark (UTF-8,
  // UTF-16LE/BE; none = UTF-8). Throws kn::EOSError naming the file when it cannot be read, is
  // not a regular file (a FIFO would block) or is larger than kMaxFileBytes; the list is then
  // unchanged. No line is read recursively; the whole is bounded by kMaxFileBytes.
  void loadFromFile(const std::string& path);
  // Replaces the lines with those of `text`, split at CR LF, CR or LF.
  void loadFromText(std::string_view text);

  // The value of the first line named `name`; "" when there is none.
  std::string value(std::string_view name) const;
  // The index of the first line named `name`; -1 when there is none.
  int indexOfName(std::string_view name) const;
  bool hasName(std::string_view name) const { return indexOfName(name) >= 0; }

  int size() const { return static_cast<int>(lines_.size()); }
  // The name, value and whole text of line `i`. A line without "=" has an empty name and value.
  // Throws kn::Exception for an index outside 0..size()-1.
  std::string name(int i) const;
  std::string valueAt(int i) const;
  const std::string& line(int i) const;

  // Appends one line. Throws kn::Exception when `line` holds a CR or LF, which would split it
  // into other lines when written out and read back.
  void add(std::string line);
  // Replaces the value of the first line named `name`, or appends "name=value". Throws
  // kn::Exception when `name` is empty or holds "=", CR or LF, or `value` holds CR or LF.
  void setValue(std::string_view name, std::string_view value);
  void clear() { lines_.clear(); }

  // The lines, each followed by CR LF.
  std::string text() const;

 private:
  const std::string& at(int i) const;
  std::vector<std::string> lines_;
};

}  // namespace kn
