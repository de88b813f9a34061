#include "store/velder_path.h"

#include <fmt/format.h>

#include <cmath>

namespace VelderPath {

namespace {

using nlohmann::json;

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// Reads an index segment (first byte a digit). Digits are accumulated only up
// to the limit, so a segment of any length can neither overflow nor throw.
bool ParseIndex(std::string_view segment, uint32_t& index) {
  uint32_t value = 0;
  for (char c : segment) {
    if (!IsAsciiDigit(c)) return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > kMaxIndex) return false;
  }
  index = value;
  return true;
}

// A stored value of the target may be replaced by `value`: both of one JSON
// type (all numbers count as one), a null on either side, or an empty object.
bool CanReplace(const json& target, const json& value) {
  if (target.type() == value.type()) return true;
  if (target.is_number() && value.is_number()) return true;
  if (target.is_null() || value.is_null()) return true;
  return target.is_object() && target.empty();
}

bool IsValidValueBelow(const json& value, size_t depthLeft) {
  switch (value.type()) {
    case json::value_t::null:
    case json::value_t::discarded:
    case json::value_t::binary:
      return false;
    case json::value_t::object:
      if (depthLeft == 0) return false;
      for (const auto& [name, member] : value.get_ref<const json::object_t&>()) {
        if (!IsValidKey(name) || !IsValidValueBelow(member, depthLeft - 1)) return false;
      }
      return true;
    case json::value_t::array:
      if (depthLeft == 0 || value.size() > kMaxArraySize) return false;
      for (const json& element : value) {
        if (!IsValidValueBelow(element, depthLeft - 1)) return false;
      }
      return true;
    case json::value_t::number_float:
      // Not a JSON number: it would be written to the hive file as null.
      return std::isfinite(value.get<double>());
    default:
      return true;
  }
}

template <typename Json>
Json* FindChildImpl(const Element& element, Json& node) {
  if (element.kind == Element::Key) {
    if (!node.is_object()) return nullptr;
    auto it = node.find(element.key);
    return it == node.end() ? nullptr : &*it;
  }
  if (element.kind == Element::Index) {
    if (!node.is_array() || element.index >= node.size()) return nullptr;
    return &node[element.index];
  }
  return nullptr;
}

template <typename Json>
Json* FindImpl(const Path& path, Json& document) {
  Json* node = &document;
  for (const Element& element : path) {
    node = FindChildImpl(element, *node);
    if (node == nullptr) return nullptr;
  }
  return node;
}

}  // namespace

bool IsValidKey(std::string_view text) {
  if (text.empty() || !IsAsciiLetter(text.front())) return false;
  for (char c : text.substr(1)) {
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '_' && c != '-') return false;
  }
  return true;
}

bool AppendSegment(Path& path, std::string_view segment) {
  if (segment.empty()) return false;
  if (IsAsciiDigit(segment.front())) {
    uint32_t index = 0;
    if (!ParseIndex(segment, index)) return false;
    path.push_back(Element::MakeIndex(index));
    return true;
  }
  if (!IsValidKey(segment)) return false;
  path.push_back(Element::MakeKey(std::string(segment)));
  return true;
}

bool Parse(std::string_view text, Path& path) {
  if (text.empty()) return true;
  const size_t original = path.size();
  size_t added = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    const std::string_view segment = text.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (++added > kMaxDepth || !AppendSegment(path, segment)) {
      while (path.size() > original) path.pop_back();
      return false;
    }
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

std::string ToString(const Path& path) {
  std::string text;
  bool first = true;
  for (const Element& element : path) {
    if (!first) text += '.';
    first = false;
    if (element.kind == Element::Key) {
      text += element.key;
    } else {
      text += fmt::format_int(element.index).c_str();
    }
  }
  return text;
}

bool StartsWith(const Path& path, const Path& prefix) {
  if (prefix.size() > path.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (!(path[i] == prefix[i])) return false;
  }
  return true;
}

Path SubPath(const Path& path, size_t first, size_t count) {
  Path result;
  for (size_t i = first; i < path.size() && i - first < count; ++i) result.push_back(path[i]);
  return result;
}

bool Walk(const Path& path, VelderPathWalker& walker) {
  for (const Element& element : path) {
    if (!walker.CanContinue()) return false;
    const bool stepped = element.kind == Element::Index ? walker.OnIndex(element.index) : walker.OnKey(element.key);
    if (!stepped) return false;
  }
  return true;
}

const json* FindChild(const Element& element, const json& node) { return FindChildImpl(element, node); }
json* FindChild(const Element& element, json& node) { return FindChildImpl(element, node); }
const json* Find(const Path& path, const json& document) { return FindImpl(path, document); }
json* Find(const Path& path, json& document) { return FindImpl(path, document); }

bool SetAt(const Path& path, json& document, const json& value, bool& typeMismatch) {
  typeMismatch = false;
  json* node = &document;
  size_t i = 0;
  for (; i < path.size(); ++i) {
    json* child = FindChild(path[i], *node);
    if (child == nullptr) break;
    node = child;
  }
  if (i == path.size()) {
    if (!CanReplace(*node, value)) {
      typeMismatch = true;
      return false;
    }
    *node = value;
    return true;
  }

  // Members are created from path[i] on. Decide first whether that can
  // succeed, so that a refused write leaves no half-built members behind.
  for (size_t j = i; j < path.size(); ++j) {
    if (path[j].kind != Element::Key) return false;  // arrays are never extended
  }
  if (node->is_array()) return false;
  if (!node->is_null() && !node->is_object()) {
    // A key below a string, number or boolean.
    typeMismatch = true;
    return false;
  }
  for (; i < path.size(); ++i) {
    if (node->is_null()) *node = json::object();
    node = &node->emplace(path[i].key, nullptr).first.value();
  }
  *node = value;
  return true;
}

bool EraseAt(const Path& path, json& document) {
  if (path.empty()) return false;
  json* parent = document.is_null() ? nullptr : &document;
  for (size_t i = 0; parent != nullptr && i + 1 < path.size(); ++i) parent = FindChild(path[i], *parent);
  if (parent == nullptr) return false;
  const Element& last = path.back();
  if (last.kind == Element::Key) {
    return parent->is_object() && parent->erase(last.key) > 0;
  }
  if (last.kind == Element::Index && parent->is_array() && last.index < parent->size()) {
    parent->erase(last.index);
    return true;
  }
  return false;
}

bool IsValidValue(const json& value) { return IsValidValueBelow(value, kMaxDepth); }

bool IsWithinDepth(const json& value, size_t maxDepth) {
  if (!value.is_structured()) return true;
  if (maxDepth == 0) return false;
  for (const json& child : value) {
    if (!IsWithinDepth(child, maxDepth - 1)) return false;
  }
  return true;
}

bool NestsDeeperThan(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

}  // namespace VelderPath
