// Reading and summarising a busy month of CF-e files.
//
// Generates KQZ_BENCH_DOCS (or KQZ_BENCH_COUPONS) synthetic coupons (default
// 100,000, about 5.7 KB each) of three SAT units, signed with the units' test
// keys (KQZ_BENCH_RANDOM_SIGNATURES=1: the former random filler, every coupon
// with a certificate of its own), into a temporary folder once, then measures:
//   ReadOnly           - reading every file into memory (the floor);
//   ReadAndSummarise   - LerXml of every file plus the report, as the window does;
//   ParseFromMemory    - LerXml of texts already in memory (as the download has
//                        them) plus the report, without file reading;
//   ComposeOnly        - the report alone on the filled tables;
//   SequencesPerSat    - the per-unit sequences from the coupons already read;
//   CheckKeys          - the checks without signatures (keys, duplicates,
//                        company, month), on every core;
//   CheckKeysAndSignatures - the same with the XML-DSig signatures, on every core;
//   CheckOneThread     - keys and signatures on one thread.
// Counters: docs/s, and the peak resident memory of the process (VmHWM, MB),
// which only grows: read each benchmark's value in the order they run. The
// checks also show x_read (their time over ReadOnly's) and x_summary (over
// ReadAndSummarise's), both measured in the same run.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "summary/ler_xml.hpp"
#include "summary/numbers.hpp"
#include "summary/resumo.hpp"
#include "summary/sequencia.hpp"
#include "summary/synth/cfe_synth.hpp"
#include "summary/verificacao.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kqz::summary;
using kqz::NoProgress;

double PeakMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atof(line.c_str() + 6) / 1024.0;
        }
    }
    return 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text(static_cast<std::size_t>(fs::file_size(path)), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// The generated month: file paths in the download's order.
class Month {
  public:
    static Month& Get() {
        static Month month;
        return month;
    }
    const std::vector<std::string>& files() const { return files_; }
    std::size_t bytes() const { return bytes_; }
    ~Month() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

  private:
    Month() {
        const char* env = std::getenv("KQZ_BENCH_DOCS");
        if (env == nullptr) {
            env = std::getenv("KQZ_BENCH_COUPONS");
        }
        synth::MonthSpec spec;
        spec.count = env != nullptr ? std::atoi(env) : 100000;
        spec.sat_units = 3;
        const char* random = std::getenv("KQZ_BENCH_RANDOM_SIGNATURES");
        if (random != nullptr && std::string(random) == "1") {
            spec.signing = synth::Signing::kRandomFiller;
        }
        spec.first_number = 1;
        spec.cancel_permille = 15;
        spec.gap_permille = 5;
        std::string tmpl = (fs::temp_directory_path() / "kqz-bench-summary-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        dir_ = tmpl;
        files_.reserve(static_cast<std::size_t>(spec.count));
        synth::GenerateMonth(spec, [this](synth::Document&& d) {
            const std::string path = dir_ + "/" + d.name + ".XML";
            std::ofstream(path, std::ios::binary) << d.xml;
            bytes_ += d.xml.size();
            files_.push_back(path);
        });
        std::fprintf(stderr, "generated %zu files, %.1f MB, in %s\n", files_.size(),
                     static_cast<double>(bytes_) / 1e6, dir_.c_str());
    }
    std::string dir_;
    std::vector<std::string> files_;
    std::size_t bytes_ = 0;
};

void Finish(benchmark::State& state, std::size_t docs) {
    state.counters["docs/s"] =
        benchmark::Counter(static_cast<double>(docs), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["peak_MB"] = PeakMb();
    state.SetBytesProcessed(static_cast<std::int64_t>(Month::Get().bytes()) *
                            static_cast<std::int64_t>(state.iterations()));
}

// Seconds per iteration of the floors, for the ratios of the checks.
double g_read_seconds = 0;
double g_summary_seconds = 0;

double SecondsPerIteration(std::chrono::steady_clock::time_point start, const benchmark::State& state) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
           static_cast<double>(state.iterations());
}

void ReadOnly(benchmark::State& state) {
    const Month& m = Month::Get();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::size_t total = 0;
        for (const std::string& f : m.files()) {
            total += ReadFile(f).size();
        }
        benchmark::DoNotOptimize(total);
    }
    g_read_seconds = SecondsPerIteration(start, state);
    Finish(state, m.files().size());
}

void ReadAndSummarise(benchmark::State& state) {
    const Month& m = Month::Get();
    NoProgress none;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        SummaryTables tables;
        for (const std::string& f : m.files()) {
            LerXml(tables, f);
        }
        std::vector<std::string> memo2 = LinhasDeCabecalho("08723218000186", "MERCADO EXEMPLO");
        ComporResumo(tables, memo2, BrazilianNumberFormat(), none);
        benchmark::DoNotOptimize(memo2.data());
    }
    g_summary_seconds = SecondsPerIteration(start, state);
    Finish(state, m.files().size());
}

void ParseFromMemory(benchmark::State& state) {
    const Month& m = Month::Get();
    NoProgress none;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::string> texts;
        texts.reserve(m.files().size());
        for (const std::string& f : m.files()) {
            texts.push_back(ReadFile(f));
        }
        state.ResumeTiming();
        SummaryTables tables;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            LerXml(tables, m.files()[i], std::move(texts[i]));
        }
        std::vector<std::string> memo2;
        ComporResumo(tables, memo2, BrazilianNumberFormat(), none);
        benchmark::DoNotOptimize(memo2.data());
    }
    Finish(state, m.files().size());
}

void ComposeOnly(benchmark::State& state) {
    const Month& m = Month::Get();
    SummaryTables tables;
    for (const std::string& f : m.files()) {
        LerXml(tables, f);
    }
    NoProgress none;
    for (auto _ : state) {
        std::vector<std::string> memo2;
        ComporResumo(tables, memo2, BrazilianNumberFormat(), none);
        benchmark::DoNotOptimize(memo2.data());
    }
    Finish(state, m.files().size());
}

void SequencesPerSat(benchmark::State& state) {
    const Month& m = Month::Get();
    std::vector<Cupom> cupons;
    cupons.reserve(m.files().size());
    SummaryTables tables;
    for (const std::string& f : m.files()) {
        cupons.push_back(LerXml(tables, f).cupom);
    }
    for (auto _ : state) {
        const Sequencias seq = CalcularSequencias(cupons);
        benchmark::DoNotOptimize(seq.sats.data());
    }
    Finish(state, m.files().size());
}

void Check(benchmark::State& state, bool signatures, unsigned threads) {
    const Month& m = Month::Get();
    NoProgress none;
    OpcoesVerificacao opcoes;
    opcoes.assinaturas = signatures;
    opcoes.threads = threads;
    std::size_t problems = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const Verificacao v = VerificarArquivos(m.files(), opcoes, none);
        problems = v.problemas.size();
    }
    const double seconds = SecondsPerIteration(start, state);
    if (g_read_seconds > 0) {
        state.counters["x_read"] = seconds / g_read_seconds;
    }
    if (g_summary_seconds > 0) {
        state.counters["x_summary"] = seconds / g_summary_seconds;
    }
    state.counters["problems"] = static_cast<double>(problems);  // 0 on the generated month
    Finish(state, m.files().size());
}

void CheckKeys(benchmark::State& state) {
    Check(state, false, 0);
}
void CheckKeysAndSignatures(benchmark::State& state) {
    Check(state, true, 0);
}
void CheckOneThread(benchmark::State& state) {
    Check(state, true, 1);
}

BENCHMARK(ReadOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(ReadAndSummarise)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(ParseFromMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(ComposeOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(SequencesPerSat)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(CheckKeys)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(CheckKeysAndSignatures)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(CheckOneThread)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
