#pragma once

// The database the end-to-end tests run against, made with kqz-server's own
// admin commands: two companies an accountant's e-mail sees, and for the first
// one in March 2021 the four documents of the summary's worked example (sales
// 000001, 000002 and 000005, and 000003 cancelling 000002).

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "summary/synth/cfe_synth.hpp"
#include "tests/e2e/server_process.hpp"

namespace kqz::testing {

inline constexpr const char* kEmail = "contador@exemplo.com.br";
inline constexpr const char* kCnpjPadaria = "11222333000181";
inline constexpr const char* kCnpjMercado = "22333444000155";

inline void Admin(const std::string& server, const std::string& db, std::vector<std::string> args,
                  const std::filesystem::path& dir) {
    args.insert(args.begin(), server);
    args.push_back("--db");
    args.push_back(db);
    const Saida saida = Executar(args, dir);
    if (saida.status != 0) {
        throw std::runtime_error("kqz-server " + args[1] + " failed: " + saida.err);
    }
}

inline void Escrever(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Fills the database `target` (default: a new `dir`/kqz.sqlite) and returns
// its --db value.
inline std::string CriarBanco(const std::string& server, const std::filesystem::path& dir,
                              const std::string& target = {}) {
    namespace synth = kqz::summary::synth;
    const std::string db = target.empty() ? (dir / "kqz.sqlite").string() : target;
    Admin(server, db, {"init"}, dir);
    Admin(server, db, {"company", "add", kCnpjPadaria, "padaria são joão"}, dir);
    Admin(server, db, {"company", "add", kCnpjMercado, "Mercado Central"}, dir);
    Admin(server, db, {"user", "add", kEmail, kCnpjPadaria}, dir);
    Admin(server, db, {"user", "add", kEmail, kCnpjMercado}, dir);
    Admin(server, db, {"version", "set", "4", "https://downloads.exemplo.com.br/kqz.zip", "VERSÃO:  1.0.4"},
          dir);

    const auto xml = dir / "import";
    std::filesystem::create_directories(xml);
    synth::Emitter padaria;
    padaria.cnpj = kCnpjPadaria;
    padaria.fantasy = "PADARIA SAO JOAO";
    auto venda = [&](int number, int day, std::vector<synth::Item> items, int layout) {
        synth::SaleSpec spec;
        spec.emitter = padaria;
        spec.number = number;
        spec.date = {2021, 3, day};
        spec.items = std::move(items);
        spec.layout = layout ? synth::Layout::kIndented : synth::Layout::kOneLine;
        spec.seed = static_cast<std::uint64_t>(number);
        return spec;
    };
    const auto v1 = venda(1, 19, {{"5102", 1000, ""}, {"5405", 3000, ""}, {"5102", 590, ""}}, 1);
    const auto v2 = venda(2, 19, {{"5102", 1250, ""}}, 0);
    const auto v5 = venda(5, 20, {{"5102", 123456, ""}}, 1);
    synth::CancSpec c3 = synth::CancellationOf(v2, 3);
    c3.date = {2021, 3, 19};
    for (const auto& spec : {v1, v2, v5}) {
        Escrever(xml / ("venda-" + std::to_string(spec.number) + ".xml"), synth::MakeSale(spec));
    }
    Escrever(xml / "cancelamento-3.xml", synth::MakeCancellation(c3));

    synth::Emitter mercado;
    mercado.cnpj = kCnpjMercado;
    synth::SaleSpec outra;
    outra.emitter = mercado;
    outra.number = 77;
    outra.date = {2021, 3, 2};
    outra.items = {{"5101", 990, ""}};
    Escrever(xml / "mercado.xml", synth::MakeSale(outra));

    Admin(server, db, {"import", xml.string()}, dir);
    return db;
}

// The report of the worked example, after the two heading lines (the summary
// tests' own expectation).
inline std::vector<std::string> RelatorioEsperado() {
    std::ifstream in(KQZ_TEST_DATA "/summary/exemplo/esperado.txt", std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    if (lines.empty()) {
        throw std::runtime_error("missing " KQZ_TEST_DATA "/summary/exemplo/esperado.txt");
    }
    return lines;
}

}  // namespace kqz::testing
