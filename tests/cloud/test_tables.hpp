#pragma once

// Small tables and server answers for the cloud client's tests, written with
// the codec so that they are real dataset lists.

#include <string>
#include <utility>
#include <vector>

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/dataset.hpp"
#include "cloud/codec/dataset_list.hpp"

namespace kqz::cloud::testing {

// A table of wide-string columns; "\N" stands for NULL.
inline codec::Dataset TextTable(const std::vector<std::string>& columns,
                                const std::vector<std::vector<std::string>>& rows) {
    codec::Dataset ds;
    ds.name = "qry";
    for (const auto& name : columns) {
        ds.columns.push_back(codec::Column{name, codec::DataType::WideString, 1, 0, 0, true});
    }
    for (const auto& cells : rows) {
        codec::Row row;
        for (const auto& cell : cells) {
            row.push_back(cell == "\\N" ? codec::Value{} : codec::Value{cell});
        }
        ds.rows.push_back(std::move(row));
    }
    codec::FitStringSizes(ds);
    return ds;
}

// {"result":[<list of the given tables, named qry, qry1...>]}
inline std::string ListBody(const std::vector<codec::Dataset>& tables) {
    std::vector<codec::NamedDataset> sets;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        sets.emplace_back(i == 0 ? "qry" : "qry" + std::to_string(i), &tables[i]);
    }
    return codec::WriteResultBody(sets);
}

inline std::string ListBody(const codec::Dataset& table) {
    return ListBody(std::vector<codec::Dataset>{table});
}

}  // namespace kqz::cloud::testing
