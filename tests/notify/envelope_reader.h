// Reads a notification envelope from its bytes, independently of the code
// that wrote it: little-endian header of 27 bytes (version, message type,
// value kind, result, five field lengths), then namespace, user and client as
// UTF-16LE, the path as UTF-8 and the value bytes.
#pragma once

#include <cstdint>
#include <string>

namespace notify_testing {

struct Envelope {
  bool valid = false;
  uint8_t version = 0;
  uint8_t type = 0;
  uint8_t value_kind = 0;
  uint32_t result = 0;
  std::string name_space;  // raw UTF-16LE bytes
  std::string user;        // raw UTF-16LE bytes
  std::string client;      // raw UTF-16LE bytes
  std::string path;
  std::string value;
};

inline uint32_t ReadLe32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

inline Envelope ReadEnvelope(const std::string& bytes) {
  Envelope e;
  if (bytes.size() < 27) return e;
  e.version = static_cast<uint8_t>(bytes[0]);
  e.type = static_cast<uint8_t>(bytes[1]);
  e.value_kind = static_cast<uint8_t>(bytes[2]);
  e.result = ReadLe32(bytes, 3);
  std::string* fields[5] = {&e.name_space, &e.user, &e.client, &e.path, &e.value};
  uint64_t at = 27;
  for (int i = 0; i < 5; ++i) {
    const uint32_t length = ReadLe32(bytes, 7 + 4 * i);
    if (at + length > bytes.size()) return e;
    *fields[i] = bytes.substr(at, length);
    at += length;
  }
  e.valid = at == bytes.size();
  return e;
}

}  // namespace notify_testing
