// Client side of a month's download: one SelectCloud answer with N document
// rows (about 5.7 KB of XML each) over loopback HTTP, decoded and loaded into
// a MemTable; and the decode alone, without HTTP.
//
//   bench_cloud --benchmark_filter=. --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <map>
#include <random>
#include <string>

#include "cloud/codec/dataset_list.hpp"
#include "cloud/fd_json_datasets.hpp"
#include "cloud/remote_query.hpp"
#include "tests/cloud/fake_server.hpp"

namespace {

using namespace kqz;

// The documents query's answer for `rows` coupons.
const std::string& DocumentsBody(std::size_t rows) {
    static std::map<std::size_t, std::string> cache;
    auto& body = cache[rows];
    if (!body.empty()) {
        return body;
    }
    codec::Dataset ds;
    ds.name = "qry";
    ds.columns = {
        {"AD_CNPJ", codec::DataType::WideString, 14},   {"AD_DATA", codec::DataType::WideString, 4},
        {"AD_NUMERO", codec::DataType::WideString, 80}, {"AD_VALOR", codec::DataType::FmtBCD, 0, 18, 2},
        {"AD_XML", codec::DataType::WideMemo},          {"X_NUMERO", codec::DataType::WideString, 6}};
    // Items vary from coupon to coupon (codes, names, values) so that the
    // answer compresses about as well as real coupons do.
    std::mt19937 random(12345);
    auto digits = [&random](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += static_cast<char>('0' + random() % 10);
        }
        return text;
    };
    auto letters = [&random](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += static_cast<char>('A' + random() % 26);
        }
        return text;
    };
    for (std::size_t r = 0; r < rows; ++r) {
        const std::string number = std::to_string(100000 + r);
        const std::string key = "CFe3524031122233300018159000" + digits(10) + number + digits(6);
        std::string xml = "<?xml version=\"1.0\"?><CFe><infCFe Id=\"" + key + "\">";
        for (int i = 0; i < 30; ++i) {
            xml += "<det nItem=\"" + std::to_string(i + 1) + "\"><prod><cProd>" + digits(13) +
                   "</cProd><xProd>" + letters(24) + " ÇÃO</xProd><NCM>" + digits(8) + "</NCM><CFOP>5" +
                   digits(3) + "</CFOP><uCom>UN</uCom><qCom>1.0000</qCom><vUnCom>" + digits(2) + "." +
                   digits(2) + "</vUnCom><vProd>" + digits(2) + "." + digits(2) + "</vProd></prod></det>";
        }
        xml += "</infCFe></CFe>";
        ds.rows.push_back({std::string("11222333000181"), std::string("2403"), "CFe" + key + "-VD",
                           codec::Decimal{digits(3) + ".50"}, std::move(xml), number});
    }
    body = codec::WriteResultBody({{"qry", &ds}});
    return body;
}

void BM_SelectMemTable(benchmark::State& state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    const std::string& body = DocumentsBody(rows);
    cloud::testing::FakeServer server(cloud::testing::Always({200, body}));
    cloud::RestConnection connection(cloud::ParseServerUrl(server.Url()));
    cloud::RemoteQuery helper(connection);
    cloud::MemTable table("mem_ArquivosXML");
    for (auto _ : state) {
        if (!helper.SelectMemTable("SELECT * FROM KQZ_SAD", table)) {
            state.SkipWithError(helper.LastError().c_str());
            break;
        }
        benchmark::DoNotOptimize(table.RecordCount());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
    state.counters["body_MB"] = static_cast<double>(body.size()) / 1e6;
}
BENCHMARK(BM_SelectMemTable)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeBody(benchmark::State& state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    const std::string& body = DocumentsBody(rows);
    for (auto _ : state) {
        auto list = cloud::DecodeDataSetsBody(body);
        benchmark::DoNotOptimize(list->DataSet(0).rows.size());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_DecodeBody)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
