#include "cloud/server_address.hpp"

#include <charconv>
#include <cstdlib>
#include <stdexcept>

namespace kqz::cloud {
namespace {

[[noreturn]] void Invalid(std::string_view url, const std::string& why) {
    throw std::invalid_argument("endereço do servidor inválido \"" + std::string(url) + "\": " + why);
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = Lower(c);
    }
    return out;
}

}  // namespace

ServerAddress ParseServerUrl(std::string_view url) {
    ServerAddress address;
    std::string_view rest = url;
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) {
        rest.remove_prefix(1);
    }
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) {
        rest.remove_suffix(1);
    }
    if (rest.empty()) {
        Invalid(url, "vazio");
    }
    if (const auto scheme = rest.find("://"); scheme != std::string_view::npos) {
        address.protocol = LowerAscii(rest.substr(0, scheme));
        if (address.protocol != "http" && address.protocol != "https") {
            Invalid(url, "o protocolo deve ser http ou https");
        }
        rest.remove_prefix(scheme + 3);
    }
    if (rest.find_first_of("?#") != std::string_view::npos) {
        Invalid(url, "não pode ter consulta (?) nem fragmento (#)");
    }
    std::string_view authority = rest.substr(0, rest.find('/'));
    std::string_view path =
        authority.size() < rest.size() ? rest.substr(authority.size()) : std::string_view{};
    if (authority.find('@') != std::string_view::npos) {
        Invalid(url, "usuário e senha no endereço não são aceitos");
    }

    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            Invalid(url, "falta \"]\" no endereço IPv6");
        }
        address.host = std::string(authority.substr(1, close - 1));
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                Invalid(url, "texto inesperado depois do endereço IPv6");
            }
            portText = after.substr(1);
            if (portText.empty()) {
                Invalid(url, "porta vazia");
            }
        }
    } else {
        const auto colon = authority.find(':');
        address.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
            if (portText.empty()) {
                Invalid(url, "porta vazia");
            }
        }
    }
    if (address.host.empty()) {
        Invalid(url, "falta o nome do servidor");
    }
    for (char c : address.host) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '\\' || c == '%' || c == '"') {
            Invalid(url, "caractere inválido no nome do servidor");
        }
    }
    if (!portText.empty()) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
        if (ec != std::errc{} || end != portText.data() + portText.size() || value == 0 || value > 65535) {
            Invalid(url, "a porta deve ser um número de 1 a 65535");
        }
        address.port = static_cast<std::uint16_t>(value);
    }
    while (!path.empty() && path.front() == '/') {
        path.remove_prefix(1);
    }
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    for (char c : path) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\\' || c == '"') {
            Invalid(url, "caractere inválido no caminho");
        }
    }
    address.urlPath = std::string(path);
    return address;
}

std::string ResolveServerUrl(std::string_view option) {
    if (!option.empty()) {
        return std::string(option);
    }
    if (const char* env = std::getenv(kServerEnvironmentVariable); env != nullptr && *env != '\0') {
        return env;
    }
    return std::string(kDefaultServerUrl);
}

ServerAddress ResolveServerAddress(std::string_view option) {
    return ParseServerUrl(ResolveServerUrl(option));
}

std::string FormatServerUrl(const ServerAddress& address) {
    std::string url = address.protocol + "://";
    if (address.host.find(':') != std::string::npos) {
        url += "[" + address.host + "]";
    } else {
        url += address.host;
    }
    url += ":" + std::to_string(address.port);
    if (!address.urlPath.empty()) {
        url += "/" + address.urlPath;
    }
    return url;
}

}  // namespace kqz::cloud
