#include "KNNameValueList.h"

#include "KNException.h"
#include "KNLib.h"
#include "KNTextCodec.h"

namespace kn {
namespace {

bool hasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

void TNameValueList::loadFromFile(const std::string& path) {
  loadFromText(decodeText(readFileBytes(path, kMaxFileBytes)));
}

void TNameValueList::loadFromText(std::string_view text) { lines_ = splitLines(text); }

int TNameValueList::indexOfName(std::string_view name) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string_view line = lines_[i];
    size_t eq = line.find('=');
    if (eq != std::string_view::npos && sameTextIgnoringCase(line.substr(0, eq), name))
      return static_cast<int>(i);
  }
  return -1;
}

std::string TNameValueList::value(std::string_view name) const {
  int i = indexOfName(name);
  return i < 0 ? std::string() : valueAt(i);
}

const std::string& TNameValueList::at(int i) const {
  if (i < 0 || i >= size()) throw Exception("List index out of bounds (" + std::to_string(i) + ")");
  return lines_[static_cast<size_t>(i)];
}

std::string TNameValueList::name(int i) const {
  const std::string& l = at(i);
  size_t eq = l.find('=');
  return eq == std::string::npos ? std::string() : l.substr(0, eq);
}

std::string TNameValueList::valueAt(int i) const {
  const std::string& l = at(i);
  size_t eq = l.find('=');
  return eq == std::string::npos ? std::string() : l.substr(eq + 1);
}

const std::string& TNameValueList::line(int i) const { return at(i); }

void TNameValueList::add(std::string line) {
  if (hasLineBreak(line)) throw Exception("A list line cannot hold a line break");
  lines_.push_back(std::move(line));
}

void TNameValueList::setValue(std::string_view name, std::string_view value) {
  if (name.empty() || name.find('=') != std::string_view::npos || hasLineBreak(name))
    throw Exception("Invalid list name \"" + std::string(name) + "\"");
  if (hasLineBreak(value))
    throw Exception("The value of \"" + std::string(name) + "\" cannot hold a line break");
  std::string line = std::string(name) + "=" + std::string(value);
  int i = indexOfName(name);
  if (i < 0) {
    lines_.push_back(std::move(line));
  } else {
    lines_[static_cast<size_t>(i)] = std::move(line);
  }
}

std::string TNameValueList::text() const {
  size_t total = 0;
  for (const auto& l : lines_) total += l.size() + 2;
  std::string out;
  out.reserve(total);
  for (const auto& l : lines_) {
    out += l;
    out += "\r\n";
  }
  return out;
}

}  // namespace kn
