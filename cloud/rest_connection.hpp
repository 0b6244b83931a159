#pragma once

// The REST connection to the application server: DataSnap REST over HTTP(S)
// through libcurl. It builds the URLs of server-method calls and cache items,
// sends the platform's headers, keeps the session id the server hands out and
// turns every answer that is not a success into a RestError.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cloud/rest_error.hpp"
#include "cloud/server_address.hpp"

namespace kqz::cloud {

class RestCommand;
namespace detail {
struct HttpExchange;
}

// One HTTP request of a call.
struct RestRequest {
    std::string method = "GET";  // "GET", "POST", "PUT" or "DELETE"
    std::string url;             // complete URL (see RestConnection::MethodUrl / CacheUrl)
    std::string body;            // sent for POST and PUT
    std::string accept = "application/JSON";
};

// A successful answer (status 200, 201 or 202).
struct RestReply {
    int status = 0;
    std::string reason;       // reason phrase of the status line ("OK")
    std::string contentType;  // Content-Type header, as sent
    std::string body;
};

// Percent-encodes one URL path segment as UTF-8: every byte except the
// letters, digits and "-._~" becomes %XX, so a blank is %20, "/" is %2F and
// "%" is %25. An empty text gives an empty segment.
std::string EncodeUrlSegment(std::string_view text);

// Turns a command text into its URL path: the first "." becomes "/" and every
// `"` becomes %22 ("TServerMethods1.\"IncluirPedido\"" ->
// "TServerMethods1/%22IncluirPedido%22").
std::string CommandPath(std::string_view commandText);

// Reads the session id out of a Pragma header value
// ("dssession=123.4,dssessionexpires=1200000" -> "123.4"); empty when the
// value carries none.
std::string SessionIdFromPragma(std::string_view pragma);

// Throws the error a non-success answer stands for: {"error":"msg"} and a
// bare JSON string give a RestError with the server's text,
// {"SessionExpired":"msg"} a SessionExpiredError, anything else (plain text,
// an HTML page) a RestError with the status, the reason phrase and a short
// extract of the text.
[[noreturn]] void ThrowReplyError(int status, std::string_view reason, std::string_view body);

class RestConnection {
  public:
    // A connection to localhost:8080 with the platform's default contexts.
    RestConnection();
    // A connection to the given server (protocol, host, port and URL path).
    explicit RestConnection(const ServerAddress& address);
    ~RestConnection();
    RestConnection(const RestConnection&) = delete;
    RestConnection& operator=(const RestConnection&) = delete;

    // Settings, with the platform's names and defaults.
    std::string Protocol = "http";
    std::string Host = "localhost";
    int Port = kDefaultPort;
    std::string Context = "datasnap/";
    std::string RESTContext = "rest/";
    std::string CacheContext = "cache/";
    std::string UrlPath;
    long ConnectTimeoutMs = 15'000;  // establishing the TCP/TLS connection
    long TimeoutMs = 600'000;        // whole exchange; answers can be 150 MB
    // An answer larger than this is refused (protects against a runaway server).
    std::size_t MaxResponseBytes = std::size_t{1} << 31;
    // HTTPS: the server's certificate is always verified against the
    // system's store; this PEM file of CA certificates (else the file that
    // $KQZ_CA names) is trusted besides. There is no way to turn the check off.
    std::string CaFile;

    // The DataSnap session id: taken from the `Pragma: dssession=` header of
    // every answer and sent back with each request. Empty before the first answer.
    const std::string& SessionId() const noexcept { return sessionId_; }
    void SetSessionId(std::string id) { sessionId_ = std::move(id); }
    void ClearSession() { sessionId_.clear(); }

    // A new command on this connection; the caller owns it.
    std::unique_ptr<RestCommand> CreateCommand();

    // "protocol://host:port[/UrlPath]/"
    std::string BaseUrl() const;
    // URL of a server-method call: BaseUrl + Context + RESTContext +
    // CommandPath(commandText) + "/" + one encoded segment and "/" per
    // argument, then "?" + filter when the filter is not empty.
    std::string MethodUrl(std::string_view commandText, const std::vector<std::string>& arguments,
                          std::string_view requestFilter = {}) const;
    // URL of a cached item: BaseUrl + Context + CacheContext + reference, then
    // "?" + filter when the filter is not empty.
    std::string CacheUrl(std::string_view reference, std::string_view requestFilter = {}) const;

    // Sends one request and returns the successful answer. A SessionExpired
    // answer drops the session id and repeats the request once. Throws
    // TransportError when the server is not reached, RestError (with the
    // server's text) for any other failure.
    RestReply Call(const RestRequest& request);

    // Like Call, but the body of a successful answer goes to `body` piece by
    // piece as it arrives (the reply's body stays empty): nothing holds it
    // whole. An error answer is read whole and thrown as Call throws it (a
    // SessionExpired answer is repeated once, as nothing reached `body`).
    // What `body` throws aborts the transfer and reaches the caller; a
    // success answer that reports an error inside its body is for `body`'s
    // reader to find.
    RestReply CallStreaming(const RestRequest& request, const std::function<void(std::string_view)>& body);

    // Number of HTTP exchanges sent so far (retries included).
    std::uint64_t RequestCount() const noexcept { return requestCount_; }

  private:
    void Perform(const RestRequest& request, detail::HttpExchange& exchange);

    void* curl_ = nullptr;  // CURL easy handle, kept for connection reuse
    std::string sessionId_;
    std::uint64_t requestCount_ = 0;
};

}  // namespace kqz::cloud
