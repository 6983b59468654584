#include "KNDateMath.h"

#include <cstdio>

namespace kn {

std::string dateTimeToText(TDateTime x, char dateSeparator) {
  DateTimeParts p = decodeDateTimeParts(x);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%c%02d%c%02d %02d:%02d:%02d", p.year, dateSeparator, p.month,
                dateSeparator, p.day, p.hour, p.minute, p.second);
  return buf;
}

std::string dateTimeToText(TDateTime x) { return dateTimeToText(x, '/'); }

TDateTime textToDateTime(std::string_view text) {
  // `from` counts from 1, as the stored form is described.
  auto field = [text](size_t from, size_t length) {
    return from - 1 < text.size() ? valInt(text.substr(from - 1, length)) : 0;
  };
  return encodeDateTimeParts(field(1, 4), field(6, 2), field(9, 2), field(12, 2), field(15, 2), field(18, 2),
                             0);
}

}  // namespace kn
