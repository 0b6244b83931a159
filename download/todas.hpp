#pragma once

// Every company of the month in one run: each listed company with documents
// is downloaded into <parent>/<CNPJ>/, its summary saved there as the summary
// window's "Salvar" names it, and a row of the month's table is made of its
// coupons. A company that fails (server error, a file that cannot be written,
// a name that cannot be a folder) is recorded in its row and the next one goes
// on.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "download/empresas.hpp"
#include "download/remote.hpp"
#include "summary/numbers.hpp"
#include "summary/planilha.hpp"

namespace kqz {
class ProgressSink;
}

namespace kqz::download {

// The status of a company whose documents were all downloaded and summarised.
inline constexpr const char* kSituacaoOk = "OK";
// The status of a listed company without documents in the month.
inline constexpr const char* kSemDocumentos = "Sem documentos no mês";
// What starts the status of a company that failed.
inline constexpr const char* kPrefixoFalha = "FALHA: ";

// A company of the list.
struct EmpresaDoMes {
    std::string cnpj;
    std::string nome;             // trade name as the list shows it
    std::int64_t quantidade = 0;  // documents stored for the month
};

// Where the run shows what it does.
class VistaDeTodas {
  public:
    virtual ~VistaDeTodas() = default;
    // The progress text: the company ("Empresa 2/5: CNPJ - NOME") and what
    // its download does ("Baixando 12/345"). `porDocumento` marks the texts
    // that change with every document, which a window may paint less often.
    virtual void MostrarAviso(const std::string& text, bool porDocumento) = 0;
    // A company ended; its row is final.
    virtual void EmpresaConcluida(const summary::LinhaEmpresa& linha) = 0;
};

struct OpcoesDeTodas {
    std::string mes;    // "yyMM", as the server stores it
    std::string mmmaa;  // "mar21", as the saved files name the month
    summary::NumberFormat formato;
    // The text that replaces the generic server failure in a company's row
    // (the remote helper's last error); the generic text when not set.
    std::function<std::string()> detalheDaFalha;
};

struct ResultadoDoMes {
    std::vector<summary::LinhaEmpresa> linhas;  // one per company, in list order
    std::size_t falhas = 0;
    bool ok() const { return falhas == 0; }
};

// "Resumo_" + mmmaa + "_" + CNPJ + ".txt": the name the summary window
// proposes when it saves a company's summary.
std::string NomeArquivoResumo(const std::string& mmmaa, const std::string& cnpj);

// Whether a row's status is a failure.
bool Falhou(const summary::LinhaEmpresa& linha);

// Downloads every company of `empresas` in order. Nothing is thrown for a
// company's failure: it is the row's status ("FALHA: " and the reason).
ResultadoDoMes BaixarTodas(const std::vector<EmpresaDoMes>& empresas, const std::filesystem::path& parent,
                           const OpcoesDeTodas& opcoes, ConsultaRemota& remoto, VistaDeTodas& vista,
                           ProgressSink& progresso);

// The listing's view of a run without windows: keeps the companies listed.
class ListagemColetada final : public VistaDaListagem {
  public:
    std::vector<EmpresaDoMes> empresas;
    void MostrarAviso(const std::string&) override {}
    void EsconderAviso() override {}
    void IniciarLista() override { empresas.clear(); }
    void AdicionarEmpresa(const EmpresaListada& empresa) override;
    void ConcluirLista() override {}
    void DefinirLog(const std::string&) override {}
    void AdicionarLog(const std::string&) override {}
};

}  // namespace kqz::download
