#pragma once

// Failures of a call to the application server. Every failure of the cloud
// client is a RestError: the HTTP status tells where it came from (0 when the
// server was never reached or the transfer broke), the message carries the
// server's own text whenever it sent one.

#include <stdexcept>
#include <string>
#include <utility>

namespace kqz::cloud {

class RestError : public std::runtime_error {
  public:
    // `status` is the HTTP status (0 for transport failures); `serverText` is
    // the message the server gave (its error text, or a short extract of a page).
    RestError(int status, const std::string& message, std::string serverText = {})
        : std::runtime_error(message), status_(status), serverText_(std::move(serverText)) {}

    int Status() const noexcept { return status_; }
    const std::string& ServerText() const noexcept { return serverText_; }

  private:
    int status_;
    std::string serverText_;
};

// The server could not be reached or the transfer failed (refused, time-out,
// name not resolved, answer too large...). Status 0; the message is curl's.
class TransportError : public RestError {
  public:
    explicit TransportError(const std::string& message) : RestError(0, message) {}
};

// The server no longer knows our session (403 {"SessionExpired":...}). The
// connection drops its session id and repeats the call once before letting
// this through.
class SessionExpiredError : public RestError {
  public:
    SessionExpiredError(const std::string& message, std::string serverText)
        : RestError(403, message, std::move(serverText)) {}
};

// The answer came with a success status but its content is not what the call
// expects (no "result", wrong type, a dataset list that does not decode).
class ResponseFormatError : public RestError {
  public:
    ResponseFormatError(int status, const std::string& message) : RestError(status, message) {}
};

}  // namespace kqz::cloud
