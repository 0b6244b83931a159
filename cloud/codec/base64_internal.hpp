#pragma once

// Streaming pieces of the base64 code (internal to the codec).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kqz::codec::detail {

// Decodes base64 text into `out`. With `jsonEscaped` the text is the raw
// inside of a JSON string: the escapes \r \n \t \/ and \uXXXX are resolved on
// the way. Whitespace (CR, LF, TAB, blank) is skipped; anything else throws
// CodecError naming the offset within `text`.
void Base64DecodeInto(std::string_view text, bool jsonEscaped, std::string& out);

// Decodes base64 text piece by piece (same rules as Base64DecodeInto), so
// that its bytes never have to be held whole.
class Base64Reader {
  public:
    Base64Reader(std::string_view text, bool jsonEscaped);
    // Appends about `maxBytes` (at least 1, at most maxBytes + 2) next bytes to
    // `out`; returns how many, 0 once the text is used up.
    std::size_t Read(std::string& out, std::size_t maxBytes);

  private:
    std::string_view text_;
    bool jsonEscaped_;
    std::size_t pos_ = 0;
    std::uint32_t acc_ = 0;
    int have_ = 0;     // sextets in acc_
    int padding_ = 0;  // "=" seen
};

// Encodes a stream of bytes that arrives in pieces, appending the text to
// `out`; after every `lineLength` characters (0: never) it appends
// `separator` (e.g. "\r\n", or its JSON-escaped form).
class Base64Writer {
  public:
    Base64Writer(std::string& out, std::size_t lineLength, std::string_view separator);
    void Write(std::string_view data);
    // Writes the last partial group with "=" padding.
    void Finish();
    // Characters of the decoded text so far, counting each line break as the
    // two characters CR LF.
    std::uint64_t TextLength() const { return chars_ + 2 * breaks_; }

  private:
    void PutGroup(const unsigned char* p);
    void PutChars(const char* chars, std::size_t n);

    std::string& out_;
    std::size_t lineLength_;
    std::string separator_;
    unsigned char pending_[3] = {};
    std::size_t pendingSize_ = 0;
    std::size_t column_ = 0;
    std::uint64_t chars_ = 0;
    std::uint64_t breaks_ = 0;
};

}  // namespace kqz::codec::detail
