// Fuzzes base64 decoding and zlib inflating. Whatever decodes must encode
// and decode back to itself.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cloud/codec/base64.hpp"
#include "cloud/codec/zlib.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        const std::string decoded = kqz::codec::Base64Decode(input);
        if (kqz::codec::Base64Decode(kqz::codec::Base64Encode(decoded)) != decoded) {
            __builtin_trap();
        }
    } catch (const kqz::codec::CodecError&) {
    }
    try {
        const std::string inflated = kqz::codec::ZlibDecompress(input, std::uint64_t{16} << 20);
        if (kqz::codec::ZlibDecompress(kqz::codec::ZlibCompress(inflated, 1)) != inflated) {
            __builtin_trap();
        }
    } catch (const kqz::codec::CodecError&) {
    }
    return 0;
}
