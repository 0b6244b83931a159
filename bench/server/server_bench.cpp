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

#include "server/documents.hpp"
#include "server/storage.hpp"
#include "summary/synth/cfe_synth.hpp"

namespace {

constexpr const char* kCnpj = "11222333000181";

int Coupons() {
    const char* n = std::getenv("KQZ_BENCH_COUPONS");
    return n ? std::atoi(n) : 100000;
}

std::string DatabasePath() {
    if (const char* p = std::getenv("KQZ_BENCH_DB"))
        return p;
    return std::string(KQZ_BINARY_DIR) + "/bench-data/server-" + std::to_string(Coupons()) + ".sqlite";
}

// Builds the month once; later runs reuse the file.
void EnsureDatabase(const std::string& path) {
    if (std::filesystem::exists(path))
        return;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string building = path + ".building";
    std::filesystem::remove(building);
    {
        auto storage = kqz::server::Storage::Open(building);
        kqz::summary::synth::MonthSpec spec;
        spec.emitter.cnpj = kCnpj;
        spec.year = 2021;
        spec.month = 3;
        spec.count = Coupons();
        spec.max_items = 3;
        std::vector<kqz::server::StoredDocument> batch;
        std::size_t bytes = 0;
        kqz::summary::synth::GenerateMonth(spec, [&](kqz::summary::synth::Document&& d) {
            std::string reason;
            auto doc = kqz::server::ReadCfe(std::move(d.xml), reason);
            if (!doc)
                throw std::runtime_error(reason);
            bytes += doc->xml.size();
            batch.push_back(std::move(*doc));
            if (batch.size() == 2000) {
                storage->Import(batch);
                batch.clear();
            }
        });
        storage->Import(batch);
        std::cerr << "bench: " << spec.count << " cupons, " << bytes / static_cast<std::size_t>(spec.count)
                  << " bytes em média\n";
    }
    for (const char* suffix : {"-wal", "-shm"})
        std::filesystem::remove(building + suffix);
    std::filesystem::rename(building, path);
}

// A kqz-server child process on 127.0.0.1 with a free port. It dies with
// the benchmark (PR_SET_PDEATHSIG) and is stopped with SIGTERM at the end.
class ServerProcess {
  public:
    explicit ServerProcess(const std::string& db) {
        int out[2];
        if (pipe(out) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], 1);
            close(out[0]);
            std::freopen("/dev/null", "w", stderr);  // the access log
            execl(KQZ_SERVER_BINARY, KQZ_SERVER_BINARY, "serve", "--db", db.c_str(), "--listen", "127.0.0.1",
                  "--port", "0", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        char line[256] = {};
        if (!std::fgets(line, sizeof line, f))
            throw std::runtime_error("kqz-server não iniciou");
        std::fclose(f);
        const std::string text = line;
        port_ = std::stoi(text.substr(text.rfind(':') + 1));
    }
    ~ServerProcess() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    int Port() const { return port_; }
    // Peak resident memory of the server so far, in bytes.
    double PeakRss() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string key;
        while (status >> key) {
            if (key == "VmHWM:") {
                double kb = 0;
                status >> kb;
                return kb * 1024;
            }
        }
        return 0;
    }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

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
