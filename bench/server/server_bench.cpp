// Measures kqz-server as a client meets it: a real server process on
// 127.0.0.1 with an SQLite file holding one company's busy month.
//
//   BM_DocumentsAnswer  the documents query of 100,000 coupons (5-6 KB each):
//                       time to the last byte of the answer; counters: answer
//                       bytes and the server's peak resident memory (VmHWM).
//   BM_CountQuery       count queries on one keep-alive connection.
//
// The database is built once (synthetic coupons) and kept next to the build:
// KQZ_BENCH_DB overrides its path, KQZ_BENCH_COUPONS the number of coupons.

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/busy_month.hpp"

namespace {

using kqz::bench::Coupons;
using kqz::bench::DatabasePath;
using kqz::bench::EnsureDatabase;
using kqz::bench::kCnpj;
using kqz::bench::ServerProcess;

std::string Encode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
            out.push_back(ch);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// One session identified as the administrator (the benchmark runs on loopback).
struct Session {
    explicit Session(int port) : http("127.0.0.1", port) {
        http.set_keep_alive(true);
        http.set_tcp_nodelay(true);
        http.set_read_timeout(600);
        Call("SELECT AD_CNPJ AS AU_CNPJ FROM KQZ_SAD GROUP BY AD_CNPJ ORDER BY AD_CNPJ");
    }
    // Runs one SelectCloud; returns the answer's size, reading it as a stream.
    std::size_t Call(const std::string& sql) {
        httplib::Headers headers{{"Accept", "application/JSON"}, {"Accept-Encoding", "identity"}};
        if (!id.empty())
            headers.emplace("Pragma", "dssession=" + id);
        std::size_t bytes = 0;
        auto r = http.Get(("/datasnap/rest/TServerMethods1/SelectCloud/" + Encode(sql) + "/").c_str(),
                          headers, [&](const char*, size_t n) {
                              bytes += n;
                              return true;
                          });
        if (!r || r->status != 200)
            throw std::runtime_error("resposta inesperada do servidor");
        const std::string pragma = r->get_header_value("Pragma");
        id = pragma.substr(10, pragma.find(',') - 10);
        return bytes;
    }
    httplib::Client http;
    std::string id;
};

void BM_DocumentsAnswer(benchmark::State& state) {
    const std::string db = DatabasePath();
    EnsureDatabase(db);
    ServerProcess server(db);
    Session session(server.Port());
    const std::string sql =
        std::string("SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='") + kCnpj +
        "' AND AD_DATA='2103'";
    std::size_t bytes = 0;
    for (auto _ : state)
        bytes = session.Call(sql);
    state.counters["answer_MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["server_peak_MB"] = server.PeakRss() / 1e6;
    state.counters["coupons"] = Coupons();
}
BENCHMARK(BM_DocumentsAnswer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_CountQuery(benchmark::State& state) {
    const std::string db = DatabasePath();
    EnsureDatabase(db);
    ServerProcess server(db);
    Session session(server.Port());
    const std::string sql =
        std::string("SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ='") + kCnpj +
        "' AND AD_DATA='2103'";
    for (auto _ : state)
        benchmark::DoNotOptimize(session.Call(sql));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CountQuery)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
