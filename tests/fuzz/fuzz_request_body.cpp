// Fuzzes the reading of a method call's body: the nesting count and the JSON
// parse into arguments. Whatever the bytes, the result is arguments or an
// std::invalid_argument; a body the count lets through never nests deeper
// than the bound.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "server/request_body.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const std::size_t depth = kqz::server::JsonNesting(body);
    if (depth > kqz::server::kMaxBodyNesting + 1)
        std::abort();
    try {
        // A call without parameters ({"_parameters":[]}) has no arguments.
        (void)kqz::server::BodyArguments(body);
        if (depth > kqz::server::kMaxBodyNesting)
            std::abort();
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
