// Measures kqz-server as a client meets it: a real server process on
// 127.0.0.1 with an SQLite file holding one company's busy month.
//
//   BM_DocumentsAnswer  the documents query of 100,000 coupons (5-6 KB each):
//                       time to the last byte of the answer; counters: answer
//                       bytes and the server's peak resident memory (VmHWM).
//   BM_ConcurrentDownloads
//                       eight downloads of a 10,000-coupon month at once
//                       against one alone: the slowest as a ratio to it,
//                       the server's peak memory.
//   BM_CountQuery       count queries on one keep-alive connection.
//   BM_DocumentsAnswerInProcess
//                       the same answer made in this process from the
//                       storage, streamed (DocumentsAnswer, pulled in 64 KB
//                       pieces as a socket would) or whole (the table then
//                       WriteResultBody); time as a ratio to reading the rows
//                       once from storage, and the step's peak resident memory.
//
// The database is built once (synthetic coupons) and kept next to the build:
// KQZ_BENCH_DB overrides its path, KQZ_BENCH_COUPONS the number of coupons.

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/busy_month.hpp"
#include "cloud/codec/dataset_list.hpp"

namespace {

using kqz::bench::Coupons;
using kqz::bench::DatabasePath;
using kqz::bench::EnsureDatabase;
using kqz::bench::kCnpj;
using kqz::bench::ServerProcess;

using kqz::bench::Encode;

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

double Since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

std::string DocumentsSql() {
    return std::string("SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='") +
           kCnpj + "' AND AD_DATA='2103'";
}

// Argument: the month (0 realistic, 1 pessimistic). Three downloads in a row
// on one server: its peak after the first, and its peak and resident memory
// after the third (what it keeps between downloads).
void BM_DocumentsAnswer(benchmark::State& state) {
    const auto month = static_cast<kqz::bench::Month>(state.range(0));
    state.SetLabel(kqz::bench::MonthName(month));
    const std::string db = DatabasePath(month);
    EnsureDatabase(db, month);
    ServerProcess server(db);
    Session session(server.Port());
    std::size_t bytes = 0;
    int done = 0;
    for (auto _ : state) {
        bytes = session.Call(DocumentsSql());
        if (++done == 1)
            state.counters["server_peak_one_MB"] = server.PeakRss() / 1e6;
    }
    state.counters["answer_MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["bytes_per_coupon"] = static_cast<double>(bytes) / Coupons();
    state.counters["server_peak_MB"] = server.PeakRss() / 1e6;
    state.counters["server_rss_after_MB"] = server.Rss() / 1e6;
    state.counters["coupons"] = Coupons();
}
BENCHMARK(BM_DocumentsAnswer)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Eight downloads of a 10,000-coupon realistic month at once, each on a
// session and connection of its own, against one alone on the same server
// just before. Time: the slowest of the eight.
void BM_ConcurrentDownloads(benchmark::State& state) {
    constexpr int kCoupons = 10000;
    constexpr int kClients = 8;
    const std::string db = DatabasePath(kqz::bench::Month::kRealistic, kCoupons);
    EnsureDatabase(db, kqz::bench::Month::kRealistic, kCoupons);
    ServerProcess server(db);
    double lone = 0;
    {
        Session session(server.Port());
        const auto start = std::chrono::steady_clock::now();
        session.Call(DocumentsSql());
        lone = Since(start);
    }
    double slowest = 0;
    int completed = 0;
    for (auto _ : state) {
        std::vector<double> seconds(kClients, -1);
        std::vector<std::thread> clients;
        std::atomic<int> ready{0};
        for (int i = 0; i < kClients; ++i) {
            clients.emplace_back([&, i] {
                try {
                    Session session(server.Port());
                    ++ready;
                    while (ready.load() < kClients)
                        std::this_thread::yield();
                    const auto start = std::chrono::steady_clock::now();
                    session.Call(DocumentsSql());
                    seconds[static_cast<std::size_t>(i)] = Since(start);
                } catch (const std::exception&) {
                    ++ready;  // counted as not completed
                }
            });
        }
        for (auto& c : clients)
            c.join();
        slowest = 0;
        completed = 0;
        for (double t : seconds) {
            if (t >= 0) {
                ++completed;
                slowest = std::max(slowest, t);
            }
        }
        state.SetIterationTime(slowest);
    }
    state.counters["lone_s"] = lone;
    state.counters["slowest_s"] = slowest;
    state.counters["x_lone"] = slowest / lone;
    state.counters["completed"] = completed;
    state.counters["server_peak_MB"] = server.PeakRss() / 1e6;
    state.counters["server_rss_after_MB"] = server.Rss() / 1e6;
}
BENCHMARK(BM_ConcurrentDownloads)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

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

// Resident memory of this process in MB ("VmHWM:" peak, "VmRSS:" now).
double StatusMb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0)
            return std::stod(line.substr(std::strlen(key) + 1)) / 1024.0;
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

// args: 1 streamed, 0 whole
void BM_DocumentsAnswerInProcess(benchmark::State& state) {
    const bool streamed = state.range(0) == 1;
    const std::string db = DatabasePath();
    EnsureDatabase(db);
    auto storage = kqz::server::Storage::Open(db);
    // Floor: the rows read once from storage.
    auto t = std::chrono::steady_clock::now();
    std::size_t rows = 0;
    storage->Documents(kCnpj, "2103", [&](kqz::codec::Row&&) { ++rows; });
    const double floor = Since(t);
    malloc_trim(0);
    const double before = StatusMb("VmRSS:");
    ResetPeak();
    std::uint64_t bytes = 0;
    double seconds = 0;
    const kqz::codec::WriteOptions options{};
    for (auto _ : state) {
        t = std::chrono::steady_clock::now();
        if (streamed) {
            kqz::server::DocumentsAnswer answer(*storage, kCnpj, "2103", "X_NUMERO", options);
            std::vector<char> buf(std::size_t{64} << 10);
            bytes = 0;
            for (std::size_t n; (n = answer.Next(buf.data(), buf.size())) != 0;)
                bytes += n;
        } else {
            kqz::codec::Dataset ds = kqz::server::DocumentsTable("X_NUMERO");
            storage->Documents(kCnpj, "2103", [&](kqz::codec::Row&& r) { ds.rows.push_back(std::move(r)); });
            kqz::codec::FitStringSizes(ds);
            bytes = kqz::codec::WriteResultBody({{"Query", &ds}}, options).size();
        }
        seconds = Since(t);
    }
    state.counters["coupons"] = static_cast<double>(rows);
    state.counters["answer_MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["floor_s"] = floor;
    state.counters["x_floor"] = seconds / floor;
    state.counters["rss_before_MB"] = before;
    state.counters["peak_MB"] = StatusMb("VmHWM:");
    malloc_trim(0);
    state.counters["rss_after_MB"] = StatusMb("VmRSS:");
}
BENCHMARK(BM_DocumentsAnswerInProcess)
    ->ArgNames({"streamed"})
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
