// Bytes from a client's socket: cut into frames as the IPC library does, and
// every frame body (and the input itself) read as a request envelope and its
// value, as the plug-in does before dispatching.
#include <cstddef>
#include <cstdint>

#include "qor/ipc/frame.h"
#include "qor/ipc/hv_qor_ipc.h"
#include "wire/ipc_message.h"
#include "wire/value_conversion.h"

namespace {

void ReadEnvelope(const uint8_t* bytes, size_t count) {
  IpcMessage message;
  if (!message.Deserialize(bytes, count)) return;
  std::string error;
  const std::optional<nlohmann::json> value = IpcValue::ToJson(message, &error);
  size_t size = 0;
  const uint8_t* again = message.Serialize(&size);
  IpcMessage copy;
  // What was read is written back in a form that reads the same.
  if (again != nullptr && !copy.Deserialize(again, size)) __builtin_trap();
  if (value) IpcValue::FromJson(*value, &copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReadEnvelope(data, size);
  // Every frame kind, bodies up to the largest request the server takes.
  qor_ipc::FrameReader reader(0xFFFFFFFFu, HV_IPC_MAX_REQUEST_BODY);
  // Arrives in two pieces, as a stream may split it anywhere.
  const size_t split = size == 0 ? 0 : data[0] % (size + 1);
  reader.Append(reinterpret_cast<const char*>(data), split);
  for (int piece = 0; piece < 2; ++piece) {
    qor_ipc::Frame frame;
    for (;;) {
      const auto status = reader.Next(&frame);
      if (status != qor_ipc::FrameReader::Status::kFrame) break;
      ReadEnvelope(reinterpret_cast<const uint8_t*>(frame.body.data()), frame.body.size());
    }
    if (piece == 0) reader.Append(reinterpret_cast<const char*>(data) + split, size - split);
  }
  return 0;
}
