// Random secrets and digests as text: enrolment secrets, bearer tokens, pns
// ids, the admin token, entity tags and certificate fingerprints.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace settings_server {

// `bytes` bytes from the system's secure generator as unpadded base64url
// ([A-Za-z0-9_-]); empty when the generator fails.
std::string RandomText(size_t bytes);

// SHA-256 of `data` as lower-case hex.
std::string Sha256Hex(std::string_view data);

// True when both texts are equal, in a time that does not depend on where
// they differ.
bool ConstantTimeEquals(std::string_view a, std::string_view b);

}  // namespace settings_server
