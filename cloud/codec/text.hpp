#pragma once

// Text conversions of the wire format (internal to the codec): UTF-8 inside
// the program, UTF-16LE and Windows-1252 inside FireDAC streams.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kqz::codec::text {

// Appends UTF-16LE bytes as UTF-8. Returns the byte index (within `bytes`) of
// the first ill-formed unit (a lone surrogate), or nullopt when all is well.
// `size` must be even.
std::optional<std::size_t> AppendUtf16LeAsUtf8(std::string& out, const std::uint8_t* bytes, std::size_t size);

// Number of UTF-16 units of a UTF-8 text, or nullopt when it is not valid UTF-8.
std::optional<std::size_t> Utf16Length(std::string_view utf8);

// Number of code points of a UTF-8 text whose every character exists in
// Windows-1252, or nullopt when one does not (or the text is not UTF-8).
std::optional<std::size_t> Cp1252Length(std::string_view utf8);

// Appends a valid UTF-8 text as UTF-16LE (validate with Utf16Length first).
void AppendUtf8AsUtf16Le(std::string& out, std::string_view utf8);

// Appends Windows-1252 bytes as UTF-8 (the five unassigned bytes become the
// C1 control characters of the same number, as Windows converts them).
void AppendCp1252AsUtf8(std::string& out, const std::uint8_t* bytes, std::size_t size);

// Appends a UTF-8 text as Windows-1252 (check with Cp1252Length first).
void AppendUtf8AsCp1252(std::string& out, std::string_view utf8);

// Describes where a UTF-8 text stops being valid or convertible, for messages:
// the first offending character as U+XXXX (or "byte inválido").
std::string DescribeFirstProblem(std::string_view utf8, bool cp1252);

}  // namespace kqz::codec::text
