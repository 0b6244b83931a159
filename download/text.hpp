#pragma once

// Small text rules the client's jobs share. Casing touches the ASCII letters
// only; trimming removes blanks and control characters at both ends.

#include <string>
#include <string_view>

namespace kqz::download {

std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);
std::string_view Trim(std::string_view text);

// `text` with every control character written as an escape, so that text
// from a server or a file can be quoted in a message without acting on the
// terminal: C0 controls and DEL as \xHH, C1 controls (UTF-8 U+0080 to
// U+009F) as \u00HH. Everything else is kept as it is.
std::string EscaparControles(std::string_view text);

// An SQL string literal: in single quotes, every single quote inside doubled.
std::string QuotedStr(std::string_view value);

}  // namespace kqz::download
