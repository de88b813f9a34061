// The request envelope: exact bytes on the wire and what Deserialize accepts.
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
std::string Envelope(const std::string& ns, const std::string& user, const std::string& client,
                     const std::string& path, const std::string& value, uint8_t version = 1) {
  return std::string{static_cast<char>(version), 2, 1} + U32(0) + U32(ns.size()) + U32(user.size()) +
         U32(client.size()) + U32(path.size()) + U32(value.size()) + ns + user + client + path + value;
}

TEST(IpcMessage, GoldenBytesAndRoundTrips) {
  IpcMessage m;
  m.set_message_type(MessageType::SetValue);
  m.SetValue(ValueKind::String, std::string("v\0w", 3));
  m.set_result(0x04030201u);
  m.set_name_space("tarn");
  m.set_user("S-1-5-18");
  m.set_client("c\xc3\xa9");  // "cé": two UTF-16 units
  m.set_path("a.b");
  EXPECT_EQ(Bytes(m), std::string("\x01\x03\x03", 3) + "\x01\x02\x03\x04" + U32(8) + U32(16) + U32(4) + U32(3) +
                          U32(3) + std::string("t\0a\0r\0n\0", 8) +
                          std::string("S\0-\0" "1\0-\0" "5\0-\0" "1\0" "8\0", 16) + std::string("c\0\xe9\0", 4) +
                          "a.b" + std::string("v\0w", 3));

  const struct { const char* name; std::string ns, user, client, path, value; } cases[] = {
      {"all empty", "", "", "", "", ""},
      {"outside the basic plane", "\xf0\x9f\x98\x80", "s-1-22-1-1000", "\xe2\x82\xac", "x", "1"},
      {"NUL inside texts", std::string("a\0b", 3), "", std::string("\0", 1), std::string("p\0", 2), ""},
      {"large value, path bytes kept as they are", "tarn", "", "", "\xff\xfe not UTF-8", std::string(1 << 20, 'x')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage out, back;
    out.set_message_type(MessageType::Response);
    out.SetValue(ValueKind::Json, c.value);
    out.set_name_space(c.ns);
    out.set_user(c.user);
    out.set_client(c.client);
    out.set_path(c.path);
    ASSERT_TRUE(Load(back, Bytes(out)));
    EXPECT_EQ(Bytes(back), Bytes(out)) << "every field read back as written";
    EXPECT_EQ(back.user(), c.user);
  }
}

TEST(IpcMessage, MalformedEnvelopesAreRejectedAndLeaveNoValue) {
  const std::string good = Envelope(std::string("t\0", 2), "", "", "a", "\x01");
  const uint32_t max = std::numeric_limits<uint32_t>::max();
  std::string wrapping = Envelope("", "", "", "", "");  // lengths summing to the total in 32 bits
  wrapping.replace(7, 8, U32(max) + U32(1));
  const struct { const char* name; std::string bytes; } cases[] = {
      {"version 0", Envelope("", "", "", "", "", 0)},
      {"lengths wrapping around 32 bits", wrapping},
      {"largest lengths", good.substr(0, 7) + U32(max) + U32(max) + U32(max) + U32(max) + U32(max)},
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
  const struct { const char* name; std::string user; const char* read; } cases[] = {
      {"odd length loses its last byte", std::string("A\0\x42", 3), "A"},
      {"a lone high surrogate", std::string("\x00\xd8", 2), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage m;
    ASSERT_TRUE(Load(m, Envelope(std::string("t\0", 2), c.user, "", "p.q", "")));
    EXPECT_EQ(m.user(), c.read);
    EXPECT_EQ(m.path(), "p.q") << "the next field is found";
  }
  // And the other way round: a text that is not UTF-8 is not written.
  for (void (IpcMessage::*set)(std::string) : {&IpcMessage::set_name_space, &IpcMessage::set_user,
                                               &IpcMessage::set_client}) {
    IpcMessage bad;
    (bad.*set)("\xc3\x28");
    size_t count = 99;
    EXPECT_EQ(bad.Serialize(&count), nullptr);
    EXPECT_EQ(count, 0u);
  }
}

}  // namespace
