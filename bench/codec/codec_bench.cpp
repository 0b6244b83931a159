// A busy store's month through the codec: 100,000 documents of 5-6 KB of XML.
// Server side: table -> FireDAC stream -> zlib -> base64 -> response body.
// Client side: response body -> table, whole or row by row.
//
// Counters: MB/s of the FireDAC stream (the UTF-16 table) in wall time, body
// size, and the peak resident memory of the measured step (VmHWM, reset
// before the step) next to the resident memory it started from. Run one
// benchmark per process (--benchmark_filter) for clean memory figures.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "cloud/codec/codec.hpp"

namespace {

using namespace kqz::codec;

// Resident memory figures of this process, in MB ("VmHWM" = peak, "VmRSS" = now).
double StatusMb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::stod(line.substr(std::strlen(key) + 1)) / 1024.0;  // kB
        }
    }
    return 0;
}

// Starts a new peak (Linux: writing 5 to clear_refs resets VmHWM).
void ResetPeak() {
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (f != nullptr) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

std::uint32_t Next(std::uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
}

// A CF-e-like document of about 5.5 KB, different numbers in each.
std::string Document(std::size_t n, std::uint32_t& seed) {
    char key[64];
    std::snprintf(key, sizeof key, "3521031234567800019559%09u%09zu%04u", 900001234u, n % 1000000000,
                  Next(seed) % 10000);
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><CFe><infCFe Id=\"CFe" + std::string(key) +
        "\" versao=\"0.08\"><ide><cUF>35</cUF><cNF>" + std::to_string(Next(seed) % 1000000) +
        "</cNF><mod>59</mod><nserieSAT>900001234</nserieSAT><nCFe>" + std::to_string(n % 1000000) +
        "</nCFe><dEmi>20210315</dEmi><hEmi>" + std::to_string(100000 + Next(seed) % 130000) +
        "</hEmi></ide><emit><CNPJ>12345678000195</CNPJ><xNome>Padaria e Confeitaria São João"
        "</xNome><enderEmit><xLgr>Rua das Acácias</xLgr><nro>100</nro><xBairro>Centro</xBairro>"
        "<xMun>São Paulo</xMun><CEP>01001000</CEP></enderEmit><IE>111111111111</IE></emit><dest/>";
    double total = 0;
    for (int item = 1; xml.size() < 5200; ++item) {
        const double price = static_cast<double>(Next(seed) % 5000) / 100.0 + 0.5;
        const unsigned qty = 1 + Next(seed) % 4;
        total += price * qty;
        char det[700];
        std::snprintf(
            det, sizeof det,
            "<det nItem=\"%d\"><prod><cProd>%06u</cProd><cEAN>789%010u</cEAN><xProd>PRODUTO %u "
            "SABOR %u</xProd><NCM>19059090</NCM><CFOP>%u</CFOP><uCom>UN</uCom><qCom>%u.0000</qCom>"
            "<vUnCom>%.2f</vUnCom><vProd>%.2f</vProd><indRegra>A</indRegra><vItem>%.2f</vItem></prod>"
            "<imposto><ICMS><ICMS00><Orig>0</Orig><CST>00</CST><pICMS>18.00</pICMS><vICMS>%.2f</vICMS>"
            "</ICMS00></ICMS><PIS><PISAliq><CST>01</CST><vBC>%.2f</vBC><pPIS>0.6500</pPIS></PISAliq>"
            "</PIS></imposto></det>",
            item, Next(seed) % 1000000, Next(seed) % 1000000000, Next(seed) % 500, Next(seed) % 20,
            Next(seed) % 3 == 0 ? 5405u : 5102u, qty, price, price * qty, price * qty, price * qty * 0.18,
            price * qty);
        xml += det;
    }
    char tail[200];
    std::snprintf(tail, sizeof tail,
                  "<total><vCFe>%.2f</vCFe></total><pgto><MP><cMP>01</cMP><vMP>%.2f</vMP>"
                  "</MP></pgto></infCFe></CFe>",
                  total, total);
    xml += tail;
    return xml;
}

Dataset Month(std::size_t rows) {
    Dataset ds;
    ds.name = "qry";
    ds.columns = {
        Column{"AD_CNPJ", DataType::WideString, 14},   Column{"AD_DATA", DataType::Date},
        Column{"AD_NUMERO", DataType::WideString, 64}, Column{"AD_VALOR", DataType::FmtBCD, 0, 15, 2},
        Column{"AD_XML", DataType::WideMemo},          Column{"X_NUMERO", DataType::WideString, 6}};
    ds.rows.reserve(rows);
    std::uint32_t seed = 42;
    for (std::size_t n = 0; n < rows; ++n) {
        char number[80];
        std::snprintf(number, sizeof number, "CFe3521031234567800019559900001234%06zu%04u-VD", n % 1000000,
                      Next(seed) % 10000);
        char value[32];
        std::snprintf(value, sizeof value, "%u.%02u", Next(seed) % 900 + 1, Next(seed) % 100);
        char x[24];
        std::snprintf(x, sizeof x, "%06zu", n % 1000000);
        ds.rows.push_back(Row{std::string("12345678000195"), Date{737865 + static_cast<std::int32_t>(n % 31)},
                              std::string(number), Decimal{value}, Document(n, seed), std::string(x)});
    }
    return ds;
}

std::uint64_t StreamSize(const Dataset& ds) {
    struct Count : ByteSink {
        std::uint64_t n = 0;
        void Write(std::string_view b) override { n += b.size(); }
    } count;
    WriteAdbs(ds, count);
    return count.n;
}

// args: rows, zlib level, deflate threads
void BM_ServerEncodeBody(benchmark::State& state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    const WriteOptions options{static_cast<int>(state.range(1)), static_cast<unsigned>(state.range(2))};
    const Dataset month = Month(rows);
    const double stream = static_cast<double>(StreamSize(month));
    const double before = StatusMb("VmRSS:");
    ResetPeak();
    std::size_t body = 0;
    for (auto _ : state) {
        const std::string text = WriteResultBody({{"qry", &month}}, options);
        body = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["stream_MB/s"] =
        benchmark::Counter(stream / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["stream_MB"] = stream / 1e6;
    state.counters["body_MB"] = static_cast<double>(body) / 1e6;
    state.counters["rss_before_MB"] = before;
    state.counters["peak_MB"] = StatusMb("VmHWM:");
}
BENCHMARK(BM_ServerEncodeBody)
    ->ArgNames({"rows", "level", "threads"})
    ->Args({100000, 1, 1})
    ->Args({100000, 1, 2})
    ->Args({100000, 6, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// The body the client receives (level 1, two threads), built once; the table
// it came from is freed before measuring.
const std::string& MonthBody(std::size_t rows, double& stream) {
    static std::string body;
    static double streamSize = 0;
    static std::size_t builtFor = 0;
    if (builtFor != rows) {
        const Dataset month = Month(rows);
        streamSize = static_cast<double>(StreamSize(month));
        body = WriteResultBody({{"qry", &month}}, WriteOptions{1, 2});
        builtFor = rows;
    }
    malloc_trim(0);  // give the table's memory back, so that it does not hide the decode's
    stream = streamSize;
    return body;
}

void BM_ClientDecodeWholeTable(benchmark::State& state) {
    double stream = 0;
    const std::string& body = MonthBody(static_cast<std::size_t>(state.range(0)), stream);
    const double before = StatusMb("VmRSS:");
    ResetPeak();
    for (auto _ : state) {
        const auto list = ScanResultBody(body);
        const Dataset ds = DecodeDataSet(list->front());
        benchmark::DoNotOptimize(ds.rows.data());
    }
    state.counters["stream_MB/s"] =
        benchmark::Counter(stream / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["body_MB/s"] = benchmark::Counter(static_cast<double>(body.size()) / 1e6,
                                                     benchmark::Counter::kIsIterationInvariantRate);
    state.counters["rss_before_MB"] = before;
    state.counters["peak_MB"] = StatusMb("VmHWM:");
}
BENCHMARK(BM_ClientDecodeWholeTable)
    ->ArgNames({"rows"})
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

void BM_ClientDecodeRowByRow(benchmark::State& state) {
    double stream = 0;
    const std::string& body = MonthBody(static_cast<std::size_t>(state.range(0)), stream);
    struct Sum : AdbsVisitor {
        std::size_t rows = 0;
        std::size_t xmlBytes = 0;
        void OnTable(const Dataset&) override {}
        void OnRow(Row& row) override {
            ++rows;
            xmlBytes += std::get<std::string>(row[4]).size();
        }
    };
    const double before = StatusMb("VmRSS:");
    ResetPeak();
    std::size_t xml = 0;
    for (auto _ : state) {
        Sum sum;
        const auto list = ScanResultBody(body);
        DecodeDataSet(list->front(), sum);
        xml = sum.xmlBytes;
    }
    state.counters["stream_MB/s"] =
        benchmark::Counter(stream / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["xml_MB"] = static_cast<double>(xml) / 1e6;
    state.counters["rss_before_MB"] = before;
    state.counters["peak_MB"] = StatusMb("VmHWM:");
}
BENCHMARK(BM_ClientDecodeRowByRow)
    ->ArgNames({"rows"})
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
