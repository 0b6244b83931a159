#pragma once

// Decoding a method's answer body while it arrives, without ever holding the
// body, its base64 text or its table whole.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/zlib.hpp"

namespace kqz::codec {

// Takes a response body {"result":[<dataset list>]} in pieces as they come
// off the network and hands the rows of its single dataset to a visitor.
//
// While the body arrives, every long JSON string is base64-decoded and
// inflated on the fly (which checks it and finds the FireDAC stream's name
// dictionary, at its end); its zlib bytes are kept in memory up to 8 MB and
// beyond that in an unnamed temporary file. Finish then decodes the stream
// from those bytes, inflating on a second thread, so any stream a FireDAC
// server may write decodes, wherever its dictionary is. Memory stays at a few
// MB whatever the answer's size; the temporary file holds the compressed
// bytes (about a tenth of the table).
class StreamingBodyDecoder {
  public:
    // `tempDir`: where a big answer's compressed bytes go (empty: the
    // system's temporary folder). `limit`: the ceiling of an inflated stream.
    explicit StreamingBodyDecoder(std::string tempDir = {}, std::uint64_t limit = kDefaultInflateLimit);
    ~StreamingBodyDecoder();
    StreamingBodyDecoder(const StreamingBodyDecoder&) = delete;
    StreamingBodyDecoder& operator=(const StreamingBodyDecoder&) = delete;

    // The next piece of the body. Throws CodecError on a body that cannot be
    // an answer (broken JSON string structure) or on a failing temporary file.
    void Feed(std::string_view piece);

    // Once the whole body was fed: hands the rows of the list's single
    // dataset to `visitor` (OnTable, OnRow per row, OnEnd). Throws CodecError
    // when the body is not an answer, carries an error, holds a null list or
    // a list of other than one dataset, or when the dataset does not decode;
    // rows handed over before such an error stay handed over.
    void Finish(AdbsVisitor& visitor);

    // Bytes of body fed so far.
    std::uint64_t BodyBytes() const;
    // Bytes of compressed stream kept so far (memory or temporary file).
    std::uint64_t SpooledBytes() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kqz::codec
