#pragma once

// zlib format (RFC 1950: header, deflate data, Adler-32) as TFDJSONDataSets
// uses it around each dataset stream.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "cloud/codec/error.hpp"

namespace kqz::codec {

// The default ceiling of an inflate: 4 GiB.
inline constexpr std::uint64_t kDefaultInflateLimit = std::uint64_t{4} << 30;

// Compresses `data` into one zlib stream at `level` (0-9; 1 is fast, 6 is
// zlib's default). Throws CodecError for a level outside 0-9.
std::string ZlibCompress(std::string_view data, int level = 6);

// Inflates one zlib stream, checking the header and the Adler-32. Throws
// CodecError on a corrupt or truncated stream, a wrong checksum, bytes after
// the end of the stream, or an output that would exceed `limit` bytes.
std::string ZlibDecompress(std::string_view data, std::uint64_t limit = kDefaultInflateLimit);

// Inflates like ZlibDecompress but hands the output to `sink` in pieces
// instead of keeping it. Returns the total inflated length.
std::uint64_t ZlibInflateTo(std::string_view data, const std::function<void(std::string_view)>& sink,
                            std::uint64_t limit = kDefaultInflateLimit);

// Compresses a stream that arrives in pieces into one zlib stream, handing the
// compressed bytes to `out` as they come. With `threads` > 1 blocks of input
// are deflated on that many threads at once and joined into a single valid
// zlib stream (slightly larger than a one-thread stream at the same level).
class ZlibWriter {
  public:
    ZlibWriter(int level, std::function<void(std::string_view)> out, unsigned threads = 1);
    ~ZlibWriter();
    ZlibWriter(const ZlibWriter&) = delete;
    ZlibWriter& operator=(const ZlibWriter&) = delete;

    void Write(std::string_view data);
    // Ends the stream (deflate end and Adler-32). Must be called once.
    void Finish();

  private:
    struct Impl;
    Impl* impl_;
};

}  // namespace kqz::codec
