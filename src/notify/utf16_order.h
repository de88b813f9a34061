// Ordering UTF-8 text as its UTF-16 form would sort, without converting it.
//
// Byte order of UTF-8 is code point order. UTF-16 differs in one place: a
// character above U+FFFF becomes a surrogate pair (0xD800-0xDFFF), which sorts
// before U+E000-U+FFFF, whereas its UTF-8 form (lead bytes 0xF0-0xF4) sorts
// after theirs (lead bytes 0xEE, 0xEF). Two texts that agree up to their first
// differing byte agree on every character before it, so that byte either
// continues one character in both (same lead byte, same length: order
// unchanged) or begins one in both; only lead bytes need to be reordered.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace notify {

// True when `a` sorts before `b` by UTF-16 code units. A strict total order
// on all byte strings (also malformed ones), consistent with ==.
bool Utf16Less(std::string_view a, std::string_view b);

// Sorts `texts` ascending by Utf16Less and removes duplicates.
void SortUniqueUtf16(std::vector<std::string>& texts);

}  // namespace notify
