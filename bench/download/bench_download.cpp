// The whole job on a busy month: `kqz download` against a local kqz-server
// serving one company's 100,000 coupons. The client process is measured as a
// user meets it: wall time to the printed summary and its peak memory, with
// the time of its parts as `kqz download --timings` reports them
// (identification; documents: query, decode, files written and read; summary),
// as a ratio to the floor: copying the written folder with `cp -r` and reading
// the copies with `cat`, measured in the same run.

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

// Runs `command` with /bin/sh; returns its wall time in seconds.
double Shell(const std::string& command) {
    std::vector<std::string> argv{"/bin/sh", "-c", command};
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        throw std::runtime_error("cannot start /bin/sh");
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("failed: " + command);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The floor of a download into `folder`: copying the folder the download
// wrote (creating and writing the same files) and reading every copy back.
double CopyAndRead(const fs::path& folder) {
    const fs::path copy = folder.string() + "-copy";
    fs::remove_all(copy);
    const double seconds = Shell("cp -r '" + folder.string() + "' '" + copy.string() + "' && find '" +
                                 copy.string() + "' -type f -exec cat {} + > /dev/null");
    fs::remove_all(copy);
    return seconds;
}

// Argument: the month (0 realistic, 1 pessimistic). The floor is measured
// right after the download, on the folder it wrote.
void BM_DownloadEndToEnd(benchmark::State& state) {
    const auto month = static_cast<kqz::bench::Month>(state.range(0));
    state.SetLabel(kqz::bench::MonthName(month));
    const std::string db = kqz::bench::DatabasePath(month);
    kqz::bench::EnsureDatabase(db, month);
    kqz::bench::ServerProcess server(db);
    const fs::path out = fs::path(KQZ_BINARY_DIR) / "bench-data" / "download";
    Run run;
    double floor = 0;
    for (auto _ : state) {
        run = Download(server.Url(), out);
        state.SetIterationTime(run.seconds);
        state.PauseTiming();
        floor = CopyAndRead(out);
        state.ResumeTiming();
    }
    state.counters["floor_s"] = floor;
    state.counters["x_floor"] = run.seconds / floor;
    state.counters["client_peak_MB"] = run.peakBytes / 1e6;
    state.counters["server_peak_MB"] = server.PeakRss() / 1e6;
    state.counters["server_rss_MB"] = server.Rss() / 1e6;
    state.counters["identify_s"] = Part(run.err, "identificação");
    state.counters["documents_s"] = Part(run.err, "leitura\\)");
    state.counters["summary_s"] = Part(run.err, "resumo");
    state.counters["coupons"] = kqz::bench::Coupons();
    fs::remove_all(out);
}
BENCHMARK(BM_DownloadEndToEnd)->Arg(0)->Arg(1)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
