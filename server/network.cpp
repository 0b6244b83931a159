#include "server/network.hpp"

#include <arpa/inet.h>

#include <cstring>
#include <optional>
#include <stdexcept>

namespace kqz::server {
namespace {

std::optional<std::array<std::uint8_t, 16>> ParseAddress(const std::string& text, bool& wasV4) {
    std::array<std::uint8_t, 16> out{};
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        wasV4 = true;
        out[10] = 0xFF;
        out[11] = 0xFF;
        std::memcpy(out.data() + 12, &v4, 4);
        return out;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        wasV4 = false;
        std::memcpy(out.data(), &v6, 16);
        return out;
    }
    return std::nullopt;
}

}  // namespace

Cidr Cidr::Parse(const std::string& text) {
    const auto slash = text.find('/');
    const std::string address = text.substr(0, slash);
    bool v4 = false;
    const auto bytes = ParseAddress(address, v4);
    if (!bytes)
        throw std::invalid_argument("endereço de rede inválido: " + text);
    Cidr c;
    c.bytes_ = *bytes;
    c.text_ = text;
    const int maxBits = v4 ? 32 : 128;
    int bits = maxBits;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            throw std::invalid_argument("prefixo de rede inválido: " + text);
        }
        bits = std::stoi(digits);
        if (bits > maxBits)
            throw std::invalid_argument("prefixo de rede maior que " + std::to_string(maxBits) + ": " + text);
    }
    c.bits_ = v4 ? bits + 96 : bits;
    return c;
}

bool Cidr::Contains(const std::string& address) const {
    bool v4 = false;
    const auto bytes = ParseAddress(address, v4);
    if (!bytes)
        return false;
    int left = bits_;
    for (std::size_t i = 0; i < 16 && left > 0; ++i, left -= 8) {
        const int take = left >= 8 ? 8 : left;
        const auto mask = static_cast<std::uint8_t>(0xFFu << (8 - take));
        if (((*bytes)[i] & mask) != (bytes_[i] & mask))
            return false;
    }
    return true;
}

bool InAnyRange(const std::vector<Cidr>& ranges, const std::string& address) {
    for (const auto& r : ranges) {
        if (r.Contains(address))
            return true;
    }
    return false;
}

std::vector<Cidr> LoopbackRanges() {
    return {Cidr::Parse("127.0.0.0/8"), Cidr::Parse("::1")};
}

}  // namespace kqz::server
