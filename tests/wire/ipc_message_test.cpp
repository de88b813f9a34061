// The request envelope: exact bytes on the wire, what Deserialize accepts,
// and the names of message types.
#include "wire/ipc_message.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

std::string Bytes(IpcMessage& m) {
  size_t count = 0;
  const uint8_t* p = m.Serialize(&count);
  return p ? std::string(reinterpret_cast<const char*>(p), count) : std::string();
}

bool Load(IpcMessage& m, const std::string& bytes) {
  return m.Deserialize(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// An envelope assembled by hand: header fields, then the five fields' bytes.
std::string Envelope(uint8_t type, uint8_t kind, uint32_t result, const std::string& ns, const std::string& user,
                     const std::string& client, const std::string& path, const std::string& value,
                     uint8_t version = 1) {
  return std::string(1, static_cast<char>(version)) + std::string(1, static_cast<char>(type)) +
         std::string(1, static_cast<char>(kind)) + U32(result) + U32(ns.size()) + U32(user.size()) +
         U32(client.size()) + U32(path.size()) + U32(value.size()) + ns + user + client + path + value;
}

TEST(IpcMessage, GoldenBytesOfAFilledEnvelope) {
  IpcMessage m;
  m.set_message_type(MessageType::SetValue);
  m.SetValue(ValueKind::String, std::string("v\0w", 3));
  m.set_result(0x04030201u);
  m.set_name_space("tarn");
  m.set_user("S-1-5-18");
  m.set_client("c\xc3\xa9");  // "cé": two UTF-16 units
  m.set_path("a.b");
  const std::string expected =
      std::string("\x01\x03\x03", 3) + "\x01\x02\x03\x04" + U32(8) + U32(16) + U32(4) + U32(3) + U32(3) +
      std::string("t\0a\0r\0n\0", 8) + std::string("S\0-\0" "1\0-\0" "5\0-\0" "1\0" "8\0", 16) +
      std::string("c\0\xe9\0", 4) + "a.b" + std::string("v\0w", 3);
  EXPECT_EQ(Bytes(m), expected);

}

TEST(IpcMessage, FieldsSurviveARoundTrip) {
  const std::string big(1 << 20, '\xab');
  const struct {
    const char* name;
    std::string ns, user, client, path, value;
  } cases[] = {
      {"all empty", "", "", "", "", ""},
      {"outside the basic plane", "\xf0\x9f\x98\x80", "s-1-22-1-1000", "\xe2\x82\xac", "x", "1"},
      {"NUL inside texts", std::string("a\0b", 3), "", std::string("\0", 1), std::string("p\0", 2), ""},
      {"large value", "tarn", "", "", "a.0.b", big},
      {"path bytes kept as they are", "tarn", "", "", "\xff\xfe not UTF-8", "\x00\x01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage m;
    m.set_message_type(MessageType::Response);
    m.SetValue(ValueKind::Json, c.value);
    m.set_name_space(c.ns);
    m.set_user(c.user);
    m.set_client(c.client);
    m.set_path(c.path);
    IpcMessage back;
    ASSERT_TRUE(Load(back, Bytes(m)));
    EXPECT_EQ(back.name_space(), c.ns);
    EXPECT_EQ(back.user(), c.user);
    EXPECT_EQ(back.client(), c.client);
    EXPECT_EQ(back.path(), c.path);
    EXPECT_EQ(back.value(), c.value);
    EXPECT_EQ(back.value_kind(), 4);
    EXPECT_EQ(back.message_type(), 14);
  }
}

TEST(IpcMessage, MalformedEnvelopesAreRejectedAndLeaveNoValue) {
  const std::string good = Envelope(2, 1, 0, std::string("t\0", 2), "", "", "a", "\x01");
  const uint32_t max = std::numeric_limits<uint32_t>::max();
  // Lengths that wrap around to the right total if summed in 32 bits.
  std::string wrapping = Envelope(2, 1, 0, "", "", "", "", "");
  wrapping.replace(7, 8, U32(max) + U32(1));
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"version 0", Envelope(2, 1, 0, "", "", "", "", "", 0)},
      {"version 2", Envelope(2, 1, 0, "", "", "", "", "", 2)},
      {"one byte short", good.substr(0, good.size() - 1)},
      {"lengths wrapping around 32 bits", wrapping},
      {"largest lengths", std::string("\x01\x02\x00", 3) + U32(0) + U32(max) + U32(max) + U32(max) + U32(max) + U32(max)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage m;
    m.SetValue(ValueKind::String, "old value");
    EXPECT_FALSE(Load(m, c.bytes));
    EXPECT_EQ(m.value(), "");
    EXPECT_EQ(m.value_kind(), 0);
  }
  IpcMessage m;
  EXPECT_FALSE(m.Deserialize(nullptr, 27));
  EXPECT_TRUE(Load(m, good));
  EXPECT_EQ(m.value(), "\x01");
}

TEST(IpcMessage, BadUtf16FieldsReadAsLittleAsPossibleAndInvalidUtf8IsNotWritten) {
  const struct {
    const char* name;
    std::string ns, user, client;
    const char* read_ns;
    const char* read_user;
    const char* read_client;
  } cases[] = {
      {"odd length loses its last byte", std::string("t\0", 2), std::string("A\0\x42", 3), std::string("c\0", 2), "t",
       "A", "c"},
      {"one byte is no unit", "\x41", "", "", "", "", ""},
      {"a lone high surrogate", std::string("t\0", 2), "", std::string("\x00\xd8", 2), "t", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage m;
    ASSERT_TRUE(Load(m, Envelope(2, 0, 0, c.ns, c.user, c.client, "p.q", "")));
    EXPECT_EQ(m.name_space(), c.read_ns);
    EXPECT_EQ(m.user(), c.read_user);
    EXPECT_EQ(m.client(), c.read_client);
    EXPECT_EQ(m.path(), "p.q") << "the next field is found";
  }
  for (int field = 0; field < 3; ++field) {
    SCOPED_TRACE(field);
    IpcMessage bad;
    const std::string invalid = "\xc3\x28";
    if (field == 0) bad.set_name_space(invalid);
    if (field == 1) bad.set_user(invalid);
    if (field == 2) bad.set_client(invalid);
    size_t count = 99;
    EXPECT_EQ(bad.Serialize(&count), nullptr);
    EXPECT_EQ(count, 0u);
  }
}

TEST(IpcMessage, SerializedBytesBelongToTheMessageUntilItChanges) {
  IpcMessage m;
  m.set_path("first");
  size_t count = 0;
  const uint8_t* first = m.Serialize(&count);
  ASSERT_NE(first, nullptr);
  const std::string kept(reinterpret_cast<const char*>(first), count);
  IpcMessage copy = m;  // a copy has its own buffer
  m.set_path("second, longer");
  size_t count2 = 0;
  const uint8_t* second = m.Serialize(&count2);
  EXPECT_EQ(count2, count + 9);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(second) + 27, 14), "second, longer");
  EXPECT_EQ(Bytes(copy), kept);
}

// Types that are no requests are pinned where the server refuses them.
TEST(IpcMessage, RequestTypesIncludeTheGapAndLogout) {
  for (const uint8_t type : {1, 6, 13, 17}) EXPECT_TRUE(IsRequestType(type)) << int{type};
  EXPECT_EQ(MessageTypeName(13), "CheckConnected");
  EXPECT_EQ(MessageTypeName(6), "Unknown");
  EXPECT_EQ(MessageTypeName(255), "Unknown");
}

}  // namespace
