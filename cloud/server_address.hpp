#pragma once

// Where the application server is. The programs have it compiled in
// (localhost, port 8080); a `--server URL` option or the KQZ_SERVER
// environment variable points them elsewhere.

#include <cstdint>
#include <string>
#include <string_view>

namespace kqz::cloud {

inline constexpr std::string_view kDefaultServerUrl = "http://localhost:8080";
inline constexpr std::uint16_t kDefaultPort = 8080;
inline constexpr const char* kServerEnvironmentVariable = "KQZ_SERVER";

struct ServerAddress {
    std::string protocol = "http";  // "http" or "https"
    std::string host = "localhost";
    std::uint16_t port = kDefaultPort;
    std::string urlPath;  // path before the DataSnap context, without leading or trailing "/"
    friend bool operator==(const ServerAddress&, const ServerAddress&) = default;
};

// Parses "http://host:port", "https://host:port/path" (also "host:port" and
// "[::1]:port"). A missing scheme means http, a missing port means 8080.
// Throws std::invalid_argument, naming the text, for anything else (another
// scheme, empty host, a port that is not 1-65535, user info, query or fragment).
ServerAddress ParseServerUrl(std::string_view url);

// The server URL a program should use: `option` when given (non-empty), else
// the KQZ_SERVER environment variable when set and non-empty, else the
// compiled-in default.
std::string ResolveServerUrl(std::string_view option = {});

// ParseServerUrl(ResolveServerUrl(option)).
ServerAddress ResolveServerAddress(std::string_view option = {});

// The address back as a URL ("http://host:8080" or "https://host:8443/path").
std::string FormatServerUrl(const ServerAddress& address);

}  // namespace kqz::cloud
