// Finds members of a JSON object by stepping forward through it, for loops
// that visit the names of another object in ascending order (the schema's
// "properties" against a value, or the reverse). Objects keep their members
// sorted by name, so a whole pass costs one walk through each instead of one
// search per name.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace Schema {

class MemberCursor {
 public:
  // `parent` may be null or no object: then nothing is ever found.
  explicit MemberCursor(const nlohmann::json* parent)
      : members_(parent != nullptr && parent->is_object()
                     ? &parent->get_ref<const nlohmann::json::object_t&>()
                     : nullptr) {
    if (members_ != nullptr) it_ = members_->begin();
  }

  // The member `name`, or null. Names must be asked for in ascending order.
  const nlohmann::json* Seek(const std::string& name) {
    if (members_ == nullptr) return nullptr;
    while (it_ != members_->end() && it_->first < name) ++it_;
    return it_ != members_->end() && it_->first == name ? &it_->second : nullptr;
  }

 private:
  const nlohmann::json::object_t* members_;
  nlohmann::json::object_t::const_iterator it_;
};

}  // namespace Schema
