// Conversions between the UTF-8 text used inside the service and the UTF-16
// that a few fixed formats carry (IPC envelope fields, namespace files, hive
// files written with a UTF-16 byte-order mark).
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Returns the UTF-16 form of `text`, or an empty string when `text` is not
// well-formed UTF-8 (overlong forms, surrogates and values past U+10FFFF are
// rejected), so that a malformed name can never reach a file or key path.
std::u16string Utf8ToUtf16(std::string_view text);

// Returns the UTF-8 form of `text`, or an empty string when `text` holds an
// unpaired surrogate.
std::string Utf16ToUtf8(std::u16string_view text);

// Decodes little-endian UTF-16 bytes (no byte-order mark) to UTF-8; an odd byte
// count or an unpaired surrogate gives an empty string.
std::string Utf16LeBytesToUtf8(std::string_view bytes);

// Encodes UTF-8 as little-endian UTF-16 bytes; invalid UTF-8 gives an empty string.
std::string Utf8ToUtf16LeBytes(std::string_view text);

// True when `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// The length of the well-formed UTF-8 sequence that `text` starts with; 0
// when it starts with none (or is empty).
size_t Utf8SequenceLength(std::string_view text);

}  // namespace platform
