// The value of a JSON text built from nlohmann's SAX events, as its own parser builds it (a repeated
// member name keeps its last value). The readers that need more than the parser gives (a depth limit,
// the written kind of each number) derive from it and add only that.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kn {

class JsonTreeBuilder : public nlohmann::json_sax<nlohmann::json> {
 public:
  using json = nlohmann::json;

  explicit JsonTreeBuilder(json& root) : root_(root) {}

  bool null() override { return put(nullptr); }
  bool boolean(bool v) override { return put(v); }
  bool number_integer(number_integer_t v) override { return put(v); }
  bool number_unsigned(number_unsigned_t v) override { return put(v); }
  bool number_float(number_float_t v, const string_t&) override { return put(v); }
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

 protected:
  // Puts `v` where the parser stands: the root, the end of the open array, or the member of the open
  // object named by the last key. Returns where it now lies.
  json* place(json v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    json* top = open_.back();
    if (top->is_array()) {
      top->push_back(std::move(v));
      return &top->back();
    }
    json& slot = (*top)[std::move(key_)];
    replacing(slot);
    slot = std::move(v);
    return &slot;
  }
  bool put(json v) {
    place(std::move(v));
    return true;
  }
  // An open container is the last element of its parent until it closes, so its address holds.
  virtual bool open(json v) {
    open_.push_back(place(std::move(v)));
    return true;
  }
  virtual bool close() {
    open_.pop_back();
    return true;
  }
  // An object member is about to take a value: `slot` is new (null), or holds the value of an
  // earlier member of the same name.
  virtual void replacing(json& /*slot*/) {}

  std::size_t depth() const { return open_.size(); }
  // The innermost open container; only while depth() > 0.
  json& innermost() const { return *open_.back(); }

 private:
  json& root_;
  std::vector<json*> open_;
  std::string key_;
};

}  // namespace kn
