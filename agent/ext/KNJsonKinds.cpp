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

std::string escapePointerToken(std::string_view token) {
  std::string out;
  for (char c : token) {
    if (c == '~')
      out += "~0";
    else if (c == '/')
      out += "~1";
    else
      out += c;
  }
  return out;
}

// Builds the value as nlohmann's own parser would (a repeated member name keeps its last value)
// and notes the JSON pointer and written kind of every floating number. Pointers, not addresses,
// because array elements move while their array grows.
class KindRecorder : public nlohmann::json_sax<json> {
 public:
  explicit KindRecorder(json& root) : root_(root) {}

  std::unordered_map<std::string, JsonNumberKind> floats;  // by pointer; a later duplicate wins

  bool null() override { return put(nullptr); }
  bool boolean(bool v) override { return put(v); }
  bool number_integer(number_integer_t v) override { return put(v); }
  bool number_unsigned(number_unsigned_t v) override { return put(v); }
  bool number_float(number_float_t v, const string_t& text) override {
    floats[nextPointer()] = kindOfFloat(text, v);
    return put(v);
  }
  bool string(string_t& v) override { return put(std::move(v)); }
  bool binary(binary_t& v) override { return put(json::binary(std::move(v))); }
  bool start_object(std::size_t) override { return open(json::object()); }
  bool key(string_t& k) override {
    levels_.back().key = std::move(k);
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
    std::string pointer;  // of the container itself
    std::string key;      // of the member being read, in an object
  };

  std::string nextPointer() const {
    if (levels_.empty()) return "";
    const Level& top = levels_.back();
    return top.pointer + "/" +
           (top.container->is_array() ? std::to_string(top.container->size()) : escapePointerToken(top.key));
  }

  json* place(json v) {
    if (levels_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    Level& top = levels_.back();
    if (top.container->is_array()) {
      top.container->push_back(std::move(v));
      return &top.container->back();
    }
    json& slot = (*top.container)[top.key];
    slot = std::move(v);
    return &slot;
  }

  bool put(json v) {
    place(std::move(v));
    return true;
  }
  // A container stays the last element of its parent while it is open, so its address holds.
  bool open(json v) {
    std::string pointer = nextPointer();
    levels_.push_back({place(std::move(v)), std::move(pointer), {}});
    return true;
  }
  bool close() {
    levels_.pop_back();
    return true;
  }

  json& root_;
  std::vector<Level> levels_;
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
  KindRecorder recorder(value_);
  json::sax_parse(text, &recorder);
  for (const auto& [pointer, kind] : recorder.floats) {
    try {
      json::json_pointer p(pointer);
      if (!value_.contains(p)) continue;  // replaced by a later member of the same name
      const json& number = value_.at(p);
      if (number.is_number_float()) floatKinds_[&number] = kind;
    } catch (const json::exception&) {
      // The path now runs through a value of another shape; the number is gone.
    }
  }
}

JsonNumberKind JsonDocument::numberKind(const json& number) const {
  auto it = floatKinds_.find(&number);
  return it != floatKinds_.end() ? it->second : jsonNumberKind(number);
}

}  // namespace kn
