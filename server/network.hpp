#pragma once

// Address ranges the operator names on the command line (--admin-from,
// --trusted-proxy) and the test whether a peer falls inside one.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kqz::server {

// One IPv4 or IPv6 range. IPv4 is kept as an IPv4-mapped IPv6 address, so
// "127.0.0.0/8" also covers a peer written "::ffff:127.0.0.1".
class Cidr {
  public:
    // Parses "ADDR/BITS" or a bare "ADDR" (a single host). Throws
    // std::invalid_argument with a Portuguese message on anything else.
    static Cidr Parse(const std::string& text);

    // True when `address` (textual IPv4 or IPv6, as a socket reports it) is
    // inside the range; false for anything that does not parse.
    bool Contains(const std::string& address) const;

    const std::string& Text() const { return text_; }

  private:
    std::array<std::uint8_t, 16> bytes_{};
    int bits_ = 128;
    std::string text_;
};

// True when `address` is inside any of `ranges`.
bool InAnyRange(const std::vector<Cidr>& ranges, const std::string& address);

// Loopback ranges: 127.0.0.0/8 and ::1.
std::vector<Cidr> LoopbackRanges();

}  // namespace kqz::server
