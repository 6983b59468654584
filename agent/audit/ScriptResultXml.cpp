#include "ScriptResultXml.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "KNLib.h"
#include "KNOs.h"
#include "KNTextCodec.h"
#include "knLOG2.h"
#include "KNPath.h"

namespace kn {
namespace {

constexpr size_t kBlock = 64 * 1024;
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Bom = "\xFF\xFE";

bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isAlpha(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(int c) { return c >= '0' && c <= '9'; }
bool isNameStart(int c) { return c >= 0x80 || isAlpha(c) || c == ':' || c == '_'; }
bool isNameChar(int c) { return c >= 0 && (isNameStart(c) || isDigit(c) || c == '.' || c == '-'); }

// A referenced character that Unicode does not have (past U+10FFFF, or a surrogate) becomes U+FFFD,
// so that the text stays valid UTF-8.
void appendReferenced(std::string& out, std::uint64_t c) {
  appendUtf8(out, c > 0x10FFFF ? char32_t{0xFFFD} : static_cast<char32_t>(c));
}

// "&#65;" or "&#x41;" at raw[at]: the character's number and the position past the ';', or nothing
// when the reference is not one (it then stays as it is written). Digits are summed from the last
// one with the place value held at most at the largest code point, so leading zeros do no harm.
std::optional<std::pair<std::uint64_t, size_t>> characterReference(std::string_view raw, size_t at) {
  if (at + 2 >= raw.size() || raw[at + 1] != '#') return std::nullopt;
  const bool hex = raw[at + 2] == 'x';
  const size_t first = at + (hex ? 3 : 2);
  if (first >= raw.size()) return std::nullopt;
  const size_t semicolon = raw.find(';', first);
  if (semicolon == std::string_view::npos) return std::nullopt;
  std::uint64_t value = 0, place = 1;
  for (size_t i = semicolon; i-- > first;) {
    const char c = raw[i];
    unsigned digit = 0;
    if (isDigit(c))
      digit = static_cast<unsigned>(c - '0');
    else if (hex && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return std::nullopt;
    value += place * digit;
    place = std::min<std::uint64_t>(place * (hex ? 16 : 10), 0x10FFFF);
  }
  return std::pair{value, semicolon + 1};
}

// One run of text as it is written -> its value: line ends become LF, and with `entities` the
// references are resolved. A reference to character 0 ends the run's value.
std::string textValue(std::string_view raw, bool entities) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"quot;", '"'}, {"amp;", '&'}, {"apos;", '\''}, {"lt;", '<'}, {"gt;", '>'}};
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    const char c = raw[i];
    if (c == '\r' || c == '\n') {
      out += '\n';
      i += i + 1 < raw.size() && raw[i + 1] == (c == '\r' ? '\n' : '\r') ? 2 : 1;
      continue;
    }
    if (c == '&' && entities) {
      if (const auto ref = characterReference(raw, i)) {
        if (ref->first == 0) break;
        appendReferenced(out, ref->first);
        i = ref->second;
        continue;
      }
      const std::string_view rest = raw.substr(i + 1);
      const auto named = std::find_if(std::begin(kNamed), std::end(kNamed),
                                      [&](const auto& e) { return rest.starts_with(e.first); });
      if (named != std::end(kNamed)) {
        out += named->second;
        i += 1 + named->first.size();
        continue;
      }
    }
    out += c;
    ++i;
  }
  return out;
}

}  // namespace

XmlReader XmlReader::openFile(const std::string& path) {
  // Only a regular file is opened: a FIFO put in its place would wait for a writer for ever.
  std::error_code error;
  const auto status = std::filesystem::status(fsPath(path), error);
  if (error) throw EXMLError("Cannot open the script result " + path + ": " + os().errorText(error.value()));
  if (!std::filesystem::is_regular_file(status))
    throw EXMLError("The script result " + path + " is not a regular file");
  XmlReader reader;
  try {
    reader.file_ = os().openFile(path);  // refuses, without waiting, a FIFO put there since
  } catch (const EOSError& e) {
    throw EXMLError("Cannot open the script result " + path + ": " + e.what());
  }
  reader.buffer_.resize(kBlock);
  // The first two bytes tell UTF-16LE by its byte-order mark; any others are the text's beginning.
  size_t got = 0;
  try {
    while (got < 2) {
      const size_t n = reader.file_->read(reader.buffer_.data() + got, 2 - got);
      if (n == 0) break;
      got += n;
    }
  } catch (const EOSError& e) {
    throw EXMLError(std::string("Cannot read the script result: ") + e.what());
  }
  reader.utf16_ = got == 2 && std::string_view(reader.buffer_.data(), 2) == kUtf16Bom;
  if (reader.utf16_) got = 0;
  if (const void* nul = std::memchr(reader.buffer_.data(), '\0', got)) {
    got = static_cast<size_t>(static_cast<const char*>(nul) - reader.buffer_.data());
    reader.eof_ = true;  // a NUL byte ends the document
  }
  reader.window_ = std::string_view(reader.buffer_.data(), got);
  return reader;
}

XmlReader::XmlReader(std::string_view text) : window_(text.substr(0, text.find('\0'))), eof_(true) {}

XmlReader::XmlReader(XmlReader&& other) noexcept
    : file_(std::move(other.file_)),
      buffer_(std::move(other.buffer_)),  // the window keeps pointing into the same block
      window_(other.window_),
      eof_(other.eof_),
      utf16_(other.utf16_),
      pendingUtf16_(std::move(other.pendingUtf16_)),
      line_(other.line_),
      open_(std::move(other.open_)),
      name_(std::move(other.name_)),
      text_(std::move(other.text_)),
      depth_(other.depth_),
      pendingEnd_(other.pendingEnd_),
      sawElement_(other.sawElement_),
      sawAnything_(other.sawAnything_),
      finished_(other.finished_) {}

XmlReader::~XmlReader() = default;

bool XmlReader::refill(size_t need) {
  while (window_.size() < need && !eof_) {
    // Keep the unread bytes at the front of the buffer and read behind them.
    const size_t kept = window_.size();
    std::memmove(buffer_.data(), window_.data(), kept);
    size_t got = 0;
    try {
      got = readBlock(buffer_.data() + kept, buffer_.size() - kept);
    } catch (const EOSError& e) {
      throw EXMLError(std::string("Cannot read the script result: ") + e.what());
    }
    if (got == 0) eof_ = true;
    if (const void* nul = std::memchr(buffer_.data() + kept, '\0', got)) {
      got = static_cast<size_t>(static_cast<const char*>(nul) - (buffer_.data() + kept));
      eof_ = true;  // a NUL byte ends the document
    }
    window_ = std::string_view(buffer_.data(), kept + got);
  }
  return window_.size() >= need;
}

size_t XmlReader::readBlock(char* out, size_t room) {
  return utf16_ ? readUtf16(out, room) : file_->read(out, room);
}

size_t XmlReader::readUtf16(char* out, size_t room) {
  // A unit takes at most three bytes as UTF-8 (a pair of units four): `units` of them fit.
  const size_t units = room / 3;
  if (units < 2) return 0;
  std::string raw = std::move(pendingUtf16_);
  pendingUtf16_.clear();
  size_t have = raw.size();
  raw.resize(2 * units);
  for (;;) {
    const size_t got = file_->read(raw.data() + have, raw.size() - have);
    have += got;
    if (got == 0) {
      // The end: an odd last byte or a unit without its pair is decoded as U+FFFD.
      raw.resize(have);
      break;
    }
    // Whole units only, and a leading surrogate waits for the unit after it.
    size_t cut = have & ~size_t{1};
    if (cut >= 2 && (static_cast<unsigned char>(raw[cut - 1]) & 0xFC) == 0xD8) cut -= 2;
    if (cut > 0) {
      pendingUtf16_.assign(raw, cut, have - cut);
      raw.resize(cut);
      break;
    }
  }
  const std::string text = decodeUtf16LE(raw);
  std::memcpy(out, text.data(), text.size());
  return text.size();
}

int XmlReader::peek(size_t ahead) {
  if (window_.size() <= ahead && !refill(ahead + 1)) return -1;
  return static_cast<unsigned char>(window_[ahead]);
}

bool XmlReader::consume(std::string_view literal) {
  if (window_.size() < literal.size()) refill(literal.size());
  if (!window_.starts_with(literal)) return false;
  skip(literal.size());
  return true;
}

void XmlReader::skip(size_t count) {
  line_ += static_cast<int>(std::count(window_.begin(), window_.begin() + count, '\n'));
  window_.remove_prefix(count);
}

void XmlReader::skipWhitespace() {
  while (isSpace(peek())) skip(1);
}

[[noreturn]] void XmlReader::fail(const std::string& what) const {
  throw EXMLError("The script result is not well-formed XML: " + logSafe(what) + " at line " +
                  std::to_string(line_));
}

std::string XmlReader::readName() {
  std::string name;
  if (!isNameStart(peek())) return name;
  do {
    name += static_cast<char>(peek());
    skip(1);
  } while (isNameChar(peek()));
  return name;
}

bool XmlReader::readAttributes() {
  std::vector<std::string> names;
  for (;;) {
    skipWhitespace();
    const int c = peek();
    if (c == '>') {
      skip(1);
      return false;
    }
    if (c == '/' && peek(1) == '>') {
      skip(2);
      return true;
    }
    if (!isNameStart(c)) fail("a broken tag");
    std::string attribute = readName();
    skipWhitespace();
    if (!consume("=")) fail("attribute " + attribute + " without a value");
    skipWhitespace();
    const int quote = peek();
    if (quote != '"' && quote != '\'') fail("attribute " + attribute + " without quotes");
    skip(1);
    for (int v = peek(); v != quote; v = peek()) {
      if (v < 0) fail("attribute " + attribute + " is not closed");
      skip(1);
    }
    skip(1);
    if (std::find(names.begin(), names.end(), attribute) != names.end())
      fail("attribute " + attribute + " twice");
    names.push_back(std::move(attribute));
  }
}

void XmlReader::skipPast(std::string_view end, const char* what) {
  for (;;) {
    if (consume(end)) return;
    if (peek() < 0) fail(std::string(what) + " is not closed");
    skip(1);
  }
}

void XmlReader::readText(std::string&& leading) {
  std::string raw = std::move(leading);
  for (;;) {
    refill(1);
    if (window_.empty()) fail("text without markup after it");
    const size_t lt = window_.find('<');
    const size_t take = lt == std::string_view::npos ? window_.size() : lt;
    raw.append(window_.substr(0, take));
    skip(take);
    if (lt != std::string_view::npos) break;
  }
  text_ = open_.empty() ? std::string() : textValue(raw, true);
}

void XmlReader::readCdata() {
  std::string raw;
  for (;;) {
    if (consume("]]>")) break;
    refill(3);
    if (window_.empty()) fail("CDATA section is not closed");
    // Everything up to a ']' that may begin the end; at least one byte.
    const size_t bracket = window_.find(']', 1);
    const size_t take = bracket == std::string_view::npos ? window_.size() : bracket;
    raw.append(window_.substr(0, take));
    skip(take);
  }
  text_ = open_.empty() ? std::string() : textValue(raw, false);
}

XmlReader::Event XmlReader::next() {
  if (pendingEnd_) {
    pendingEnd_ = false;
    depth_ = open_.size() + 1;
    return Event::End;
  }
  if (finished_) return Event::Finish;
  if (!sawAnything_) {
    skipWhitespace();
    consume(kBom);
    if (peek() < 0) fail("an empty document");
    sawAnything_ = true;
  }
  for (;;) {
    std::string leading;
    if (open_.empty()) {
      skipWhitespace();
      if (peek() < 0) {
        finished_ = true;
        depth_ = 0;
        return Event::Finish;
      }
    } else {
      // Whitespace before markup is no text; before text it is part of it.
      while (isSpace(peek())) {
        leading += static_cast<char>(peek());
        skip(1);
      }
      if (peek() < 0) fail("element " + open_.back() + " is not closed");
    }
    if (peek() != '<') {
      sawElement_ = true;
      readText(std::move(leading));
      if (text_.empty()) continue;
      depth_ = open_.size();
      return Event::Text;
    }
    if (consume("<?")) {
      if (!open_.empty() || sawElement_) fail("a declaration after the document's beginning");
      skipPast("?>", "a declaration");
      continue;
    }
    sawElement_ = true;
    if (consume("<!--")) {
      skipPast("-->", "a comment");
      continue;
    }
    if (consume("<![CDATA[")) {
      readCdata();
      if (text_.empty()) continue;
      depth_ = open_.size();
      return Event::Text;
    }
    if (consume("<!")) {
      skipPast(">", "a markup declaration");
      continue;
    }
    skip(1);  // '<'
    skipWhitespace();
    const bool closing = consume("/");
    name_ = readName();
    if (name_.empty()) fail("a tag without a name");
    const bool empty = readAttributes();
    if (closing && !empty) {
      if (open_.empty()) {
        // An end tag outside every element ends the document; nothing after it is read.
        finished_ = true;
        depth_ = 0;
        return Event::Finish;
      }
      if (name_ != open_.back()) fail("end tag " + name_ + " for element " + open_.back());
      open_.pop_back();
      depth_ = open_.size() + 1;
      return Event::End;
    }
    // "<name/>" (and "</name/>", read the same way): an element that ends at once.
    if (empty) {
      pendingEnd_ = true;
      depth_ = open_.size() + 1;
      return Event::Start;
    }
    if (open_.size() >= kMaxXmlDepth)
      fail("elements nested more than " + std::to_string(kMaxXmlDepth) + " deep");
    open_.push_back(name_);
    depth_ = open_.size();
    return Event::Start;
  }
}

}  // namespace kn
