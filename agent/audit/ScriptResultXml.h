// A reader of the inventory script's XML result that never holds the document.
//
// The result of a large machine is a megabyte of XML; a parsed tree of it takes six times that. This
// reader goes through the text once, from a file in fixed-size blocks or from a string, and hands out
// one event at a time: an element starts, an element's text, an element ends. Each event's name and
// text are valid until the next call.
//
// It reads the XML the way the agent always has: whitespace before markup inside an element is no
// text, but text that follows whitespace keeps it; line ends in text become LF ("\r\n", "\n\r" and a
// lone "\r" are one LF each); the five named entities and numeric character references are resolved
// in text, an unknown entity stays as it is written, and a reference to character 0 ends the text
// of its run; CDATA text is taken as it is (line ends aside). Comments, declarations and "<!...>"
// are skipped; a declaration is allowed only before everything else. A NUL byte ends the input.
// Elements nest at most kMaxXmlDepth deep.
//
// The file may be UTF-8, with or without its byte-order mark, or UTF-16LE with its byte-order mark
// (as the file system object of a Windows script writes Unicode text); UTF-16 is turned into UTF-8
// block by block as it is read, a unit without its pair or a last odd byte becoming U+FFFD. A text
// given as a string is UTF-8.
//
// Failures: anything that is not well-formed (an element left open, a mismatched end tag, a broken
// attribute, no element at all, text after the last markup) throws EXMLError with the line it was
// found at; reading the file fails with EXMLError too. Not thread-safe; one reader per document.
#pragma once

#include <memory>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "KNException.h"
#include "KNOs.h"

namespace kn {

// The parser's message when the script result is not well-formed XML.
KN_DECLARE_EXCEPTION(EXMLError, Exception);

constexpr size_t kMaxXmlDepth = 98;  // open elements; one that ends at once "<a/>" may lie below

class XmlReader {
 public:
  enum class Event { Start, Text, End, Finish };

  // Reads the file `path` (a regular file) in blocks. Throws EXMLError when it cannot be opened.
  static XmlReader openFile(const std::string& path);
  // Reads `text`, which must outlive the reader.
  explicit XmlReader(std::string_view text);
  ~XmlReader();
  XmlReader(XmlReader&& other) noexcept;
  XmlReader& operator=(XmlReader&&) = delete;
  XmlReader(const XmlReader&) = delete;
  XmlReader& operator=(const XmlReader&) = delete;

  // The next event; Finish once the document is over (and for every call after that).
  Event next();
  // Start, End: the element's name. Text: the text (never empty).
  const std::string& name() const { return name_; }
  const std::string& text() const { return text_; }
  // The number of open elements, the one just started or ended included (a root element is 1).
  size_t depth() const { return depth_; }

 private:
  XmlReader() = default;
  // Input: `window_` holds the bytes not yet read; a file refills it from `buffer_`.
  int peek(size_t ahead = 0);
  bool consume(std::string_view literal);
  void skip(size_t count);
  bool refill(size_t need);
  size_t readBlock(char* out, size_t room);  // bytes of UTF-8 placed in `out`; 0 at the end
  size_t readUtf16(char* out, size_t room);
  // Markup and text.
  void skipWhitespace();
  std::string readName();
  bool readAttributes();  // true for "/>", false for ">"
  void skipPast(std::string_view end, const char* what);
  void readText(std::string&& leading);
  void readCdata();
  [[noreturn]] void fail(const std::string& what) const;

  std::unique_ptr<InputFile> file_;
  std::vector<char> buffer_;
  std::string_view window_;
  bool eof_ = false;
  bool utf16_ = false;       // the file is UTF-16LE; its byte-order mark is read
  std::string pendingUtf16_;  // bytes of a unit or of a pair that the last block cut
  int line_ = 1;

  std::vector<std::string> open_;  // names of the open elements
  std::string name_, text_;
  size_t depth_ = 0;
  bool pendingEnd_ = false;  // a "<name/>" whose end comes with the next call
  bool sawElement_ = false;  // any markup or text beside declarations
  bool sawAnything_ = false;
  bool finished_ = false;
};

}  // namespace kn
