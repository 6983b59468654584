#include "KNJsonKinds.h"

#include <cmath>
#include <string>
#include <vector>

#include "KNJsonTreeBuilder.h"

namespace kn {

namespace {

using json = nlohmann::json;

// The currency holds the amount times 10000 in 64 bits.
constexpr double kCurrencyLimit = 922337203685477.0;

JsonNumberKind kindOfFloat(std::string_view text, double value) {
  JsonNumberKind kind = numberKindOfText(text);
  if (kind == JsonNumberKind::Integer) return JsonNumberKind::Float;  // too large for 64 bits
  if (kind == JsonNumberKind::Currency && !(std::fabs(value) < kCurrencyLimit)) return JsonNumberKind::Float;
  return kind;
}

// Notes the written kind of every floating number by its address, in constant time per value.
// Object members never move (the map's nodes stay put), so they are noted at once; array elements
// move while their array grows, so they are noted when the array closes. A closed container's
// elements stay where they are even when the container itself is moved into its parent.
class KindRecorder : public JsonTreeBuilder {
 public:
  KindRecorder(json& root, std::unordered_map<const json*, JsonNumberKind>& kinds)
      : JsonTreeBuilder(root), kinds_(kinds) {}

  bool number_float(number_float_t v, const string_t& text) override {
    JsonNumberKind kind = kindOfFloat(text, v);
    if (depth() > 0 && innermost().is_array()) {
      arrayFloats_.back().emplace_back(innermost().size(), kind);
      place(v);
    } else {
      kinds_[place(v)] = kind;
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    if (e.id >= 400 && e.id < 500) throw static_cast<const json::out_of_range&>(e);
    throw static_cast<const json::parse_error&>(e);
  }

 private:
  bool open(json v) override {
    JsonTreeBuilder::open(std::move(v));
    arrayFloats_.emplace_back();
    return true;
  }
  bool close() override {
    for (const auto& [index, kind] : arrayFloats_.back()) kinds_[&innermost()[index]] = kind;
    arrayFloats_.pop_back();
    return JsonTreeBuilder::close();
  }
  void replacing(json& slot) override { kinds_.erase(&slot); }  // the earlier value's kind goes with it

  std::unordered_map<const json*, JsonNumberKind>& kinds_;
  // Per open container, for arrays: the floating numbers by element index.
  std::vector<std::vector<std::pair<std::size_t, JsonNumberKind>>> arrayFloats_;
};

}  // namespace

JsonNumberKind numberKindOfText(std::string_view text) {
  if (text.find_first_of("eE") != std::string_view::npos) return JsonNumberKind::Float;
  std::size_t point = text.find('.');
  if (point == std::string_view::npos) return JsonNumberKind::Integer;
  return text.size() - point - 1 <= 4 ? JsonNumberKind::Currency : JsonNumberKind::Float;
}

JsonNumberKind jsonNumberKind(const json& number) {
  if (!number.is_number_float()) return JsonNumberKind::Integer;
  double v = number.get<double>();
  if (!std::isfinite(v)) return JsonNumberKind::Float;
  return kindOfFloat(number.dump(), v);
}

JsonDocument::JsonDocument(std::string_view text) {
  KindRecorder recorder(value_, floatKinds_);
  json::sax_parse(text, &recorder);
}

JsonNumberKind JsonDocument::numberKind(const json& number) const {
  // An address noted for a value that a repeated member name later replaced may now hold
  // something else: only a floating number takes a noted kind.
  if (!number.is_number_float()) return jsonNumberKind(number);
  auto it = floatKinds_.find(&number);
  return it != floatKinds_.end() ? it->second : jsonNumberKind(number);
}

}  // namespace kn
