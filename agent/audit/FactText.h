// The bound on every text value the audit takes from the machine.
//
// A user of the machine controls much of what the audit reads (command lines, file names, comments
// of accounts, fields of packages), so every text value of the audit document is cut at
// kMaxFactLength characters: the longest command line Windows allows, so the platform never sees a
// value that a Windows machine could not have sent. Characters are counted as Windows counts them,
// in UTF-16 code units; a byte that is not UTF-8 counts as the U+FFFD it becomes in the document.
// The instance provider cuts each value as a row takes it, the engine each text it writes into the
// document, the inventory script each value it writes into its result (agent/audit/WMIMapping.md).
#pragma once

#include <cstddef>
#include <string>

#include "KNTextCodec.h"

namespace kn {

inline constexpr size_t kMaxFactLength = 32767;
// The most bytes that kMaxFactLength characters take as UTF-8 (three per character at most): a reader
// of a value may stop there.
inline constexpr size_t kMaxFactBytes = 3 * kMaxFactLength;

// Cuts `text` to kMaxFactLength characters, never inside a character. A text that needs no cut is
// left as it is; a cut one comes back as UTF-8, bytes that were not UTF-8 replaced by U+FFFD.
inline void boundFact(std::string& text) {
  if (text.size() > kMaxFactLength) text = cutToUtf16Units(text, kMaxFactLength);
}

}  // namespace kn
