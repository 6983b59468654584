// Conversions between JSON and in-memory tables, and the date texts used on the wire. They belong
// to the RPC channel's contract (TExtChannel carries members of the same names) but touch no
// connection, so they are free functions here. `owner` is the channel the log lines name
// ("[TExtChannel @...]"); it may be null.
//
// Stateless apart from the tables passed in; any thread may call them on tables of its own.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "KNJsonKinds.h"
#include "KNLib.h"
#include "KNMemTable.h"

namespace kn {

// A new open table with one record per element of `a`, a JSON array of flat objects (null counts
// as no array). Columns are inferred from the members in element order: a name seen once with
// text stays a string column sized to its longest text; otherwise the last non-null value decides
// boolean, currency, float or integer; text that reads as a number counts as that number. Names
// are compared without regard to ASCII case; the first spelling names the column. A column "id"
// gets the primary, unique index "PrimaryKey", which also orders the records. `source`, when
// given, is the document `a` was parsed from and tells currency from floating-point numbers by
// their text (see KNJsonKinds.h). Logs the inferred columns ("Fields: ...") and every text taken
// as currency. Throws EConvertError when `a` is not an array, ETableError on a duplicate id.
std::unique_ptr<TKNMemTable> createMTFromArray(const nlohmann::json& a, const void* owner,
                                               const JsonDocument* source = nullptr);

// Replaces the records of the open table `mt` with one per element of `a` and moves to the first
// record. A null `a` only empties the table (and logs so); an empty array empties it silently.
// On failure the record being appended is dropped; the records before it stay.
void copyArrayToMT(const nlohmann::json& a, TKNMemTable& mt, const void* owner);

// Fills every field of the record being appended to `mt` from the member of `rec` with the
// field's name (the exact name first, else one differing only in ASCII case). Missing or
// unreadable numbers give 0; missing text gives ""; dates go through strToDateField and
// strToDateTimeField; boolean and float fields take the member's boolean or numeric value and
// are null without one. A number beyond its field's range throws EConvertError.
void copySuperObjectToMTRecord(const nlohmann::json& rec, TKNMemTable& mt, const void* owner);

// The current record of `ds` as a new JSON object, one member per field: integers as integers,
// currency as a number, dates and date-times (only when greater than 1.0) as dateToStr and
// dateTimeToStr texts, large integers and every other type as the field's text.
nlohmann::json DatasetRecordToSuperobject(const TKNMemTable& ds);

// Always throws kn::Exception "TExtChannel.DatasetToSuperObject not implemented".
[[noreturn]] nlohmann::json DatasetToSuperObject(const TKNMemTable& ds);

// "2022-02-22 14:47:24" and "2022-02-22". Throw EConvertError for a value outside years 1..9999.
std::string dateTimeToStr(TDateTime d);
std::string dateToStr(TDateTime d);

// The date of "yyyy?mm?dd..." (positions 1-4, 6-7, 9-10, read with valInt), or -1.0 when they
// do not form a date.
TDateTime strToDate(std::string_view s);

// 0.0 for ""; for text with "-" or "/", the date as strToDate plus the time at positions 12-13,
// 15-16, 18-19, or -1.0 when either is invalid; any other text is a Unix timestamp in seconds
// (not a number reads as 0), taken as local wall-clock time from 1970-01-01 00:00 and logged,
// or -1.0 beyond year 9999.
TDateTime strToDateTime(std::string_view s, const void* owner);

// Store the converted value in `f` when it is greater than 0.0; otherwise clear `f` to null.
void strToDateField(std::string_view s, TKNField& f);
void strToDateTimeField(std::string_view s, TKNField& f, const void* owner);

}  // namespace kn
