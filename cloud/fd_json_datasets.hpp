#pragma once

// TFDJSONDataSets: the dataset list a server method returns or receives,
// decoded (names and tables). The wire form is the codec's business.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/codec/dataset.hpp"

namespace kqz::cloud {

class TFDJSONDataSets {
  public:
    struct Item {
        std::string name;
        codec::Dataset dataset;
    };

    // Number of datasets in the list.
    std::size_t Count() const noexcept { return items_.size(); }
    // Name and table of dataset `index`; throws std::out_of_range past the end.
    const std::string& Name(std::size_t index) const { return items_.at(index).name; }
    const codec::Dataset& DataSet(std::size_t index) const { return items_.at(index).dataset; }
    codec::Dataset& DataSet(std::size_t index) { return items_.at(index).dataset; }
    // Moves dataset `index` out (its slot keeps an empty table); for callers
    // that keep the rows longer than the list without copying them.
    codec::Dataset TakeDataSet(std::size_t index) { return std::move(items_.at(index).dataset); }

    // Adds a dataset at the end of the list.
    void Add(std::string name, codec::Dataset dataset) {
        items_.push_back(Item{std::move(name), std::move(dataset)});
    }

    const std::vector<Item>& Items() const noexcept { return items_; }

  private:
    std::vector<Item> items_;
};

// Releases a returned dataset list only when the receiver owns it. A proxy
// that owns its instances hands out non-owning pointers (the list lives in the
// proxy's command until that method runs again or the proxy dies); a proxy
// that does not hands the list over to the caller.
struct DataSetsDeleter {
    bool owns = true;
    void operator()(TFDJSONDataSets* list) const noexcept {
        if (owns) {
            delete list;
        }
    }
};
using DataSetsPtr = std::unique_ptr<TFDJSONDataSets, DataSetsDeleter>;

// Decodes the dataset list in element `resultIndex` of a response body
// ({"result":[...]} or a bare array). `null` gives nullptr. Throws
// ResponseFormatError (with the codec's message and `status`) when the element
// is missing or does not decode.
std::unique_ptr<TFDJSONDataSets> DecodeDataSetsBody(std::string_view body, std::size_t resultIndex = 0,
                                                    int status = 200);

// The marshalled TFDJSONDataSets object for a request body (the form a server
// unmarshals into a TFDJSONDataSets parameter).
std::string MarshalDataSets(const TFDJSONDataSets& list);

}  // namespace kqz::cloud
