// The one row builder of the instance provider: the instances of one class as its fill function
// makes them, every property checked against the class's declaration (InstanceClasses.h).
//
// A fill function adds a row per instance and sets the properties it knows, by name; a property it
// does not set stays null. Every text is cut to kMaxFactLength characters as it is set (FactText.h),
// and 64-bit integers are kept as decimal text, as WMI delivers them. Past the class's bound a row is
// still handed out but dropped, so a fill function needs no check of its own unless it reads files
// per instance (more()). Setting a property the class does not declare is a programming error
// (std::logic_error).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "FactText.h"
#include "InstanceClasses.h"

namespace kn {

// A value of a fill function as WMI delivers it: optionals empty are null, unsigned 64-bit numbers
// decimal text, other integers int64, lists of texts arrays.
template <typename T>
WmiValue valueOf(T&& value) {
  using V = std::decay_t<T>;
  if constexpr (std::is_same_v<V, bool> || std::is_same_v<V, WmiValue>) {
    return value;
  } else if constexpr (std::is_same_v<V, std::uint64_t>) {
    return std::to_string(value);
  } else if constexpr (std::is_integral_v<V>) {
    return static_cast<std::int64_t>(value);
  } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
    return std::forward<T>(value);
  } else if constexpr (requires { value.has_value(); }) {
    return value ? valueOf(*std::forward<T>(value)) : WmiValue();
  } else {
    return std::string(std::forward<T>(value));
  }
}

// The instances of one class under construction: every declared property starts null.
class Instances {
 public:
  explicit Instances(const ClassDef& def) : def_(def) {}

  class Row {
   public:
    Row(const ClassDef& def) : def_(&def), values_(def.properties.size()) {}
    // Sets a declared property; an empty optional leaves it null.
    // Every text is cut to kMaxFactLength characters as it is set (FactText.h).
    template <typename T>
    Row& set(std::string_view name, T&& value) {
      WmiValue v = valueOf(std::forward<T>(value));
      if (auto* text = std::get_if<std::string>(&v)) boundFact(*text);
      if (auto* list = std::get_if<std::vector<std::string>>(&v))
        for (std::string& text : *list) boundFact(text);
      const size_t i = index(name);
      // 64-bit integers travel as decimal text, as WMI delivers them.
      if (def_->properties[i].type == kCimUint64 || def_->properties[i].type == kCimSint64)
        if (const auto* n = std::get_if<std::int64_t>(&v)) v = std::to_string(*n);
      values_[i] = std::move(v);
      return *this;
    }

    WmiObject take() {
      WmiObject object;
      object.reserve(values_.size());
      for (size_t i = 0; i < values_.size(); ++i) {
        const PropertyDef& p = def_->properties[i];
        object.push_back({p.name, def_->name, std::move(values_[i]), p.type, p.isArray});
      }
      return object;
    }

   private:
    size_t index(std::string_view name) const {
      for (size_t i = 0; i < def_->properties.size(); ++i)
        if (name == def_->properties[i].name) return i;
      throw std::logic_error(std::string(def_->name) + " declares no property " + std::string(name));
    }
    const ClassDef* def_;
    std::vector<WmiValue> values_;
  };

  // A new instance; past the class's bound a row that is dropped (the bound is then hit()).
  Row& add() {
    if (more()) return rows_.emplace_back(def_);
    spare_.emplace(def_);
    return *spare_;
  }
  // Room for another instance; false once the class holds its bound, which is then hit(). A filler
  // that reads files per instance stops there.
  bool more() {
    if (rows_.size() < def_.maxInstances) return true;
    hit_ = true;
    return false;
  }
  bool hit() const { return hit_; }

  std::vector<WmiObject> take() {
    std::vector<WmiObject> out;
    out.reserve(rows_.size());
    for (Row& r : rows_) out.push_back(r.take());
    return out;
  }

 private:
  const ClassDef& def_;
  std::vector<Row> rows_;
  std::optional<Row> spare_;
  bool hit_ = false;
};

}  // namespace kn
