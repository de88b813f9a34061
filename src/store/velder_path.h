// Setting paths: the dotted texts ("a.b.3.c") that name a node of a hive's
// JSON documents by object keys and array indices.
//
// Grammar: the empty text is the root; otherwise segments separated by ".",
// none of them empty. A segment that begins with an ASCII digit is an index
// (digits only, at most 99999, leading zeros allowed); any other segment is a
// key: an ASCII letter followed by ASCII letters, digits, "_" or "-". There is
// no escape, so a key never contains ".".
//
// Everything here is a pure function of its arguments; paths are values and
// may be used from any thread as long as each thread has its own copy or only
// reads.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace VelderPath {

// The largest index a path may name, and the most elements an array that is
// stored may have.
inline constexpr uint32_t kMaxIndex = 99999;
inline constexpr size_t kMaxArraySize = 99999;

// How deep a client may reach: a parsed path has at most this many elements,
// and a value accepted by IsValidValue nests containers at most this deep.
// Documents are walked recursively in many places (copies, comparisons,
// serialisation, change detection), so a client must not be able to store a
// tree deep enough to exhaust a thread's stack.
inline constexpr size_t kMaxDepth = 128;

// One segment of a path.
struct Element {
  enum Kind : int32_t {
    Key = 1,
    Index = 2,
  };

  Kind kind = Key;
  std::string key;     // meaningful for Key
  uint32_t index = 0;  // meaningful for Index

  static Element MakeKey(std::string key) { return Element{Key, std::move(key), 0}; }
  static Element MakeIndex(uint32_t index) { return Element{Index, {}, index}; }

  // Kinds equal and, by kind, keys or indices equal.
  friend bool operator==(const Element& a, const Element& b) {
    if (a.kind != b.kind) return false;
    return a.kind == Key ? a.key == b.key : a.index == b.index;
  }
};

// A parsed path: elements from the root outwards. The empty path is the root.
// Copying a path copies its elements.
class Path {
 public:
  using const_iterator = std::vector<Element>::const_iterator;

  Path() = default;

  bool empty() const { return elements_.empty(); }
  size_t size() const { return elements_.size(); }
  const Element& operator[](size_t i) const { return elements_[i]; }
  const Element& front() const { return elements_.front(); }
  const Element& back() const { return elements_.back(); }
  const_iterator begin() const { return elements_.begin(); }
  const_iterator end() const { return elements_.end(); }

  void push_back(Element element) { elements_.push_back(std::move(element)); }
  void pop_back() { elements_.pop_back(); }
  void clear() { elements_.clear(); }
  void reserve(size_t n) { elements_.reserve(n); }

  friend bool operator==(const Path& a, const Path& b) { return a.elements_ == b.elements_; }

 private:
  std::vector<Element> elements_;
};

// A visitor that Walk leads along a path (the schema node is one).
class VelderPathWalker {
 public:
  virtual ~VelderPathWalker() = default;
  // Asked before each element; false ends the walk with failure.
  virtual bool CanContinue() = 0;
  // Steps into an array element.
  virtual bool OnIndex(uint32_t index) = 0;
  // Steps into an object member.
  virtual bool OnKey(const std::string& key) = 0;
};

// Appends the elements of `text` to `path`. False for an invalid text (or one
// of more than kMaxDepth elements); `path` is then left as it was.
bool Parse(std::string_view text, Path& path);

// Classifies one segment (index or key) and appends it; false, with nothing
// appended, when it is neither.
bool AppendSegment(Path& path, std::string_view segment);

// The key rule: an ASCII letter, then ASCII letters, digits, "_" or "-".
bool IsValidKey(std::string_view text);

// The elements joined by "."; indices in decimal without leading zeros. The
// root gives the empty text.
std::string ToString(const Path& path);

// True when `prefix` is empty or equals the first prefix.size() elements of
// `path`. A path starts with itself.
bool StartsWith(const Path& path, const Path& prefix);

// The elements from position `first` on, at most `count` of them.
Path SubPath(const Path& path, size_t first, size_t count);

// Leads `walker` along `path`: CanContinue, then OnIndex or OnKey, for each
// element. The root returns true without calling the walker.
bool Walk(const Path& path, VelderPathWalker& walker);

// One step of Find: the member of an object or the element of an array that
// `element` names, or null (wrong node type, missing member, index too big).
const nlohmann::json* FindChild(const Element& element, const nlohmann::json& node);
nlohmann::json* FindChild(const Element& element, nlohmann::json& node);

// The node at `path` inside `document` (the document itself for the root), or
// null.
const nlohmann::json* Find(const Path& path, const nlohmann::json& document);
nlohmann::json* Find(const Path& path, nlohmann::json& document);

// Writes `value` at `path`, creating missing object members on the way (a
// null node on the way becomes an object). Arrays are never created or
// extended: a missing element, or a key on an array, gives false. Where a key
// would have to be created below a string, number or boolean, or where the
// target exists and has another type than `value`, `typeMismatch` is set and
// the result is false. Numbers of every kind count as one type, a null on
// either side matches anything, and an empty object may be replaced by
// anything. The document is unchanged whenever the result is false.
bool SetAt(const Path& path, nlohmann::json& document, const nlohmann::json& value, bool& typeMismatch);

// Removes the member or element at `path`; true when something was removed.
// The root is never removed.
bool EraseAt(const Path& path, nlohmann::json& document);

// Whether a value may be stored: no null (nor an infinite or NaN number)
// anywhere, member names that are valid keys, arrays of at most kMaxArraySize
// elements, containers nested at most kMaxDepth deep. Never recurses deeper than kMaxDepth, whatever the input.
bool IsValidValue(const nlohmann::json& value);

// True when brackets outside strings in the JSON text `text` nest deeper than
// `limit`. Checked before parsing text from outside, so that a few megabytes
// of "[" cannot make the parser build millions of levels only for the value to
// be refused afterwards.
bool NestsDeeperThan(std::string_view text, size_t limit);

// True when containers in `value` nest at most `maxDepth` deep (a scalar has
// depth 0, [] and {} depth 1). Recurses at most maxDepth + 1 levels.
bool IsWithinDepth(const nlohmann::json& value, size_t maxDepth);

}  // namespace VelderPath
