// Frames on the socket: building them and cutting a byte stream into them.
// The layout is described in hv_qor_ipc.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace qor_ipc {

inline constexpr size_t kFrameHeaderSize = 5;

// Appends `value` little-endian.
void PutU32(std::string* out, uint32_t value);
// Reads a little-endian word; `bytes` has at least 4 bytes.
uint32_t GetU32(const char* bytes);

// A whole frame: header, `words` (little-endian) and `payload`. The caller
// keeps the body within HV_IPC_MAX_FRAME_BODY.
std::string MakeFrame(uint8_t kind, std::initializer_list<uint32_t> words, std::string_view payload);

// One frame taken from a stream.
struct Frame {
  uint8_t kind = 0;
  std::string body;
};

// Cuts a byte stream into frames. Knows which frame kinds the receiving side
// accepts and how short each body may be, so that garbage is noticed at the
// header, before any of its body is buffered.
class FrameReader {
 public:
  enum class Status { kNeedMore, kFrame, kError };

  // `allowed_kinds`: bit k set when frame kind k may arrive; `max_body`: the
  // longest body accepted (a longer one is an error at its header).
  FrameReader(uint32_t allowed_kinds, size_t max_body) : allowed_kinds_(allowed_kinds), max_body_(max_body) {}

  void Append(const char* bytes, size_t count) { buffer_.append(bytes, count); }

  // kFrame stores the next complete frame in `frame`; kError means the stream
  // is not made of valid frames and the connection must end; kNeedMore waits
  // for more bytes. After kError every later call returns kError.
  Status Next(Frame* frame);

  // True while part of a frame has arrived (an end of stream now truncates it).
  bool InsideFrame() const { return buffer_.size() > consumed_; }
  // Bytes received and not yet taken as a frame.
  size_t Pending() const { return buffer_.size() - consumed_; }

 private:
  uint32_t allowed_kinds_;
  size_t max_body_;
  std::string buffer_;
  size_t consumed_ = 0;
  bool failed_ = false;
};

}  // namespace qor_ipc
