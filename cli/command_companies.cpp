// kqz companies: the companies an e-mail may see, with the number of stored
// XMLs of the month, one per line in list order: CNPJ, tab, trade name as the
// list shows it, tab, the count.

#include <CLI/CLI.hpp>

#include <iostream>
#include <stdexcept>

#include "cli/registry.hpp"
#include "cli/session.hpp"
#include "download/empresas.hpp"
#include "download/text.hpp"
#include "summary/progress.hpp"

namespace kqz::cli {
namespace {

class Coleta final : public download::VistaDaListagem {
  public:
    std::vector<download::EmpresaListada> empresas;
    void MostrarAviso(const std::string&) override {}
    void EsconderAviso() override {}
    void IniciarLista() override { empresas.clear(); }
    void AdicionarEmpresa(const download::EmpresaListada& empresa) override { empresas.push_back(empresa); }
    void ConcluirLista() override {}
    void DefinirLog(const std::string&) override {}
    void AdicionarLog(const std::string&) override {}
};

struct Options {
    std::string server;
    std::string email;
    std::string month;
};

void Run(const Options& options) {
    Sessao sessao(options.server);
    const std::string email = EmailDoArgumento(options.email);
    const auto cnpjs = sessao.Identificar(email);
    Coleta coleta;
    NoProgress progresso;
    const download::Listagem listagem =
        download::ListarEmpresas(email, cnpjs, MesDoArgumento(options.month), sessao.remoto,
                                 sessao.memTable_Empresas, sessao.mem_ArquivosXML, coleta, progresso);
    if (!listagem.ok()) {
        throw std::runtime_error(listagem.mensagem == download::kFalhaNoServidor ? sessao.Falha()
                                                                                 : listagem.mensagem);
    }
    for (const auto& empresa : coleta.empresas) {
        std::cout << download::EscaparControles(empresa.Text2) << '\t'
                  << download::EscaparControles(empresa.Text1) << '\t' << empresa.quantidade << '\n';
    }
}

const Registration kCompanies{
    "companies", [](CLI::App& app) {
        auto options = std::make_shared<Options>();
        CLI::App* command = app.add_subcommand(
            "companies", "Lista as empresas que o e-mail pode ver, com a quantidade de XMLs do mês");
        command->add_option("--email", options->email, "E-mail do usuário")->required();
        command->add_option("--month", options->month, "Mês de referência, AAAA-MM (padrão: o mês anterior)");
        command->add_option("--server", options->server, "Servidor, por exemplo http://localhost:8080");
        command->callback([options] { Run(*options); });
    }};

}  // namespace
}  // namespace kqz::cli
