#include "KNLib.h"

#include "KNAtomicFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "KNTextCodec.h"

namespace kn {

std::string errnoText(int err) { return os().errorText(err); }

namespace {

// The lines of `text` (split at CR LF, CR or LF), each ended by CR LF.
std::string withCRLFLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 2);
  for (const std::string& line : splitLines(text)) {
    out += line;
    out += "\r\n";
  }
  return out;
}

}  // namespace

// ---- Text files and strings -------------------------------------------------------------------

std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

std::string readFileBytes(const std::string& fileName, size_t maxBytes) {
  return os().readFile(fileName, maxBytes);
}

std::string readTextFile(const std::string& fileName) {
  return withCRLFLineEnds(decodeText(readFileBytes(fileName)));
}

void writeTextFile(const std::string& fileName, std::string_view text) {
  writeFileAtomic(fileName, withCRLFLineEnds(text), 0644, ExistingMode::Keep);
}

bool sameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool isServerUrl(std::string_view url) {
  const std::string lower = lowerAscii(url.substr(0, 8));
  if (lower.rfind("http://", 0) != 0 && lower.rfind("https://", 0) != 0) return false;
  if (url.size() > 2000) return false;
  for (unsigned char c : url)
    if (c <= 0x20 || c == 0x7f) return false;
  return true;
}

std::string replaceAll(std::string_view text, std::string_view find, std::string_view replacement) {
  if (find.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (size_t hit; (hit = text.find(find, pos)) != std::string_view::npos; pos = hit + find.size()) {
    out.append(text.substr(pos, hit - pos));
    out.append(replacement);
  }
  out.append(text.substr(pos));
  return out;
}

int valInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16, ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16, i += 2;
  }
  constexpr long long kLimit = static_cast<long long>(INT_MAX) + 1;  // |INT_MIN|
  long long value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    value = std::min(value * base + digit, kLimit);
  }
  if (negative) return static_cast<int>(-value);
  return static_cast<int>(std::min<long long>(value, INT_MAX));
}

std::string zeroPad(long long value, int width) {
  std::string digits = std::to_string(value);
  bool negative = value < 0;
  size_t len = digits.size();
  if (width <= 0 || len >= static_cast<size_t>(width)) return digits;
  digits.insert(negative ? 1 : 0, static_cast<size_t>(width) - len, '0');
  return digits;
}

std::string formatNumber(int decimals, bool commaStyle, double value) {
  if (value == 0 || !std::isfinite(value)) return "";
  decimals = std::clamp(decimals, 0, 20);
  const char decimalSep = commaStyle ? ',' : '.';
  const char thousandsSep = commaStyle ? '.' : ' ';
  // to_chars always writes "." whatever the process's locale; only commaStyle picks separators.
  char buf[400];  // the largest double has 309 digits before the point
  auto written = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  std::string fixed(buf, written.ptr);
  if (decimals == 0) {
    fixed += decimalSep;
  } else {
    fixed[fixed.find('.')] = decimalSep;
  }
  // Built back to front: every third character before the decimal separator gets a group mark.
  std::string reversed;
  reversed.reserve(fixed.size() + fixed.size() / 3 + 1);
  int counter = -1;  // inactive until the decimal separator
  for (auto it = fixed.rbegin(); it != fixed.rend(); ++it) {
    reversed += *it;
    if (counter < 0) {
      if (*it == decimalSep) counter = 0;
    } else if (++counter == 3) {
      reversed += thousandsSep;
      counter = 0;
    }
  }
  std::string out(reversed.rbegin(), reversed.rend());
  if (decimals == 0) out.pop_back();
  if (!out.empty() && out[0] == thousandsSep) out.erase(0, 1);
  if (out.size() > 1 && out[0] == '-' && out[1] == thousandsSep) out.erase(1, 1);
  return out;
}

namespace {

// Whether `name` matches `mask`, where "*" stands for any run of characters and "?" for one; "*.*"
// matches every name, with or without a dot.
bool matchesMask(std::string_view mask, std::string_view name) {
  if (mask == "*.*") return true;
  size_t m = 0, n = 0, starAt = std::string_view::npos, resumeAt = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
      ++m, ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      starAt = m++, resumeAt = n;
    } else if (starAt != std::string_view::npos) {
      m = starAt + 1, n = ++resumeAt;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

void listFilesIn(const std::string& folder, const std::string& mask, std::vector<std::string>& list,
                 bool fullPaths) {
  for (const FolderEntry& entry : os().listFolder(folder.empty() ? "." : folder)) {
    if (!matchesMask(mask, entry.name)) continue;
    std::string path = folder + entry.name;
    if (entry.kind == EntryKind::Folder) {
      listFilesIn(path + "/", "*.*", list, fullPaths);
    } else {
      list.push_back(fullPaths ? path : entry.name);
    }
  }
}

}  // namespace

void listFiles(const std::string& pattern, std::vector<std::string>& list, bool fullPaths) {
  size_t slash = pattern.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
  std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  listFilesIn(folder, mask, list, fullPaths);
}

// ---- Date-time value -------------------------------------------------------------------------

namespace {

constexpr long long kMsPerDay = 86'400'000;

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
constexpr long long daysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  long long era = (y >= 0 ? y : y - 399) / 400;
  unsigned yoe = static_cast<unsigned>(y - era * 400);
  unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civilFromDays(long long z, int& y, int& m, int& d) {
  z += 719468;
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

constexpr long long kDateTimeEpoch = daysFromCivil(
    1899, 12,
    30);  // relative to 1970-01-01; fixed at compile time, so start-up code of other files may use dates

void checkRange(const char* field, int value, int low, int high) {
  if (value < low || value > high)
    throw EConvertError("Invalid date-time: " + std::string(field) + " " + std::to_string(value) +
                        " is outside " + std::to_string(low) + ".." + std::to_string(high));
}

}  // namespace

TDateTime encodeDateTimeParts(int year, int month, int day, int hour, int minute, int second,
                              int millisecond) {
  checkRange("year", year, 1, 9999);
  checkRange("month", month, 1, 12);
  checkRange("day", day, 1, daysInMonth(year, month));
  checkRange("hour", hour, 0, 23);
  checkRange("minute", minute, 0, 59);
  checkRange("second", second, 0, 59);
  checkRange("millisecond", millisecond, 0, 999);
  double days = static_cast<double>(daysFromCivil(year, month, day) - kDateTimeEpoch);
  double time = static_cast<double>(((hour * 60LL + minute) * 60 + second) * 1000 + millisecond) / kMsPerDay;
  return days >= 0 ? days + time : days - time;
}

DateTimeParts decodeDateTimeParts(TDateTime x) {
  // 1-01-01 is -693593, 9999-12-31 ends before 2958466.
  if (!std::isfinite(x) || x <= -693594.0 || x >= 2958466.0)
    throw EConvertError("Invalid date-time value " + std::to_string(x));
  long long ms = std::llround(std::fabs(x) * kMsPerDay);
  long long days = ms / kMsPerDay;
  long long msOfDay = ms % kMsPerDay;
  if (x < 0) days = -days;
  DateTimeParts p;
  long long unixDays = days + kDateTimeEpoch;
  civilFromDays(unixDays, p.year, p.month, p.day);
  if (p.year < 1 || p.year > 9999) throw EConvertError("Invalid date-time value " + std::to_string(x));
  p.hour = static_cast<int>(msOfDay / 3'600'000);
  p.minute = static_cast<int>(msOfDay / 60'000 % 60);
  p.second = static_cast<int>(msOfDay / 1000 % 60);
  p.millisecond = static_cast<int>(msOfDay % 1000);
  p.dayOfWeek = static_cast<int>(((unixDays % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  return p;
}

namespace {

TDateTime fromLocalTm(const std::tm& tm, int millisecond) {
  return encodeDateTimeParts(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                             std::min(tm.tm_sec, 59), millisecond);
}

}  // namespace

TDateTime nowDateTime() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0));
  std::tm tm{};
  localCalendar(secs, tm);
  return fromLocalTm(tm, static_cast<int>(((ms % 1000) + 1000) % 1000));
}

TDateTime toDateTime(std::time_t t) {
  std::tm tm{};
  if (!localCalendar(t, tm)) throw EConvertError("Invalid calendar time " + std::to_string(t));
  return fromLocalTm(tm, 0);
}

std::time_t fromDateTime(TDateTime x) {
  DateTimeParts p = decodeDateTimeParts(x);
  std::tm tm{};
  tm.tm_year = p.year - 1900;
  tm.tm_mon = p.month - 1;
  tm.tm_mday = p.day;
  tm.tm_hour = p.hour;
  tm.tm_min = p.minute;
  tm.tm_sec = p.second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

}  // namespace kn
