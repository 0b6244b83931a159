// kqz-server under mixed load, as a client meets it: a real server process on
// 127.0.0.1 (default options, 8 workers) with one company's month of 20,000
// coupons, and count queries on 1, 8 and 64 keep-alive connections while
//
//   - 8 slow clients each trickle a request head, one header line a second,
//     starting again whenever the server cuts them off, and
//   - 4 clients download the month's documents over and over.
//
// BM_CountAlone is the floor: the same count queries on one connection with
// nothing beside them. Counters: queries per second, median and p99 latency
// (ms) of every query sent (a failed one counts with the time it took),
// queries that failed or took longer than 10 s, connections that got no
// answer at all during the case, and the server's peak
// resident memory (VmHWM) at the end of the case. p99_vs_alone is the p99
// divided by the floor's p99 of the same run.
//
// Each case runs for a fixed time (KQZ_BENCH_SECONDS, default 4 s) and stops
// its helpers before the next one starts. KQZ_BENCH_SERVER runs another
// kqz-server binary (to compare builds); KQZ_BENCH_COUPONS and KQZ_BENCH_DB
// work as for the other server benchmarks (default here: 20,000 coupons).

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/busy_month.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using kqz::bench::kCnpj;

using kqz::bench::Encode;

std::string SelectPath(const std::string& sql) {
    return "/datasnap/rest/TServerMethods1/SelectCloud/" + Encode(sql) + "/";
}

const std::string kAdmin = "SELECT AD_CNPJ AS AU_CNPJ FROM KQZ_SAD GROUP BY AD_CNPJ ORDER BY AD_CNPJ";
const std::string kCount =
    std::string("SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ='") + kCnpj +
    "' AND AD_DATA='2103'";
const std::string kDocuments =
    std::string("SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='") + kCnpj +
    "' AND AD_DATA='2103'";

double Seconds() {
    const char* s = std::getenv("KQZ_BENCH_SECONDS");
    return s ? std::atof(s) : 4.0;
}

// The busy month's database, made once.
std::string PreparedDatabase() {
    const std::string db = kqz::bench::DatabasePath();
    kqz::bench::EnsureDatabase(db);
    return db;
}

// The kqz-server child of the benchmark, with the binary chosen by
// KQZ_BENCH_SERVER (another build measured against the same month).
class Server : public kqz::bench::ServerProcess {
  public:
    Server() : ServerProcess(PreparedDatabase(), Binary()) {}

  private:
    static const char* Binary() {
        const char* binary = std::getenv("KQZ_BENCH_SERVER");
        return binary != nullptr ? binary : KQZ_SERVER_BINARY;
    }
};

// One identified keep-alive connection.
struct Session {
    Session(int port, int timeoutSeconds) : http("127.0.0.1", port) {
        http.set_keep_alive(true);
        http.set_tcp_nodelay(true);
        http.set_connection_timeout(timeoutSeconds);
        http.set_read_timeout(timeoutSeconds);
        http.set_write_timeout(timeoutSeconds);
    }
    // Runs one SelectCloud, reading the answer as a stream; false on any failure.
    bool Call(const std::string& sql) {
        httplib::Headers headers;
        if (!id.empty())
            headers.emplace("Pragma", "dssession=" + id);
        auto r = http.Get(SelectPath(sql).c_str(), headers, [](const char*, size_t) { return true; });
        if (!r || r->status != 200)
            return false;
        const std::string pragma = r->get_header_value("Pragma");
        id = pragma.substr(10, pragma.find(',') - 10);
        return true;
    }
    httplib::Client http;
    std::string id;
};

// Helpers that load the server until destroyed.
class Background {
  public:
    Background(int port, int slow, int big) {
        for (int i = 0; i < slow; ++i)
            threads_.emplace_back([this, port] { Slow(port); });
        for (int i = 0; i < big; ++i)
            threads_.emplace_back([this, port] { Big(port); });
    }
    ~Background() {
        stop_ = true;
        for (auto& t : threads_)
            t.join();
    }
    int Downloads() const { return downloads_; }

  private:
    void Slow(int port) {
        while (!stop_) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            timeval tv{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<std::uint16_t>(port));
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                std::string line = "GET " + SelectPath(kCount) + " HTTP/1.1\r\nHost: x\r\n";
                for (int n = 0; !stop_ && ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) > 0; ++n) {
                    for (int w = 0; w < 10 && !stop_; ++w)
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    line = "X-Slow-" + std::to_string(n) + ": 1\r\n";
                }
            }
            ::close(fd);
        }
    }
    void Big(int port) {
        Session s(port, 30);
        s.Call(kAdmin);
        while (!stop_) {
            if (s.Call(kDocuments))
                ++downloads_;
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<int> downloads_{0};
    std::vector<std::thread> threads_;
};

struct Figures {
    double qps = 0;
    double p50 = 0;
    double p99 = 0;
    int failed = 0;
    int neverServed = 0;  // connections that got no answer at all
};

Figures CountQueries(int port, int connections) {
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<int> failed{0};
    std::atomic<int> neverServed{0};
    const auto end = Clock::now() + std::chrono::duration<double>(Seconds());
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&] {
            Session s(port, 10);
            std::vector<double> mine;
            bool served = false;
            while (Clock::now() < end) {
                // Until the identification succeeds it is the query measured.
                const auto t0 = Clock::now();
                const bool ok = s.Call(s.id.empty() ? kAdmin : kCount);
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                if (!ok || ms > 10000)
                    ++failed;
                served = served || ok;
                mine.push_back(ms);
            }
            if (!served)
                ++neverServed;
            std::lock_guard lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    for (auto& t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Figures f;
    f.failed = failed;
    f.neverServed = neverServed;
    if (latencies.empty())
        return f;
    std::sort(latencies.begin(), latencies.end());
    f.qps = static_cast<double>(latencies.size()) / elapsed;
    f.p50 = latencies[latencies.size() / 2];
    f.p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    return f;
}

double floorP99 = 0;

void Report(benchmark::State& state, const Figures& f, const Server& server) {
    state.counters["queries_per_s"] = f.qps;
    state.counters["p50_ms"] = f.p50;
    state.counters["p99_ms"] = f.p99;
    state.counters["failed_or_over_10s"] = f.failed;
    state.counters["connections_never_served"] = f.neverServed;
    state.counters["server_peak_MB"] = server.PeakRss() / 1e6;
    if (floorP99 > 0)
        state.counters["p99_vs_alone"] = f.p99 / floorP99;
}

void BM_CountAlone(benchmark::State& state) {
    Server server;
    Figures f;
    for (auto _ : state)
        f = CountQueries(server.Port(), 1);
    floorP99 = f.p99;
    Report(state, f, server);
}
BENCHMARK(BM_CountAlone)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_CountBesideSlowClientsAndDownloads(benchmark::State& state) {
    Server server;
    const int connections = static_cast<int>(state.range(0));
    Figures f;
    int downloads = 0;
    for (auto _ : state) {
        Background background(server.Port(), 8, 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the downloads are under way
        f = CountQueries(server.Port(), connections);
        downloads = background.Downloads();  // finished within the case
    }
    Report(state, f, server);
    state.counters["downloads_done"] = downloads;
}
BENCHMARK(BM_CountBesideSlowClientsAndDownloads)
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    setenv("KQZ_BENCH_COUPONS", "20000", 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
