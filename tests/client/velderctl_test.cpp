// The pieces of velderctl without a service: how VALUE arguments are read,
// what is printed, and which exit code each failure gives.
#include <gtest/gtest.h>

#include "tools/velderctl/exit_code.h"
#include "tools/velderctl/output_format.h"
#include "tools/velderctl/value_argument.h"

namespace {

using nlohmann::json;
using velder::ClientError;
using velder::Notification;
using velder::Status;
using velderctl::ParseValueArgument;
using velderctl::ValueArgumentType;

TEST(ValueArgumentTest, InfersAndParsesAsAsked) {
  using T = ValueArgumentType;
  const struct { std::string text; T type; std::optional<json> want; } cases[] = {  // nullopt: refused
      {"true", T::Infer, true},
      {"9223372036854775807", T::Infer, INT64_MAX},
      {"+5", T::Infer, "+5"},
      {"1.5", T::Infer, "1.5"},
      {" [1, 2]", T::Infer, json{1, 2}},
      {"1", T::Bool, std::nullopt},
      {"+5", T::Int, 5},
      {"007", T::Int, 7},
      {"5x", T::Int, std::nullopt},
      {"[draft", T::String, "[draft"},
      {"2.5", T::Json, 2.5},
      {std::string(1000, '['), T::Json, std::nullopt},
      {"caf\xe9", T::String, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40) + " as " + std::to_string(static_cast<int>(c.type)));
    json got;
    std::string error;
    const bool ok = ParseValueArgument(c.text, c.type, &got, &error);
    ASSERT_EQ(ok, c.want.has_value()) << error << " " << got.dump();
    EXPECT_EQ(error.empty(), ok);
    if (ok) {
      EXPECT_EQ(got, *c.want);
      EXPECT_EQ(got.type(), c.want->type());
    }
  }
}

TEST(ExitCodeTest, OneCodePerKindOfFailure) {
  // Success and known codes passing through are integration/velderctl_test's (0, 10, 11, 12).
  const struct { Status status; int rc; } cases[] = {
      {Status::FromCode(4), 1},  // unused codes must not pass as something else
      {Status::FromError(ClientError::BadResponse), 70},
      {Status::FromError(ClientError::Timeout), 75},
      {Status::FromError(ClientError::NotHandled), 76},
      {Status::FromError(ClientError::AccessDenied), 77},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status.Message());
    EXPECT_EQ(velderctl::ExitCodeFor(c.status), c.rc);
    EXPECT_NE(c.status.Message().find(c.status.Name()), std::string::npos);  // every failure names itself
  }
  EXPECT_EQ(Status::FromCode(77).Message().rfind("Unknown result code 77", 0), 0u);
}

// What the real service cannot be made to answer (integration/velderctl_test
// runs the program): nothing to list, bits this velderctl does not know,
// status objects that are missing or edited, and watch's lines.
TEST(OutputFormatTest, EdgesOfWhatIsPrinted) {
  using Kind = Notification::Kind;
  const velderctl::OutputFormat text(false), js(true);
  EXPECT_EQ(text.Value(json{{"a", {1, 2}}}), "{\n  \"a\": [\n    1,\n    2\n  ]\n}\n");
  EXPECT_EQ(js.Meta({velder::ValueType::String, 2}),
            "{\"admin_only\":true,\"constraints\":2,\"read_only\":false,\"type\":\"string\"}\n");
  Notification change;
  change.path = "a.b";
  change.value = "x";
  EXPECT_EQ(text.Change(change), "a.b = \"x\"\n");
  change.kind = Kind::Removed;
  EXPECT_EQ(text.Change(change), "a.b removed\n");
  change.kind = Kind::Constraints;
  change.constraints = 2;
  EXPECT_EQ(text.Change(change), "a.b constraints=2 (admin-only)\n");
  EXPECT_EQ(text.Entries({}), "");
  EXPECT_EQ(js.Entries({}), "[]\n");
  EXPECT_EQ(js.Users({}), "[]\n");
  EXPECT_EQ(velderctl::ConstraintWords(0x12), "admin-only, other bits 0x10");
  EXPECT_EQ(text.ConnectionStatus(false, std::nullopt),
            "connected: no\nno connection to the settings server recorded yet\n");
  EXPECT_EQ(js.ConnectionStatus(false, std::nullopt), "{\"connected\":false,\"status\":null}\n");
  // A status object edited by hand is shown, not trusted.
  EXPECT_EQ(text.ConnectionStatus(true, json{{"last_connection_timestamp", "soon"},
                                             {"last_successful_update_timestamp", 0}}),
            "connected: yes\nlast connection: \"soon\"\nlast successful connection: never\n"
            "last successful update: 1970-01-01 00:00:00 UTC\n");
  EXPECT_EQ(text.ConnectionStatus(true, json::array()),
            "connected: yes\nlast connection: never\nlast successful connection: never\n"
            "last successful update: never\n");
}

}  // namespace
