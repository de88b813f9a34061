// Values in request, response and notification envelopes, as the client
// library writes and reads them. Requests are written so that the service
// stores exactly the JSON value the caller gave; answers are read strictly, so
// that a service that speaks another dialect is reported instead of guessed at.
//
// Pure functions; safe on any thread.
#pragma once

#include <nlohmann/json.hpp>

#include <string_view>
#include <vector>

#include "client/client_status.h"
#include "store/velder_path.h"
#include "wire/ipc_message.h"
#include "wire/value_conversion.h"

namespace velder::ValueCodec {

// How deep containers in an answer may nest. The service keeps values within
// VelderPath::kMaxDepth below a path of at most that many elements, so a
// deeper text is not a value of a hive but garbage.
inline constexpr size_t kMaxAnswerDepth = 2 * VelderPath::kMaxDepth + 2;

// Sets the value of a SetValue request: booleans as Boolean, integers that
// fit 64 signed bits as Integer, strings as String, everything else (objects,
// arrays, floating-point numbers, larger unsigned numbers) as JSON text.
// InvalidArgument, message unchanged, for a value that no hive may store
// (null anywhere, a member name that is not a key, a non-finite number, too
// large or too deep) or a text that is not UTF-8.
Status EncodeRequestValue(const nlohmann::json& value, IpcMessage* message);

// The value carried by a GetValue response or a notification: None is null,
// Boolean one byte 0 or 1, Integer exactly 8 bytes, String UTF-8 text, Json a
// document. BadResponse for any other kind or a malformed value.
Status DecodeValue(const IpcMessage& message, nlohmann::json* value);

// The two words of a Pair value (GetMetaData); BadResponse for anything else.
Status DecodePair(const IpcMessage& message, uint32_t* first, uint32_t* second);

// The entries of a List value (Enumerate, EnumerateUsers); BadResponse for
// anything else or a name that is not UTF-8.
Status DecodeList(const IpcMessage& message, std::vector<IpcValue::ListEntry>* entries);

}  // namespace velder::ValueCodec
