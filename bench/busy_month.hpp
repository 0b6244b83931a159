#pragma once

// The busy month the end-to-end benchmarks share: one company's 100,000
// synthetic coupons (5-6 KB each) in an SQLite file kept next to the build,
// and a kqz-server child process serving it on 127.0.0.1.
//
// KQZ_BENCH_DB overrides the database path, KQZ_BENCH_COUPONS the number of
// coupons.

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cctype>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/documents.hpp"
#include "server/storage.hpp"
#include "summary/synth/cfe_synth.hpp"

namespace kqz::bench {

inline constexpr const char* kEmail = "contador@exemplo.com.br";

inline constexpr const char* kCnpj = "11222333000181";

inline int Coupons() {
    const char* n = std::getenv("KQZ_BENCH_COUPONS");
    return n ? std::atoi(n) : 100000;
}

// The kind of busy month. Realistic: four SAT units, each signing its
// coupons with its own key, so each unit's certificate repeats in all its
// coupons while digest and signature differ, as in real coupons. Pessimistic:
// one unit whose coupons carry random noise in place of certificate and
// signature (that noise does not compress).
enum class Month { kRealistic = 0, kPessimistic = 1 };

inline const char* MonthName(Month month) {
    return month == Month::kRealistic ? "realistic" : "pessimistic";
}

// KQZ_BENCH_DB overrides the path of the realistic month.
inline std::string DatabasePath(Month month = Month::kRealistic, int coupons = Coupons()) {
    if (const char* p = std::getenv("KQZ_BENCH_DB"); p && month == Month::kRealistic)
        return p;
    return std::string(KQZ_BINARY_DIR) + "/bench-data/busy-month-" + MonthName(month) + "-" +
           std::to_string(coupons) + ".sqlite";
}

// Builds the month once; later runs reuse the file.
inline void EnsureDatabase(const std::string& path, Month month = Month::kRealistic,
                           int coupons = Coupons()) {
    if (std::filesystem::exists(path))
        return;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string building = path + ".building";
    std::filesystem::remove(building);
    {
        auto storage = kqz::server::Storage::Open(building);
        storage->AddCompany(kCnpj, "Mercado Movimentado");
        storage->AddUser(kEmail, kCnpj);
        kqz::summary::synth::MonthSpec spec;
        spec.emitter.cnpj = kCnpj;
        spec.year = 2021;
        spec.month = 3;
        spec.count = coupons;
        spec.max_items = 3;
        if (month == Month::kRealistic) {
            spec.sat_units = 4;
            spec.signing = kqz::summary::synth::Signing::kTestKey;
        } else {
            spec.sat_units = 1;
            spec.signing = kqz::summary::synth::Signing::kRandomFiller;
        }
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
        std::cerr << "bench: " << MonthName(month) << ", " << spec.count << " cupons, "
                  << bytes / static_cast<std::size_t>(spec.count) << " bytes em média\n";
    }
    for (const char* suffix : {"-wal", "-shm"})
        std::filesystem::remove(building + suffix);
    std::filesystem::rename(building, path);
}

// Percent-encodes a text as one URL path segment (unreserved bytes stay).
inline std::string Encode(const std::string& text) {
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

// A kqz-server child process on 127.0.0.1 with a free port (this build's, or
// `binary` to measure another). It dies with the benchmark (PR_SET_PDEATHSIG)
// and is stopped with SIGTERM at the end.
class ServerProcess {
  public:
    explicit ServerProcess(const std::string& db, const char* binary = KQZ_SERVER_BINARY) {
        int out[2];
        if (pipe(out) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], 1);
            close(out[0]);
            const int null = open("/dev/null", O_WRONLY);  // the access log
            dup2(null, 2);
            execl(binary, binary, "serve", "--db", db.c_str(), "--listen", "127.0.0.1", "--port", "0",
                  static_cast<char*>(nullptr));
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
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Peak resident memory of the server so far, in bytes.
    double PeakRss() const { return Status("VmHWM:"); }
    // Resident memory of the server now, in bytes.
    double Rss() const { return Status("VmRSS:"); }

  private:
    double Status(const std::string& wanted) const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string key;
        while (status >> key) {
            if (key == wanted) {
                double kb = 0;
                status >> kb;
                return kb * 1024;
            }
        }
        return 0;
    }

    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace kqz::bench
