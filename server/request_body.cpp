#include "server/request_body.hpp"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace kqz::server {
namespace {

using nlohmann::json;

// A JSON body value as a method argument: strings as they are, null as NULL,
// anything else as its JSON text.
std::optional<std::string> ArgumentFromJson(const json& v) {
    if (v.is_null())
        return std::nullopt;
    if (v.is_string())
        return v.get<std::string>();
    return v.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::size_t JsonNesting(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) {
                deepest = depth;
                if (deepest > limit)
                    return limit + 1;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::vector<std::optional<std::string>> BodyArguments(std::string_view body) {
    if (JsonNesting(body) > kMaxBodyNesting)
        throw std::invalid_argument("corpo da requisição aninhado demais");
    json parsed;
    try {
        parsed = json::parse(body);
    } catch (const json::exception&) {
        throw std::invalid_argument("corpo da requisição não é JSON válido");
    }
    std::vector<std::optional<std::string>> args;
    if (parsed.is_object() && parsed.contains("_parameters") && parsed["_parameters"].is_array()) {
        for (const auto& v : parsed["_parameters"])
            args.push_back(ArgumentFromJson(v));
    } else {
        args.push_back(ArgumentFromJson(parsed));
    }
    return args;
}

}  // namespace kqz::server
