#pragma once

// Tuning hook of the dataset decoder (internal to the codec, used by tests).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/codec/dataset_list.hpp"

namespace kqz::codec::detail {

// Streams whose inflated size is at most this are decoded from memory in one pass.
inline constexpr std::uint64_t kOnePassLimit = std::uint64_t{8} << 20;

// DecodeDataSet with the one-pass threshold given (0: always inflate twice).
void DecodeDataSetWith(const EncodedDataSet& ds, AdbsVisitor& visitor, std::uint64_t limit,
                       std::uint64_t onePassLimit);

// ScanResultBody for a body whose long strings were lifted out while it
// arrived: `text` is the body with each lifted string replaced by the JSON
// string "\u0001<n>", `strings[n]` the raw inside of string n (or the part of
// it that was kept). The EncodedDataSet texts point into `strings`.
std::optional<std::vector<EncodedDataSet>> ScanResultSkeleton(std::string text,
                                                              std::vector<std::string_view> strings,
                                                              std::size_t resultIndex);

// Decodes a stream whose zlib bytes were checked whole by a first pass that
// also read its header and name dictionary: `read` appends up to `max` next
// zlib bytes to `out` and returns how many (0 at the end). Inflates on a
// thread of its own while the rows are decoded.
void DecodeCheckedStream(const std::function<std::size_t(std::string& out, std::size_t max)>& read,
                         const std::vector<std::string>& names, std::uint64_t dictionaryOffset,
                         AdbsVisitor& visitor);

}  // namespace kqz::codec::detail
