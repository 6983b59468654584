// Small text-file, string, number and date-time chores that both programs rely on, with exact
// behaviour: other units store and compare what these functions produce.
//
// Every function is stateless and may be called from any thread. Failures are exceptions derived
// from kn::Exception with an English message; operating-system errors are translated in one place
// (throwOSError, KNOs.h), so every caller sees the same shape: `<what>. <system message>`.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "KNException.h"
#include "KNOs.h"

namespace kn {

// A value that cannot be converted (an impossible date, a date-time out of range).
KN_DECLARE_EXCEPTION(EConvertError, Exception);

// The English text of an errno value, whatever the process's locale (os().errorText).
std::string errnoText(int err);

// ---- Text files and strings -------------------------------------------------------------------

// The lines of `text`, split at CR LF, CR or LF. A final line break does not begin another line:
// "a\r\n" and "a" both give {"a"}; "" gives no line at all.
std::vector<std::string> splitLines(std::string_view text);

// The whole of a regular file as bytes, unconverted (os().readFile): anything but a regular file
// (a FIFO, a device, a folder) throws EOSError "... It is not a regular file" without waiting on it,
// as does a file of more than `maxBytes` bytes or one that cannot be read.
std::string readFileBytes(const std::string& fileName, size_t maxBytes = SIZE_MAX);

// The file's text: decoded by its byte-order mark (UTF-8, UTF-16LE/BE; none = UTF-8), split into
// lines and joined again with CR LF after every line. Throws EOSError when it cannot be read.
std::string readTextFile(const std::string& fileName);

// Replaces the file with the lines of `text`, each ended by CR LF. The file is written whole or
// not at all (temporary file beside it, flushed, renamed over it); an existing file keeps its
// permission bits, a new one is 0644. Throws EOSError when it cannot be written; the old file then stays as
// it was.
void writeTextFile(const std::string& fileName, std::string_view text);

// ASCII letter case: whether `a` and `b` are the same text without regard to the case of A-Z, and
// `text` with A-Z made a-z. Bytes outside ASCII compare and stay as they are.
bool sameTextIgnoringCase(std::string_view a, std::string_view b);
std::string lowerAscii(std::string_view text);

// Whether `url` names a server: http:// or https:// (any letter case), at most 2,000 characters,
// without blanks or control characters.
bool isServerUrl(std::string_view url);

// `text` with every occurrence of `find` replaced, left to right, without overlap, never
// rescanning a replacement; case-sensitive. An empty `find` leaves the text unchanged.
std::string replaceAll(std::string_view text, std::string_view find, std::string_view replacement);

// The integer at the start of `text`: spaces skipped, an optional sign, then decimal digits, or
// hexadecimal digits after "$", "x", "X", "0x" or "0X". Reading stops at the first character that
// does not fit; the value read so far is returned (0 for an empty or non-numeric text). A value
// beyond the range of int is held at INT_MIN or INT_MAX.
int valInt(std::string_view text);

// `value` in decimal, padded with zeros in front to `width` characters; the sign of a negative
// value stays in front ("-07" for -7 in width 3). Never cut when longer than `width`.
std::string zeroPad(long long value, int width);

// `value` rounded to `decimals` digits with thousands grouped: commaStyle gives "1.234,50",
// otherwise "1 234.50". Zero, NaN and infinities give "". `decimals` is held within 0..20.
std::string formatNumber(int decimals, bool commaStyle, double value);

// Adds to `list` the files matching `pattern` ("<folder>/<mask>", mask with "*" and "?"; "*.*"
// matches every name). A matching subfolder is searched recursively with "*.*", depth first, in
// the order the system lists entries; symbolic links to folders are listed, never followed.
// Entries are the folder path plus the name with `fullPaths`, else bare names. A missing folder
// adds nothing; any other failure throws EOSError.
void listFiles(const std::string& pattern, std::vector<std::string>& list, bool fullPaths = true);

// ---- Date-time value -------------------------------------------------------------------------

// Days since 1899-12-30 00:00, the fraction being the time of day; local wall-clock time.
// 25569.0 is 1970-01-01. Before 1899-12-30 the time of day counts away from zero (-1.25 is
// 1899-12-29 06:00), as the value has always been stored.
using TDateTime = double;

constexpr TDateTime kUnixEpochDateTime = 25569.0;

struct DateTimeParts {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int dayOfWeek = 0;  // 0 = Sunday (ignored by encoding)
};

// The date-time of a calendar date and time of day. Throws EConvertError naming the first field
// outside its range (year 1..9999, month 1..12, day within the month, hour 0..23, minute and
// second 0..59, millisecond 0..999).
TDateTime encodeDateTimeParts(int year, int month, int day, int hour, int minute, int second,
                              int millisecond);

// The calendar fields of `x`, to the nearest millisecond. Throws EConvertError for a value that
// is not finite or lies outside years 1..9999.
DateTimeParts decodeDateTimeParts(TDateTime x);

// The local calendar fields of `t` (localtime semantics, safe from any thread); false when the
// system cannot represent it. The platform's half lives with the clock (KNClock<Platform>.cpp).
bool localCalendar(std::time_t t, std::tm& out);

// The current local date-time, to the millisecond.
TDateTime nowDateTime();
// The local date-time of a calendar time (localtime semantics).
TDateTime toDateTime(std::time_t t);
// The calendar time of a local date-time (mktime semantics: a wall-clock time that falls in a
// daylight-saving gap or overlap is resolved as mktime does). Milliseconds are dropped.
std::time_t fromDateTime(TDateTime x);

}  // namespace kn
