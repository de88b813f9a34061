// Where in a hive's documents a schema walk is, for messages: the path it
// started at, then one member or element step per level of recursion. Each
// step lives on the stack frame of the recursion that made it, so extending
// a location costs nothing; the path is spelled out only when a message
// names it. A location must not outlive the path, names and parents it
// refers to.
#pragma once

#include <string>
#include <vector>

#include "store/velder_path.h"

namespace Schema {

class Location {
 public:
  // The root of the document.
  Location() = default;
  explicit Location(const VelderPath::Path& start) : start_(&start) {}
  explicit Location(VelderPath::Path&&) = delete;  // would dangle
  // One step below `parent`: its member `key`, or its element `index`.
  Location(const Location& parent, const std::string& key) : parent_(&parent), key_(&key) {}
  Location(const Location& parent, std::string&&) = delete;  // would dangle
  Location(const Location& parent, size_t index) : parent_(&parent), index_(index) {}

  // As clients write paths ("a.b.3"); "" for the root.
  std::string ToString() const {
    std::vector<const Location*> steps;
    const Location* first = this;
    for (; first->parent_ != nullptr; first = first->parent_) steps.push_back(first);
    VelderPath::Path path;
    if (first->start_ != nullptr) path = *first->start_;
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
      const Location& step = **it;
      path.push_back(step.key_ != nullptr ? VelderPath::Element::MakeKey(*step.key_)
                                          : VelderPath::Element::MakeIndex(static_cast<uint32_t>(step.index_)));
    }
    return VelderPath::ToString(path);
  }

 private:
  const VelderPath::Path* start_ = nullptr;  // only on a location without parent
  const Location* parent_ = nullptr;
  const std::string* key_ = nullptr;  // a member step; otherwise an element step
  size_t index_ = 0;
};

}  // namespace Schema
