#pragma once

#include <map>
#include <string>
#include <vector>

#include "cloud/codec/dataset.hpp"
#include "cloud/mem_table.hpp"
#include "download/remote.hpp"

namespace kqz::download::testing {

// Answers SQL texts from a table of canned datasets; any other text fails and
// leaves the target as it was, as an unreachable server would.
class FakeRemote final : public ConsultaRemota {
  public:
    std::map<std::string, codec::Dataset> answers;
    std::vector<std::string> sent;

    bool SelectMemTable(const std::string& sql, cloud::MemTable& target) override {
        sent.push_back(sql);
        const auto it = answers.find(sql);
        if (it == answers.end()) {
            return false;
        }
        codec::Dataset copy = it->second;
        target.Close();
        target.AppendData(std::move(copy));
        return true;
    }
};

inline codec::Column Col(const char* name, codec::DataType type, std::int32_t size = 0) {
    codec::Column column;
    column.name = name;
    column.type = type;
    column.size = size;
    return column;
}
inline codec::Column Texto(const char* name) {
    return Col(name, codec::DataType::WideString, 200);
}
inline codec::Column Memo(const char* name) {
    return Col(name, codec::DataType::WideMemo);
}
inline codec::Column Inteiro(const char* name) {
    return Col(name, codec::DataType::Int64);
}

inline codec::Dataset Tabela(std::vector<codec::Column> columns, std::vector<codec::Row> rows = {}) {
    codec::Dataset ds;
    ds.name = "q";
    ds.columns = std::move(columns);
    ds.rows = std::move(rows);
    return ds;
}

// A one-column text dataset.
inline codec::Dataset Coluna(const char* name, const std::vector<std::string>& values) {
    codec::Dataset ds = Tabela({Texto(name)});
    for (const auto& value : values) {
        ds.rows.push_back({value});
    }
    return ds;
}

}  // namespace kqz::download::testing
