// A busy store's month through the codec: 100,000 documents of 5-6 KB of XML.
// Server side: table -> FireDAC stream -> zlib -> base64 -> response body.
// Client side: response body -> table, whole or row by row.
// Streaming (KQZ_BENCH_COUPONS documents, default 100,000): the body made
// piece by piece from rows generated in batches, and decoded while it is
// fed in 64 KB pieces; each reports its time as a ratio to a floor measured
// in the same run. Engines: zlib, libdeflate and ISA-L's igzip deflating and
// inflating the month's stream in independent 1 MB blocks.
//
// Counters: MB/s of the FireDAC stream (the UTF-16 table) in wall time, body
// size, and the peak resident memory of the measured step (VmHWM, reset
// before the step) next to the resident memory it started from. Run one
// benchmark per process (--benchmark_filter) for clean memory figures.

#include <benchmark/benchmark.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <malloc.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cloud/codec/base64_internal.hpp"
#include "cloud/codec/body_decoder.hpp"
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

Dataset MonthLayout() {
    Dataset ds;
    ds.name = "qry";
    ds.columns = {
        Column{"AD_CNPJ", DataType::WideString, 14},   Column{"AD_DATA", DataType::Date},
        Column{"AD_NUMERO", DataType::WideString, 64}, Column{"AD_VALOR", DataType::FmtBCD, 0, 15, 2},
        Column{"AD_XML", DataType::WideMemo},          Column{"X_NUMERO", DataType::WideString, 6}};
    return ds;
}

Row MonthRow(std::size_t n, std::uint32_t& seed) {
    char number[80];
    std::snprintf(number, sizeof number, "CFe3521031234567800019559900001234%06zu%04u-VD", n % 1000000,
                  Next(seed) % 10000);
    char value[32];
    std::snprintf(value, sizeof value, "%u.%02u", Next(seed) % 900 + 1, Next(seed) % 100);
    char x[24];
    std::snprintf(x, sizeof x, "%06zu", n % 1000000);
    return Row{std::string("12345678000195"),
               Date{737865 + static_cast<std::int32_t>(n % 31)},
               std::string(number),
               Decimal{value},
               Document(n, seed),
               std::string(x)};
}

Dataset Month(std::size_t rows) {
    Dataset ds = MonthLayout();
    ds.rows.reserve(rows);
    std::uint32_t seed = 42;
    for (std::size_t n = 0; n < rows; ++n)
        ds.rows.push_back(MonthRow(n, seed));
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

// ---------------------------------------------------------------------------
// Streaming.

std::size_t Coupons() {
    const char* n = std::getenv("KQZ_BENCH_COUPONS");
    return n != nullptr ? static_cast<std::size_t>(std::atol(n)) : 100000;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// CPU seconds of the calling thread: steadier than wall time on a shared machine.
double ThreadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The month's rows made again on every pass, 256 at a time: never held together.
class GeneratedRows : public RowBatches {
  public:
    explicit GeneratedRows(std::size_t rows) : rows_(rows) {}
    void Rewind() override {
        at_ = 0;
        seed_ = 42;
    }
    bool Next(std::vector<Row>& batch) override {
        batch.clear();
        for (; at_ < rows_ && batch.size() < 256; ++at_)
            batch.push_back(MonthRow(at_, seed_));
        return !batch.empty();
    }

  private:
    std::size_t rows_;
    std::size_t at_ = 0;
    std::uint32_t seed_ = 42;
};

// The floor of the streamed encode: what any writer of this answer pays
// without compressing: making the rows twice and writing the FireDAC stream
// once (not kept).
double EncodeFloor(std::size_t rows, std::uint64_t& streamBytes) {
    const auto start = std::chrono::steady_clock::now();
    GeneratedRows source(rows);
    AdbsBatchWriter writer(MonthLayout(), false);
    std::vector<Row> batch;
    source.Rewind();
    while (source.Next(batch))
        writer.Measure(batch);
    source.Rewind();
    std::string out;
    writer.Begin(out);
    streamBytes = out.size();
    while (source.Next(batch)) {
        out.clear();
        writer.Write(batch, out);
        streamBytes += out.size();
    }
    out.clear();
    streamBytes = writer.End(out);
    return Seconds(start);
}

// args: zlib level, deflate threads
void BM_StreamEncodeBody(benchmark::State& state) {
    const std::size_t rows = Coupons();
    const WriteOptions options{static_cast<int>(state.range(0)), static_cast<unsigned>(state.range(1))};
    std::uint64_t stream = 0;
    const double floor = EncodeFloor(rows, stream);
    malloc_trim(0);
    const double before = StatusMb("VmRSS:");
    ResetPeak();
    std::uint64_t body = 0;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        GeneratedRows source(rows);
        ResultBodyStream encoder("qry", MonthLayout(), source, options, false);
        std::vector<char> buf(std::size_t{64} << 10);
        body = 0;
        for (std::size_t n; (n = encoder.Next(buf.data(), buf.size())) != 0;)
            body += n;  // a socket would take the piece here
        seconds = Seconds(start);
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["stream_MB/s"] = static_cast<double>(stream) / 1e6 / seconds;
    state.counters["body_MB"] = static_cast<double>(body) / 1e6;
    state.counters["body_bytes_per_row"] = static_cast<double>(body) / static_cast<double>(rows);
    state.counters["floor_s"] = floor;
    state.counters["x_floor"] = seconds / floor;
    state.counters["rss_before_MB"] = before;
    state.counters["peak_MB"] = StatusMb("VmHWM:");
}
BENCHMARK(BM_StreamEncodeBody)
    ->ArgNames({"level", "threads"})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Args({6, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// The body of the month (level 1, two threads), made by the streaming
// encoder so that the table is never held.
const std::string& StreamedBody(std::size_t rows) {
    static std::string body;
    static std::size_t builtFor = 0;
    if (builtFor != rows) {
        GeneratedRows source(rows);
        ResultBodyStream encoder("qry", MonthLayout(), source, WriteOptions{1, 2}, false);
        std::vector<char> buf(std::size_t{1} << 20);
        body.clear();
        for (std::size_t n; (n = encoder.Next(buf.data(), buf.size())) != 0;)
            body.append(buf.data(), n);
        builtFor = rows;
    }
    malloc_trim(0);
    return body;
}

// Decoding while the body arrives in 64 KB pieces (as libcurl hands them
// over); the floor is one base64-decode and inflate of the same body.
void BM_StreamDecodeBody(benchmark::State& state) {
    const std::size_t rows = Coupons();
    const std::string& body = StreamedBody(rows);
    std::uint64_t stream = 0;
    const auto floorStart = std::chrono::steady_clock::now();
    {
        const auto list = ScanResultBody(body);
        std::string z;
        detail::Base64DecodeInto(list->front().text, list->front().jsonEscaped, z);
        stream = ZlibInflateTo(z, [](std::string_view) {});
    }
    const double floor = Seconds(floorStart);
    malloc_trim(0);
    struct Count : AdbsVisitor {
        std::size_t rows = 0;
        std::size_t xml = 0;
        void OnTable(const Dataset&) override {}
        void OnRow(Row& row) override {
            ++rows;
            xml += std::get<std::string>(row[4]).size();
        }
    };
    const double before = StatusMb("VmRSS:");
    ResetPeak();
    double seconds = 0;
    std::uint64_t spooled = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        StreamingBodyDecoder decoder;
        constexpr std::size_t kPiece = std::size_t{64} << 10;
        for (std::size_t at = 0; at < body.size(); at += kPiece)
            decoder.Feed(std::string_view(body).substr(at, kPiece));
        Count count;
        decoder.Finish(count);
        seconds = Seconds(start);
        spooled = decoder.SpooledBytes();
        benchmark::DoNotOptimize(count.xml);
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["stream_MB/s"] = static_cast<double>(stream) / 1e6 / seconds;
    state.counters["body_MB"] = static_cast<double>(body.size()) / 1e6;
    state.counters["spooled_MB"] = static_cast<double>(spooled) / 1e6;
    state.counters["floor_s"] = floor;
    state.counters["x_floor"] = seconds / floor;
    state.counters["rss_before_MB"] = before;  // the body itself, standing for the network
    state.counters["peak_MB"] = StatusMb("VmHWM:");
}
BENCHMARK(BM_StreamDecodeBody)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// ---------------------------------------------------------------------------
// Deflate engines on the month's stream, cut into independent 1 MB blocks
// (the unit the server deflates on its threads). At most 96 MB of stream.

constexpr std::size_t kEngineBlock = std::size_t{1} << 20;

struct Blocks {
    std::vector<std::string> plain;
    std::uint64_t streamBytes = 0;  // of the whole month
    std::size_t rows = 0;
};

const Blocks& MonthBlocks() {
    static Blocks blocks;
    if (blocks.plain.empty()) {
        const std::size_t rows = Coupons();
        GeneratedRows source(rows);
        AdbsBatchWriter writer(MonthLayout(), false);
        std::vector<Row> batch;
        source.Rewind();
        while (source.Next(batch))
            writer.Measure(batch);
        source.Rewind();
        std::string out;
        writer.Begin(out);
        auto cut = [&](bool all) {
            while (out.size() >= kEngineBlock || (all && !out.empty())) {
                const std::size_t n = std::min(out.size(), kEngineBlock);
                if (blocks.plain.size() < 96)
                    blocks.plain.push_back(out.substr(0, n));
                blocks.streamBytes += n;
                out.erase(0, n);
            }
        };
        while (source.Next(batch)) {
            writer.Write(batch, out);
            cut(false);
        }
        writer.End(out);
        cut(true);
        blocks.rows = rows;
    }
    return blocks;
}

enum Engine { kZlib, kLibdeflate, kIsal };

std::string DeflateBlock(Engine engine, int level, const std::string& in) {
    std::string out;
    if (engine == kZlib) {
        z_stream zs{};
        deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        out.resize(deflateBound(&zs, static_cast<uLong>(in.size())) + 64);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        zs.avail_in = static_cast<uInt>(in.size());
        zs.next_out = reinterpret_cast<Bytef*>(out.data());
        zs.avail_out = static_cast<uInt>(out.size());
        deflate(&zs, Z_FINISH);
        out.resize(out.size() - zs.avail_out);
        deflateEnd(&zs);
    } else if (engine == kLibdeflate) {
        libdeflate_compressor* c = libdeflate_alloc_compressor(level);
        out.resize(libdeflate_deflate_compress_bound(c, in.size()));
        out.resize(libdeflate_deflate_compress(c, in.data(), in.size(), out.data(), out.size()));
        libdeflate_free_compressor(c);
    } else {
        isal_zstream zs;
        isal_deflate_stateless_init(&zs);
        std::vector<std::uint8_t> levelBuf(level == 0   ? 0
                                           : level == 1 ? ISAL_DEF_LVL1_DEFAULT
                                           : level == 2 ? ISAL_DEF_LVL2_DEFAULT
                                                        : ISAL_DEF_LVL3_DEFAULT);
        zs.level = static_cast<std::uint32_t>(level);
        zs.level_buf = levelBuf.empty() ? nullptr : levelBuf.data();
        zs.level_buf_size = static_cast<std::uint32_t>(levelBuf.size());
        zs.end_of_stream = 1;
        zs.flush = NO_FLUSH;
        out.resize(in.size() + in.size() / 8 + 1024);
        zs.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
        zs.avail_in = static_cast<std::uint32_t>(in.size());
        zs.next_out = reinterpret_cast<std::uint8_t*>(out.data());
        zs.avail_out = static_cast<std::uint32_t>(out.size());
        if (isal_deflate_stateless(&zs) != COMP_OK)
            out.clear();
        else
            out.resize(out.size() - zs.avail_out);
    }
    return out;
}

std::size_t InflateBlock(Engine engine, const std::string& in, std::string& out) {
    if (engine == kZlib) {
        z_stream zs{};
        inflateInit2(&zs, -15);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        zs.avail_in = static_cast<uInt>(in.size());
        zs.next_out = reinterpret_cast<Bytef*>(out.data());
        zs.avail_out = static_cast<uInt>(out.size());
        inflate(&zs, Z_FINISH);
        const std::size_t n = out.size() - zs.avail_out;
        inflateEnd(&zs);
        return n;
    }
    if (engine == kLibdeflate) {
        static libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        std::size_t n = 0;
        libdeflate_deflate_decompress(d, in.data(), in.size(), out.data(), out.size(), &n);
        return n;
    }
    inflate_state st;
    isal_inflate_init(&st);
    st.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
    st.avail_in = static_cast<std::uint32_t>(in.size());
    st.next_out = reinterpret_cast<std::uint8_t*>(out.data());
    st.avail_out = static_cast<std::uint32_t>(out.size());
    isal_inflate(&st);
    return out.size() - st.avail_out;
}

// args: engine (0 zlib, 1 libdeflate, 2 ISA-L), level. One thread, timed in
// thread CPU seconds; the floor is a copy of the same bytes.
void BM_Engine(benchmark::State& state) {
    const auto engine = static_cast<Engine>(state.range(0));
    const int level = static_cast<int>(state.range(1));
    const Blocks& blocks = MonthBlocks();
    std::uint64_t in = 0;
    for (const auto& b : blocks.plain)
        in += b.size();
    std::string copy(kEngineBlock, '\0');
    const double floorStart = ThreadCpu();
    for (const auto& b : blocks.plain) {
        std::memcpy(copy.data(), b.data(), b.size());
        benchmark::DoNotOptimize(copy.data());
    }
    const double floor = ThreadCpu() - floorStart;
    std::vector<std::string> packed;
    double deflateSeconds = 0;
    double inflateSeconds = 0;
    for (auto _ : state) {
        packed.clear();
        double start = ThreadCpu();
        for (const auto& b : blocks.plain)
            packed.push_back(DeflateBlock(engine, level, b));
        deflateSeconds = ThreadCpu() - start;
        std::string out(kEngineBlock, '\0');
        start = ThreadCpu();
        std::uint64_t back = 0;
        for (const auto& p : packed)
            back += InflateBlock(engine, p, out);
        inflateSeconds = ThreadCpu() - start;
        if (back != in)
            state.SkipWithError("inflate gave a different size");
    }
    std::uint64_t z = 0;
    for (const auto& p : packed)
        z += p.size();
    const double ratio = static_cast<double>(z) / static_cast<double>(in);
    state.counters["in_MB"] = static_cast<double>(in) / 1e6;
    state.counters["ratio"] = ratio;
    state.counters["deflate_MB/s"] = static_cast<double>(in) / 1e6 / deflateSeconds;
    state.counters["inflate_MB/s"] = static_cast<double>(in) / 1e6 / inflateSeconds;
    state.counters["deflate_x_copy"] = deflateSeconds / floor;
    state.counters["inflate_x_copy"] = inflateSeconds / floor;
    // Sent per coupon: the month's stream at this ratio, in base64 (4/3, plus CR LF every 76).
    state.counters["sent_bytes_per_coupon"] = static_cast<double>(blocks.streamBytes) * ratio * 4.0 / 3.0 *
                                              78.0 / 76.0 / static_cast<double>(blocks.rows);
}
BENCHMARK(BM_Engine)
    ->ArgNames({"engine", "level"})
    ->Args({kZlib, 1})
    ->Args({kZlib, 6})
    ->Args({kLibdeflate, 1})
    ->Args({kLibdeflate, 6})
    ->Args({kIsal, 0})
    ->Args({kIsal, 1})
    ->Args({kIsal, 3})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
