#pragma once

// Inflating from input that arrives in pieces (internal to the codec).

#include <cstdint>
#include <functional>
#include <string_view>

namespace kqz::codec::detail {

// Inflates one zlib stream whose bytes `input` hands over piece by piece (an
// empty piece: no more), checking header and Adler-32; the output goes to
// `sink`. Same errors as ZlibInflateTo. Returns the inflated length.
std::uint64_t InflateFrom(const std::function<std::string_view()>& input,
                          const std::function<void(std::string_view)>& sink, std::uint64_t limit);

}  // namespace kqz::codec::detail
