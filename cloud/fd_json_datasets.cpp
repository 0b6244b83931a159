#include "cloud/fd_json_datasets.hpp"

#include "cloud/codec/dataset_list.hpp"
#include "cloud/rest_error.hpp"

namespace kqz::cloud {

std::unique_ptr<TFDJSONDataSets> DecodeDataSetsBody(std::string_view body, std::size_t resultIndex,
                                                    int status) {
    try {
        auto located = codec::ScanResultBody(body, resultIndex);
        if (!located) {
            return nullptr;
        }
        auto list = std::make_unique<TFDJSONDataSets>();
        for (const auto& encoded : *located) {
            list->Add(encoded.name, codec::DecodeDataSet(encoded));
        }
        return list;
    } catch (const codec::CodecError& e) {
        throw ResponseFormatError(status, std::string("resposta do servidor ilegível: ") + e.what());
    }
}

std::string MarshalDataSets(const TFDJSONDataSets& list) {
    std::vector<codec::NamedDataset> sets;
    sets.reserve(list.Count());
    for (const auto& item : list.Items()) {
        sets.emplace_back(item.name, &item.dataset);
    }
    return codec::WriteMarshalledDataSets(sets);
}

}  // namespace kqz::cloud
