// kqz decode FILE: prints the tables of a saved REST response body (or of a
// bare dataset list in JSON) or of a raw FireDAC binary stream.

#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cli/registry.hpp"
#include "cloud/codec/codec.hpp"

namespace {

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("não consegui abrir o arquivo " + path);
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) {
        throw std::runtime_error("não consegui ler o arquivo " + path);
    }
    return std::move(buf).str();
}

void Decode(const std::string& path) {
    const std::string data = ReadWholeFile(path);
    try {
        if (data.compare(0, 4, "ADBS") == 0) {
            const kqz::codec::Dataset ds = kqz::codec::ReadAdbs(data);
            kqz::codec::PrintDataset(std::cout, ds.name, ds);
            return;
        }
        const auto list = kqz::codec::ScanDataSetJson(data);
        if (!list) {
            std::cerr << "kqz: " << path << ": a resposta não traz lista de datasets (null)\n";
            return;
        }
        bool first = true;
        for (const auto& encoded : *list) {
            const kqz::codec::Dataset ds = kqz::codec::DecodeDataSet(encoded);
            if (!first) {
                std::cout << '\n';
            }
            first = false;
            kqz::codec::PrintDataset(std::cout, encoded.name, ds);
        }
    } catch (const kqz::codec::CodecError& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
    std::cout.flush();
    if (!std::cout) {
        throw std::runtime_error("não consegui escrever a saída");
    }
}

const kqz::cli::Registration kDecode{
    "decode", [](CLI::App& app) {
        auto* cmd = app.add_subcommand(
            "decode", "Mostra as tabelas de uma resposta REST salva (JSON) ou de um fluxo binário FireDAC");
        auto path = std::make_shared<std::string>();
        cmd->add_option("FILE", *path, "Arquivo com a resposta JSON ou o fluxo binário (ADBS)")->required();
        cmd->callback([path] { Decode(*path); });
    }};

}  // namespace
