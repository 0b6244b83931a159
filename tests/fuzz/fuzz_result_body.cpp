// Fuzzes the response-body scanner and the dataset decoder (base64, zlib and
// the FireDAC stream, in one pass and in two).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cloud/codec/dataset_list.hpp"
#include "cloud/codec/dataset_list_internal.hpp"

namespace {

struct Discard : kqz::codec::AdbsVisitor {
    void OnTable(const kqz::codec::Dataset&) override {}
    void OnRow(kqz::codec::Row&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    constexpr std::uint64_t kLimit = std::uint64_t{64} << 20;
    try {
        const auto list = kqz::codec::ScanDataSetJson(body);
        if (!list)
            return 0;
        for (const auto& ds : *list) {
            try {
                kqz::codec::DecodeDataSet(ds, kLimit);
            } catch (const kqz::codec::CodecError&) {
            }
            try {
                Discard discard;
                kqz::codec::detail::DecodeDataSetWith(ds, discard, kLimit, 0);
            } catch (const kqz::codec::CodecError&) {
            }
        }
    } catch (const kqz::codec::CodecError&) {
    }
    return 0;
}
