// Values in envelopes: JSON values of the hives to and from the value kinds
// of IpcMessage, and the pair and list values (whose type codes are
// store/value_type.h's).
//
// Responses and notifications (JSON to envelope): null -> None; boolean ->
// Boolean; any number -> Integer (an unsigned number bit for bit, a floating
// point number truncated toward zero); string -> String; object and array ->
// Json with their compact text.
//
// SetValue requests (envelope to JSON): Boolean -> its byte if there is
// exactly one, else false; Integer -> the 8 bytes if there are exactly 8,
// else 0; String -> the text; Json -> the parsed document if it is a value a
// hive may store (VelderPath::IsValidValue); anything else -> no value.
//
// Pure functions; safe on any thread.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire/ipc_message.h"

namespace IpcValue {

// Sets the message's value from `value`. False, message unchanged, when the
// value has no envelope form: a floating-point number that is not finite or
// does not fit a signed 64-bit integer, a text that is not valid UTF-8 inside
// an object or array, or a JSON type that is not a value (discarded, binary).
bool FromJson(const nlohmann::json& value, IpcMessage* message);

// The JSON value of a SetValue request's value, or nullopt for no value.
// `parse_error`, when given, receives the parser's message when a Json text
// does not parse (and is cleared otherwise). A String that is not valid UTF-8
// is no value: the hive could not write it to its file.
std::optional<nlohmann::json> ToJson(const IpcMessage& message, std::string* parse_error = nullptr);

// Typed values.
void SetBoolean(IpcMessage* message, bool value);
void SetInteger(IpcMessage* message, int64_t value);
void SetString(IpcMessage* message, std::string text);
void SetPair(IpcMessage* message, uint32_t first, uint32_t second);
// Both words of a Pair value of exactly 8 bytes; false for anything else.
bool GetPair(const IpcMessage& message, uint32_t* first, uint32_t* second);

// One entry of a List value.
struct ListEntry {
  std::string name;
  uint8_t type_code = 0;  // a ValueType as sent; a reader may meet codes it does not know
  friend bool operator==(const ListEntry&, const ListEntry&) = default;
};

// Sets a List value. False, message unchanged, when a name contains "," (the
// list could not be read back: names are joined with ",") or there are more
// entries than 32 bits can count.
bool SetList(IpcMessage* message, const std::vector<ListEntry>& entries);
// Reads a List value's bytes; false when they are not a well-formed list (too
// short for the count, or a number of names other than the count).
bool ParseList(std::string_view bytes, std::vector<ListEntry>* entries);

}  // namespace IpcValue
