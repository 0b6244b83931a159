#pragma once

// Tuning hook of the dataset decoder (internal to the codec, used by tests).

#include <cstdint>

#include "cloud/codec/dataset_list.hpp"

namespace kqz::codec::detail {

// Streams whose inflated size is at most this are decoded from memory in one pass.
inline constexpr std::uint64_t kOnePassLimit = std::uint64_t{8} << 20;

// DecodeDataSet with the one-pass threshold given (0: always inflate twice).
void DecodeDataSetWith(const EncodedDataSet& ds, AdbsVisitor& visitor, std::uint64_t limit,
                       std::uint64_t onePassLimit);

}  // namespace kqz::codec::detail
