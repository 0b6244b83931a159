#pragma once

// Shared by the FireDAC stream reader and writer (internal to the codec).

#include <cstdint>
#include <optional>
#include <string_view>

#include "cloud/codec/dataset.hpp"

namespace kqz::codec::detail {

inline constexpr std::uint16_t kAdbsVersion = 15;
inline constexpr std::size_t kAdbsHeaderSize = 12;
inline constexpr std::uint8_t kObjectBegin = 0xFF;
inline constexpr std::uint8_t kObjectEnd = 0xFE;

std::optional<DataType> DataTypeFromName(std::string_view name);
bool IsWideText(DataType type);   // UTF-16LE in the stream
bool IsAnsiText(DataType type);   // Windows-1252 in the stream
bool IsByteData(DataType type);   // raw bytes with a length
bool HasBlobData(DataType type);  // columns that carry the BlobData attribute

// Days of a proleptic Gregorian date counted as FireDAC does (0001-01-01 = 1),
// and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d);
void CivilFromDays(std::int64_t days, std::int64_t& y, unsigned& m, unsigned& d);

}  // namespace kqz::codec::detail
