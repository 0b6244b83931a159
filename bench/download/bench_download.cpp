// The whole job on a busy month: `kqz download` against a local kqz-server
// serving one company's 100,000 coupons. The client process is measured as a
// user meets it: wall time to the printed summary and its peak memory, with
// the time of its parts as `kqz download --timings` reports them
// (identification; documents: query, decode, files written and read; summary).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bench/busy_month.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Run {
    double seconds = 0;
    double peakBytes = 0;
    std::string err;
};

Run Download(const std::string& url, const fs::path& out) {
    fs::remove_all(out);
    const fs::path errFile = out.string() + ".err";
    std::vector<std::string> argv{
        KQZ_CLI_BINARY, "download", "--email",    kqz::bench::kEmail, "--cnpj", kqz::bench::kCnpj, "--month",
        "2021-03",      "--out",    out.string(), "--server",         url,      "--timings"};
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        throw std::runtime_error("cannot start kqz");
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakBytes = static_cast<double>(usage.ru_maxrss) * 1024.0;
    std::ifstream err(errFile);
    std::stringstream text;
    text << err.rdbuf();
    run.err = text.str();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("kqz download failed: " + run.err);
    }
    return run;
}

double Part(const std::string& err, const char* name) {
    const std::regex pattern(std::string(name) + R"( ([0-9.]+) s)");
    std::smatch match;
    return std::regex_search(err, match, pattern) ? std::stod(match[1]) : -1;
}

void BM_DownloadEndToEnd(benchmark::State& state) {
    const std::string db = kqz::bench::DatabasePath();
    kqz::bench::EnsureDatabase(db);
    kqz::bench::ServerProcess server(db);
    const fs::path out = fs::path(KQZ_BINARY_DIR) / "bench-data" / "download";
    Run run;
    for (auto _ : state) {
        run = Download(server.Url(), out);
        state.SetIterationTime(run.seconds);
    }
    state.counters["client_peak_MB"] = run.peakBytes / 1e6;
    state.counters["server_peak_MB"] = server.PeakRss() / 1e6;
    state.counters["identify_s"] = Part(run.err, "identificação");
    state.counters["documents_s"] = Part(run.err, "leitura\\)");
    state.counters["summary_s"] = Part(run.err, "resumo");
    state.counters["coupons"] = kqz::bench::Coupons();
    fs::remove_all(out);
}
BENCHMARK(BM_DownloadEndToEnd)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
