// A JSON text as the channel reads a reply: JsonDocument keeps each number's kind, and an array of
// records becomes an in-memory table (columns inferred, "id" a unique index) whose records convert
// back to JSON objects; the same array is then copied into the table once more.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "FuzzSupport.h"
#include "KNException.h"
#include "KNJsonKinds.h"
#include "ext.tables.h"

namespace {

// Visits every number of `v` without recursion on the C++ stack.
void checkNumberKinds(const kn::JsonDocument& doc) {
  std::vector<const nlohmann::json*> todo{&doc.value()};
  while (!todo.empty()) {
    const nlohmann::json* v = todo.back();
    todo.pop_back();
    if (v->is_number()) {
      kn::JsonNumberKind kind = doc.numberKind(*v);
      if (v->is_number_integer()) KN_FUZZ_CHECK(kind == kn::JsonNumberKind::Integer);
    }
    if (v->is_structured())
      for (const auto& child : *v) todo.push_back(&child);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<kn::JsonDocument> doc;
  try {
    doc.emplace(kn::fuzz::asText(data, size));
  } catch (const nlohmann::json::exception&) {
    return 0;
  }
  checkNumberKinds(*doc);
  if (!doc->value().is_array() && !doc->value().is_null()) return 0;

  std::unique_ptr<kn::TKNMemTable> table;
  try {
    table = kn::createMTFromArray(doc->value(), nullptr, &*doc);
  } catch (const kn::Exception&) {
    return 0;  // not an array of flat records, or a duplicate id
  }
  KN_FUZZ_CHECK(table->isOpen());
  for (table->first(); !table->eof(); table->next()) {
    try {
      nlohmann::json record = kn::DatasetRecordToSuperobject(*table);
      KN_FUZZ_CHECK(record.is_object() && record.size() == table->fieldCount());
    } catch (const kn::Exception&) {
    }
  }
  try {
    kn::copyArrayToMT(doc->value(), *table, nullptr);
  } catch (const kn::Exception&) {
  }
  return 0;
}
