#pragma once

// The body of a method call: JSON read into method arguments, with its
// nesting checked before any parser sees it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kqz::server {

// Bodies nested deeper than this (arrays and objects) are refused before
// they are parsed.
inline constexpr std::size_t kMaxBodyNesting = 64;

// The deepest nesting of JSON arrays and objects in `text`, counted without
// parsing or recursion (brackets inside strings do not count). Stops counting
// once past `limit` and returns limit + 1.
std::size_t JsonNesting(std::string_view text, std::size_t limit = kMaxBodyNesting);

// The method arguments a request body carries: the values of
// {"_parameters":[...]}, or the body itself as one value; strings as they
// are, null as NULL, anything else as its JSON text. Throws
// std::invalid_argument for a body that is not JSON or is nested deeper than
// kMaxBodyNesting.
std::vector<std::optional<std::string>> BodyArguments(std::string_view body);

}  // namespace kqz::server
