// Security identifiers in text form. A Unix user is named by the usual
// mapping: uid 0 is the system account "S-1-5-18", any other uid is
// "S-1-22-1-<uid>".
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::string_view kSystemSid = "S-1-5-18";

// True for "S-1-" + a decimal authority + 1 to 15 decimal sub-authorities, each
// below 2^32. Letters are accepted in either case for the leading "S" only,
// as clients send user fields in any case; nothing else can pass, so a SID text
// is always safe inside a file name.
bool IsValidSidText(std::string_view text);

// The one spelling of a valid SID text: "S" upper-case and every number
// without leading zeros ("s-1-5-018" gives "S-1-5-18"). Hive files, registry
// hives and rights all compare this text, so that one account never has two
// hives. Empty for a text IsValidSidText refuses.
std::string CanonicalSidText(std::string_view text);

// True for a valid SID text already in its canonical spelling.
bool IsCanonicalSidText(std::string_view text);

// The SID text of a Unix user.
std::string SidForUid(uid_t uid);

// The uid of a SID text made by SidForUid (the system account gives 0);
// nullopt for any other SID.
std::optional<uid_t> UidForSid(std::string_view sid);

}  // namespace platform
