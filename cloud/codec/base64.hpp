#pragma once

// Base64 (RFC 4648 alphabet, "=" padding) as the dataset lists carry it.

#include <string>
#include <string_view>

#include "cloud/codec/error.hpp"

namespace kqz::codec {

// Encodes `data`; with `lineBreaks` the text is cut into lines of 76
// characters joined by "\r\n" (no break after the last line).
std::string Base64Encode(std::string_view data, bool lineBreaks = true);

// Decodes base64 text, skipping CR, LF, TAB and blanks anywhere. Throws
// CodecError naming the offset on any other character, on a misplaced "=" or
// on a length that is not a whole number of groups.
std::string Base64Decode(std::string_view text);

}  // namespace kqz::codec
