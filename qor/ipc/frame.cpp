#include "qor/ipc/frame.h"

#include "qor/ipc/hv_qor_ipc.h"

namespace qor_ipc {
namespace {

// Words every body of a kind begins with.
size_t MinimumBody(uint8_t kind) {
  switch (kind) {
    case HV_IPC_FRAME_REQUEST:
    case HV_IPC_FRAME_RESPONSE:
      return 8;
    case HV_IPC_FRAME_NOTIFICATION:
    case HV_IPC_FRAME_HELLO:
      return 4;
  }
  return 0;
}

}  // namespace

void PutU32(std::string* out, uint32_t value) {
  char bytes[4] = {static_cast<char>(value & 0xff), static_cast<char>((value >> 8) & 0xff),
                   static_cast<char>((value >> 16) & 0xff), static_cast<char>((value >> 24) & 0xff)};
  out->append(bytes, 4);
}

uint32_t GetU32(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
         (static_cast<uint32_t>(b[3]) << 24);
}

std::string MakeFrame(uint8_t kind, std::initializer_list<uint32_t> words, std::string_view payload) {
  std::string frame;
  const size_t body = words.size() * 4 + payload.size();
  frame.reserve(kFrameHeaderSize + body);
  PutU32(&frame, static_cast<uint32_t>(body));
  frame.push_back(static_cast<char>(kind));
  for (uint32_t w : words) PutU32(&frame, w);
  frame.append(payload);
  return frame;
}

FrameReader::Status FrameReader::Next(Frame* frame) {
  if (failed_) return Status::kError;
  const size_t available = buffer_.size() - consumed_;
  if (available < kFrameHeaderSize) return Status::kNeedMore;
  const char* header = buffer_.data() + consumed_;
  const uint32_t length = GetU32(header);
  const auto kind = static_cast<uint8_t>(header[4]);
  const size_t minimum = MinimumBody(kind);
  if (kind >= 32 || (allowed_kinds_ & (1u << kind)) == 0 || minimum == 0 || length < minimum ||
      length > max_body_) {
    failed_ = true;
    buffer_.clear();
    consumed_ = 0;
    return Status::kError;
  }
  if (available - kFrameHeaderSize < length) return Status::kNeedMore;
  frame->kind = kind;
  frame->body.assign(header + kFrameHeaderSize, length);
  consumed_ += kFrameHeaderSize + length;
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  } else if (consumed_ > 64 * 1024 && consumed_ * 2 > buffer_.size()) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  return Status::kFrame;
}

}  // namespace qor_ipc
