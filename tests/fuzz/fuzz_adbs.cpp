// Fuzzes the FireDAC stream decoder. Whatever decodes must encode again, and
// encoding is stable: write(read(write(t))) == write(t).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cloud/codec/adbs.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    kqz::codec::Dataset table;
    try {
        table = kqz::codec::ReadAdbs(bytes);
    } catch (const kqz::codec::CodecError&) {
        return 0;
    }
    std::string once;
    try {
        kqz::codec::FitStringSizes(table);
        once = kqz::codec::WriteAdbs(table);
    } catch (const kqz::codec::CodecError&) {
        return 0;  // e.g. a type we read but do not write, or NULL in a NOT NULL column
    }
    const std::string twice = kqz::codec::WriteAdbs(kqz::codec::ReadAdbs(once));
    if (once != twice) {
        __builtin_trap();
    }
    return 0;
}
