// Random series of writes, deletes, constraint changes, connection status
// records and new base documents against a schema with every kind of node.
// After each step the hive's effective document (rebuilt in part after a
// write) must equal a complete rebuild, and the notifications must describe
// exactly the changes; every few steps it must also equal what a hive freshly
// loaded from the saved files computes.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "store/settings_test_support.h"

namespace settings_testing {
namespace {

json RandomSchema() {
  return json::parse(R"({
    "n1": {"type": "integer", "default": 0},
    "n2": {"type": "number", "default": 1.5, "maximum": 50},
    "str": {"type": "string", "default": "", "maxLength": 6},
    "flag": {"type": "boolean", "default": false},
    "obj": {"type": "object", "properties": {
      "x": {"type": "integer", "default": 0},
      "y": {"type": "string", "default": "y"},
      "deep": {"type": "object", "properties": {"z": {"type": "boolean", "default": true},
                                                "w": {"type": "integer", "default": 3, "readonly": true}}}}},
    "list": {"type": "array", "items": {"type": "integer"}, "default": [1, 2, 3]},
    "recs": {"type": "array", "default": [{"id": 1}, {"id": 2}],
             "items": {"type": "object", "required": ["id"],
                       "properties": {"id": {"type": "integer", "default": 0}, "tag": {"type": "string", "default": "t"}}}},
    "dyn": {"type": "object", "dynamic": true, "default": {}},
    "dynp": {"type": "object", "dynamic": true, "default": {"m": 0},
             "properties": {"m": {"type": "integer", "default": 1}}},
    "ro": {"type": "integer", "default": 5, "readonly": true},
    "roobj": {"type": "object", "readonly": true, "properties": {"r": {"type": "integer", "default": 1}}},
    "pp": {"type": "object", "patternProperties": {"^k": {"type": "integer"}}},
    "nodef": {"type": "integer"},
    "objdyn": {"type": "object", "properties": {"inner": {"type": "object", "dynamic": true}}},
    "empty": {"type": "object", "properties": {}}
  })");
}

// Paths of every kind: described, read-only, inside arrays, below dynamic
// nodes, unknown to the schema (at several depths).
const std::vector<std::string>& Paths() {
  static const std::vector<std::string> paths = [] {
    std::vector<std::string> list{""};
    std::istringstream text(
        "n1 n2 str flag obj obj.x obj.y obj.deep obj.deep.z obj.deep.w obj.extra obj.extra.e list list.0 list.2 "
        "recs recs.0 recs.0.id recs.1.tag recs.1.other dyn dyn.a dyn.a.b dyn.c dynp dynp.m dynp.n.o ro roobj "
        "roobj.r pp pp.k1 nodef objdyn objdyn.inner objdyn.inner.q empty empty.e free free.a free.b.c loc "
        // Deep below values the schema does not describe, where a write
        // rebuilds only the written member.
        "free.a.b free.a.b.x free.b.c.e free.b.1 loc.deep.x loc.deep.x.q obj.extra.e.q obj.deep.more.a empty.e.x");
    for (std::string path; text >> path;) list.push_back(path);
    return list;
  }();
  return paths;
}

class RandomValues {
 public:
  explicit RandomValues(uint32_t seed) : random_(seed) {}

  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }
  bool Chance(int percent) { return Int(1, 100) <= percent; }

  json Value(int depth = 0) {
    static const char* const keys[] = {"x", "y", "z", "w", "a", "b", "e", "q", "id", "tag", "deep", "extra"};
    switch (Int(0, depth >= 2 ? 4 : 6)) {
      case 0: return Int(-5, 60);
      case 1: return Int(0, 100) / 4.0;
      case 2: return std::string(static_cast<size_t>(Int(0, 8)), static_cast<char>('a' + Int(0, 3)));
      case 3: return Chance(50);
      case 4: {
        json array = json::array();
        for (int i = Int(0, 3); i > 0; --i) array.push_back(Int(0, 9));
        return array;
      }
      default: {
        json object = json::object();
        for (int i = Int(0, 3); i > 0; --i) object[keys[Int(0, 11)]] = Value(depth + 1);
        return object;
      }
    }
  }

  json BaseValues() {
    json values = json::object();
    static const char* const names[] = {"n1",   "n2",  "str",  "flag", "obj",   "list",
                                        "recs", "dyn", "dynp", "ro",   "nodef", "objdyn"};
    for (const char* name : names) {
      if (Chance(50)) values[name] = Value();
    }
    return values;
  }

  // Mostly a value like the one there now, so that most writes are accepted.
  json Like(const json* current) {
    if (current == nullptr || Chance(40)) return Value();
    switch (current->type()) {
      case json::value_t::number_integer:
      case json::value_t::number_unsigned: return Int(0, 60);
      case json::value_t::number_float: return Int(0, 100) / 4.0;
      case json::value_t::string: return std::string(static_cast<size_t>(Int(0, 5)), 'k');
      case json::value_t::boolean: return !current->get<bool>();
      case json::value_t::array: {
        json copy = *current;
        if (!copy.empty()) copy[static_cast<size_t>(Int(0, static_cast<int>(copy.size()) - 1))] = Like(&copy[0]);
        return copy;
      }
      case json::value_t::object: {
        json copy = json::object();
        for (const auto& [name, member] : current->items()) {
          if (Chance(50)) copy[name] = Like(&member);
        }
        return copy;
      }
      default: return Value();
    }
  }

  const std::string& Path() { return Paths()[static_cast<size_t>(Int(0, static_cast<int>(Paths().size()) - 1))]; }

 private:
  std::mt19937 random_;
};

// Removes empty objects (outside arrays), which no notification can describe.
json Pruned(const json& value) {
  if (!value.is_object()) return value;
  json result = json::object();
  for (const auto& [name, member] : value.items()) {
    json pruned = Pruned(member);
    if (!(pruned.is_object() && pruned.empty())) result[name] = std::move(pruned);
  }
  return result;
}

// Applies value notifications to a copy of what a client has seen.
void Apply(json& mirror, const std::vector<ChangeNotifier::Notification>& notifications) {
  for (const auto& n : notifications) {
    if (n.kind != ChangeNotifier::Notification::kValue) continue;
    if (n.value.is_null()) {
      VelderPath::EraseAt(n.path, mirror);
      continue;
    }
    json* node = &mirror;
    for (const VelderPath::Element& element : n.path) {
      ASSERT_EQ(element.kind, VelderPath::Element::Key);
      if (!node->is_object()) *node = json::object();
      node = &(*node)[element.key];
    }
    *node = n.value;
  }
}

class SettingsRandomTest : public HiveTest {};

TEST_F(SettingsRandomTest, PartialRebuildsEqualCompleteOnes) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    RandomValues random(seed);
    const std::string user = "S-1-5-21-" + std::to_string(seed);
    WriteBase(user, BaseWith(RandomSchema(), random.BaseValues()));
    auto hive = MakeHive(user);
    notifier_.Take();
    json mirror = hive->effective_document();
    int accepted = 0;
    for (int step = 0; step < 250; ++step) {
      const std::string path_text = random.Path();
      const VelderPath::Path path = P(path_text);
      const RequestContext request = random.Chance(70) ? Owner(user) : Admin(user);
      std::string what;
      ResultCode result = ResultCode::Success;
      const int op = random.Int(1, 100);
      if (op <= 60) {
        const json current = hive->effective_document();
        const json value = random.Like(VelderPath::Find(path, current));
        what = "set " + path_text + " = " + value.dump();
        result = hive->SetValue(path, value, request, "chan");
      } else if (op <= 88) {
        what = "delete " + path_text;
        result = hive->DeleteValue(path, request, "chan");
      } else if (op <= 92) {
        // A full rebuild after a change of "local" (where clients read
        // members that only "local" gives).
        what = "status";
        hive->WriteConnectionStatus(random.Chance(50), random.Chance(50));
      } else if (op <= 95) {
        const uint32_t bits = random.Chance(50) ? 2 : 0;
        what = "constraints " + path_text + " " + std::to_string(bits);
        result = hive->SetLocalConstraints(path, bits, Admin(user), "chan");
      } else {
        const json values = random.BaseValues();
        what = "base " + values.dump();
        ASSERT_TRUE(hive->ApplyBaseSettings(BaseWith(RandomSchema(), values)));
        if (random.Chance(50)) {
          ASSERT_TRUE(hive->UpdateEffectiveSettings(std::string(), false));
        }
      }
      SCOPED_TRACE(what);
      if (result == ResultCode::Success) ++accepted;

      Apply(mirror, notifier_.Take());
      const json partial = hive->effective_document();
      ASSERT_TRUE(hive->UpdateEffectiveSettings(std::string(), false));
      Apply(mirror, notifier_.Take());  // what a pending new base brought
      const json complete = hive->effective_document();
      if (what.rfind("base", 0) != 0) {
        ASSERT_EQ(partial, complete);
      }
      ASSERT_EQ(Pruned(mirror), Pruned(complete));

      if (step % 25 == 24) {
        ASSERT_EQ(hive->SaveLocalFile(), Storage::kStatusOk);
        auto fresh = MakeHive(user);
        ASSERT_EQ(fresh->effective_document(), complete);
      }
    }
    EXPECT_GT(accepted, 60) << "most of the series should be accepted changes";
  }
}

}  // namespace
}  // namespace settings_testing
