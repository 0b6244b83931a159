#pragma once

#include <stdexcept>
#include <string>

namespace kqz::codec {

// Every failure of the codec: bad input (truncated, corrupt or unsupported
// data) or a value the wire format cannot carry. The message is Portuguese
// and names what failed and where (byte offset, row, column).
class CodecError : public std::runtime_error {
  public:
    explicit CodecError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kqz::codec
