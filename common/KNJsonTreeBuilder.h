// The value of a JSON text built from nlohmann's SAX events, as its own parser builds it (a repeated
// member name keeps its last value). The readers that need more than the parser gives (a depth limit,
// the written kind of each number) derive from it and add only that.
//
// The builder also keeps an estimate of the heap memory the value takes (cost()), added up value by
// value as each is placed, and stops building once it passes `maxCost`: a text of millions of tiny
// values ("{},{},..."), three bytes each, would otherwise take about thirty times its size. The
// estimate counts glibc's blocks for what each value allocates (an object's map, an array's vector,
// a long string's characters), an object member's tree node, and twice sizeof(json) per array
// element (a vector holds up to twice its size while it grows). An earlier value of a repeated
// member name stays counted. The estimate never falls below the heap the value takes: 1.0 to 1.15
// times it, 2 times for arrays of numbers (BM_CostEstimate in bench/rpc_reply_bench.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kn {

class JsonTreeBuilder : public nlohmann::json_sax<nlohmann::json> {
 public:
  using json = nlohmann::json;

  explicit JsonTreeBuilder(json& root, std::size_t maxCost = SIZE_MAX) : root_(root), maxCost_(maxCost) {}

  // The estimated heap bytes of the value built so far.
  std::size_t cost() const { return cost_; }
  // True once cost() passed maxCost: every event after that one returned false.
  bool overBudget() const { return cost_ > maxCost_; }

  // glibc's block for a request of `n` bytes on a 64-bit system: 8 bytes of header, 16-byte steps,
  // at least 32.
  static constexpr std::size_t heapBlock(std::size_t n) { return n + 8 <= 32 ? 32 : (n + 8 + 15) / 16 * 16; }

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
    json* at = &root_;
    if (open_.empty()) {
      root_ = std::move(v);
    } else if (json* top = open_.back(); top->is_array()) {
      top->push_back(std::move(v));
      at = &top->back();
      cost_ += 2 * sizeof(json);
    } else {
      std::size_t members = top->size();
      std::size_t keyCost = textCost(key_);
      json& slot = (*top)[std::move(key_)];
      if (top->size() > members)
        cost_ += heapBlock(kTreeNodeLinks + sizeof(json::object_t::value_type)) + keyCost;
      replacing(slot);
      slot = std::move(v);
      at = &slot;
    }
    cost_ += ownCost(*at);
    return at;
  }
  bool put(json v) {
    place(std::move(v));
    return !overBudget();
  }
  // An open container is the last element of its parent until it closes, so its address holds.
  virtual bool open(json v) {
    open_.push_back(place(std::move(v)));
    return !overBudget();
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
  // A std::map node: colour and three links before the member itself.
  static constexpr std::size_t kTreeNodeLinks = 4 * sizeof(void*);

  // The characters of a string that outgrew its own bytes (the short-string buffer).
  static std::size_t textCost(const std::string& s) {
    return s.capacity() > std::string().capacity() ? heapBlock(s.capacity() + 1) : 0;
  }
  // What `v` allocates beyond its own sizeof(json) bytes.
  static std::size_t ownCost(const json& v) {
    switch (v.type()) {
      case json::value_t::object:
        return heapBlock(sizeof(json::object_t));
      case json::value_t::array:
        return heapBlock(sizeof(json::array_t));
      case json::value_t::string:
        return heapBlock(sizeof(json::string_t)) + textCost(v.get_ref<const json::string_t&>());
      case json::value_t::binary:
        return heapBlock(sizeof(json::binary_t)) + heapBlock(v.get_binary().capacity());
      default:
        return 0;
    }
  }

  json& root_;
  std::vector<json*> open_;
  std::string key_;
  std::size_t cost_ = 0;
  std::size_t maxCost_;
};

}  // namespace kn
