#pragma once

// The FireDAC stream decoder in pieces, for callers that inflate the stream
// while decoding it (internal to the codec).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/codec/adbs.hpp"

namespace kqz::codec::detail {

struct AdbsHeader {
    std::uint16_t version = 0;
    std::uint32_t dictionaryOffset = 0;
};

// Checks the 12 header bytes of a stream of `totalSize` bytes.
AdbsHeader ParseAdbsHeader(std::string_view header, std::uint64_t totalSize);

// Reads the name dictionary: `bytes` are the stream's bytes from
// `baseOffset` (the dictionary offset) to its end.
std::vector<std::string> ParseAdbsDictionary(std::string_view bytes, std::uint64_t baseOffset);

// A producer of the stream's bytes in order.
class PullSource {
  public:
    virtual ~PullSource() = default;
    // Writes up to `max` next bytes to `dst`; returns how many (0: no more).
    virtual std::size_t Pull(std::uint8_t* dst, std::size_t max) = 0;
};

// Decodes the object tree from `source`, which must be positioned right after
// the header; `treeEnd` is the dictionary offset.
void ReadAdbsTree(const std::vector<std::string>& dictionary, PullSource& source, std::uint64_t treeEnd,
                  AdbsVisitor& visitor);

// Collects a whole table from a visitor's calls.
class TableCollector : public AdbsVisitor {
  public:
    void OnTable(const Dataset& header) override;
    void OnRow(Row& row) override;
    void OnEnd(const Dataset& header) override;
    Dataset Take() { return std::move(table_); }

  private:
    Dataset table_;
};

}  // namespace kqz::codec::detail
