#pragma once

#include <stdexcept>
#include <string>

namespace kqz::summary {

// A failure of the reader, the report or the report file. The message is in
// Portuguese and names the file, element or document that failed.
class ResumoError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace kqz::summary
