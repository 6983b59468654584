// The one fixed-position text in which a local date-time is stored and reported:
// "yyyy/mm/dd hh:nn:ss" (19 characters; milliseconds never written). Stateless, any thread.
#pragma once

#include <string>
#include <string_view>

#include "KNLib.h"

namespace kn {

// The 19-character text of `x`, cut (not rounded) to whole seconds. Throws EConvertError for a
// value outside years 1..9999.
std::string dateTimeToText(TDateTime x);
// The same with another date separator ('-' gives "yyyy-mm-dd hh:nn:ss").
std::string dateTimeToText(TDateTime x, char dateSeparator);

// Reads the text by position: year 1-4, month 6-7, day 9-10, hour 12-13, minute 15-16, second
// 18-19 (counted from 1), each with valInt; a field past the end reads as 0. The characters
// between the fields are not examined, so any separators read back. Throws EConvertError when
// the fields do not form a possible date and time (an empty text among them).
TDateTime textToDateTime(std::string_view text);

}  // namespace kn
