#include "KNJsonKinds.h"

#include <cmath>
#include <string>
#include <vector>

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

// Builds the value as nlohmann's own parser would (a repeated member name keeps its last value)
// and notes the written kind of every floating number by its address, in constant time per value.
// Object members never move (the map's nodes stay put), so they are noted at once; array elements
// move while their array grows, so they are noted when the array closes. A closed container's
// elements stay where they are even when the container itself is moved into its parent.
class KindRecorder : public nlohmann::json_sax<json> {
 public:
  KindRecorder(json& root, std::unordered_map<const json*, JsonNumberKind>& kinds)
      : root_(root), kinds_(kinds) {}

  bool null() override { return put(nullptr); }
  bool boolean(bool v) override { return put(v); }
  bool number_integer(number_integer_t v) override { return put(v); }
  bool number_unsigned(number_unsigned_t v) override { return put(v); }
  bool number_float(number_float_t v, const string_t& text) override {
    JsonNumberKind kind = kindOfFloat(text, v);
    if (!levels_.empty() && levels_.back().container->is_array()) {
      Level& top = levels_.back();
      top.floats.emplace_back(top.container->size(), kind);
      place(v);
    } else {
      kinds_[place(v)] = kind;
    }
    return true;
  }
  bool string(string_t& v) override { return put(std::move(v)); }
  bool binary(binary_t& v) override { return put(json::binary(std::move(v))); }
  bool start_object(std::size_t) override { return open(json::object()); }
  bool key(string_t& k) override {
    key_ = std::move(k);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(json::array()); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    if (e.id >= 400 && e.id < 500) throw static_cast<const json::out_of_range&>(e);
    throw static_cast<const json::parse_error&>(e);
  }

 private:
  struct Level {
    json* container;
    std::vector<std::pair<std::size_t, JsonNumberKind>> floats;  // arrays: by element index
  };

  json* place(json v) {
    if (levels_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    json* top = levels_.back().container;
    if (top->is_array()) {
      top->push_back(std::move(v));
      return &top->back();
    }
    json& slot = (*top)[std::move(key_)];
    kinds_.erase(&slot);  // a repeated name: the earlier value's kind goes with it
    slot = std::move(v);
    return &slot;
  }
  bool put(json v) {
    place(std::move(v));
    return true;
  }
  // A container stays the last element of its parent while it is open, so its address holds.
  bool open(json v) {
    levels_.push_back({place(std::move(v)), {}});
    return true;
  }
  bool close() {
    Level& top = levels_.back();
    for (const auto& [index, kind] : top.floats) kinds_[&(*top.container)[index]] = kind;
    levels_.pop_back();
    return true;
  }

  json& root_;
  std::unordered_map<const json*, JsonNumberKind>& kinds_;
  std::vector<Level> levels_;
  std::string key_;
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
