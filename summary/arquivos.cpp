#include "summary/arquivos.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "summary/error.hpp"
#include "summary/ler_xml.hpp"
#include "summary/resumo.hpp"
#include "summary/tables.hpp"

namespace kqz::summary {

namespace fs = std::filesystem;

namespace {

bool ExtensaoXml(const std::string& name) {
    return name.size() > 4 && (name.ends_with(".xml") || name.ends_with(".XML"));
}

std::string Aparado(const std::string& s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    auto b = std::find_if_not(s.begin(), s.end(), blank);
    auto e = std::find_if_not(s.rbegin(), std::string::const_reverse_iterator(b), blank).base();
    return std::string(b, e);
}

std::string Maiusculas(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

}  // namespace

std::vector<std::string> ListarArquivosXml(const std::vector<std::string>& paths) {
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        std::error_code ec;
        const fs::file_status st = fs::status(path, ec);
        if (ec || !fs::exists(st)) {
            throw ResumoError("Arquivo \"" + path + "\": não encontrado");
        }
        if (!fs::is_directory(st)) {
            files.push_back(path);
            continue;
        }
        std::vector<std::string> names;
        fs::directory_iterator it(path, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            std::error_code fec;
            if (ExtensaoXml(name) && it->is_regular_file(fec)) {
                names.push_back(name);
            }
        }
        if (ec) {
            throw ResumoError("Pasta \"" + path + "\": não foi possível listar (" + ec.message() + ")");
        }
        std::sort(names.begin(), names.end());
        const std::string prefix = path.ends_with('/') ? path : path + "/";
        for (const std::string& name : names) {
            files.push_back(prefix + name);
        }
    }
    return files;
}

std::vector<std::string> ResumirArquivos(const std::vector<std::string>& files, const Empresa& empresa,
                                         const NumberFormat& format, ProgressSink& progress) {
    return LerArquivos(files, empresa, format, progress).linhas;
}

Leitura LerArquivos(const std::vector<std::string>& files, const Empresa& empresa, const NumberFormat& format,
                    ProgressSink& progress) {
    Leitura leitura;
    leitura.cupons.reserve(files.size());
    SummaryTables tables;
    std::optional<XmlLido> primeiro;
    const std::string de = "/" + std::to_string(files.size());
    progress.SetMax(static_cast<double>(files.size()));
    std::size_t lidos = 0;
    for (const std::string& file : files) {
        XmlLido lido = LerXml(tables, file);
        if (!lido.vazio) {
            leitura.cupons.push_back(std::move(lido.cupom));
        }
        if (!primeiro && !lido.vazio) {
            primeiro = std::move(lido);
        }
        ++lidos;
        progress.SetValue(static_cast<double>(lidos));
        progress.SetText("Lendo " + std::to_string(lidos) + de);
        progress.Pump();
    }
    std::string cnpj = empresa.cnpj.value_or(primeiro ? primeiro->emit_cnpj : std::string());
    std::string nome;
    if (empresa.nome) {
        nome = Aparado(*empresa.nome);
    } else if (primeiro) {
        nome =
            Maiusculas(Aparado(primeiro->emit_xFant.empty() ? primeiro->emit_xNome : primeiro->emit_xFant));
    }
    leitura.linhas = LinhasDeCabecalho(cnpj, nome);
    ComporResumo(tables, leitura.linhas, format, progress);
    leitura.cnpj = std::move(cnpj);
    leitura.nome = std::move(nome);
    return leitura;
}

}  // namespace kqz::summary
