#include "download/todas.hpp"

#include <exception>
#include <set>
#include <system_error>

#include "cloud/mem_table.hpp"
#include "download/document_file.hpp"
#include "download/documentos.hpp"
#include "download/text.hpp"
#include "summary/cupons_do_mes.hpp"
#include "summary/progress.hpp"
#include "summary/resumo.hpp"
#include "summary/salvar.hpp"
#include "summary/sequencia.hpp"
#include "summary/tables.hpp"

namespace kqz::download {
namespace {

// The per-document text of the download ("Baixando 12/345").
bool TextoPorDocumento(const std::string& text) {
    constexpr std::string_view prefixo = "Baixando ";
    return text.size() > prefixo.size() && text.compare(0, prefixo.size(), prefixo) == 0 &&
           text[prefixo.size()] >= '0' && text[prefixo.size()] <= '9';
}

// One company's download as the run shows it: its texts behind the company's
// heading; its log is not shown (the month's table says what matters).
class VistaDaEmpresa final : public VistaDoDownload {
  public:
    VistaDaEmpresa(VistaDeTodas& vista, std::string cabecalho)
        : vista_(vista), cabecalho_(std::move(cabecalho)) {}
    void MostrarAviso(const std::string& text) override {
        vista_.MostrarAviso(cabecalho_ + "\n" + text, TextoPorDocumento(text));
    }
    void EsconderAviso() override {}
    void LimparLog() override {}
    void AdicionarLog(const std::string&) override {}

  private:
    VistaDeTodas& vista_;
    std::string cabecalho_;
};

summary::LinhaEmpresa Falha(const EmpresaDoMes& empresa, const std::string& motivo) {
    summary::LinhaEmpresa linha;
    linha.cnpj = empresa.cnpj;
    linha.nome = empresa.nome;
    linha.situacao = kPrefixoFalha + EscaparControles(motivo);
    return linha;
}

summary::LinhaEmpresa BaixarUma(const EmpresaDoMes& empresa, const std::string& cabecalho,
                                const std::filesystem::path& parent, const OpcoesDeTodas& opcoes,
                                ConsultaRemota& remoto, VistaDeTodas& vista, ProgressSink& progresso) {
    // The CNPJ names a folder: it must stay a single name inside the parent.
    if (const auto problema = ProblemaNoNome(empresa.cnpj)) {
        return Falha(empresa, "CNPJ inválido para nome de pasta (" + *problema + ")");
    }
    const std::filesystem::path pasta = parent / empresa.cnpj;

    cloud::MemTable arquivos{"mem_ArquivosXML"};
    ListaDeDocumentos lista;
    summary::SummaryTables tabelas;
    VistaDaEmpresa vistaDaEmpresa(vista, cabecalho);
    const Download download = BaixarDocumentos(empresa.cnpj, opcoes.mes, pasta, remoto, arquivos, lista,
                                               tabelas, vistaDaEmpresa, progresso);
    if (!download.ok()) {
        if (download.mensagem == kNenhumArquivo) {
            summary::LinhaEmpresa linha;
            linha.cnpj = empresa.cnpj;
            linha.nome = empresa.nome;
            linha.situacao = kSemDocumentos;
            return linha;
        }
        if (download.mensagem == kFalhaNoServidor && opcoes.detalheDaFalha) {
            const std::string detalhe = opcoes.detalheDaFalha();
            return Falha(empresa, detalhe.empty() ? download.mensagem : detalhe);
        }
        return Falha(empresa, download.mensagem);
    }

    // The report exactly as the summary window composes and saves it.
    vista.MostrarAviso(cabecalho + "\nResumo", false);
    std::vector<std::string> linhas =
        summary::LinhasDeCabecalho(empresa.cnpj, std::string(Trim(empresa.nome)));
    NoProgress semProgresso;
    summary::ComporResumo(tabelas, linhas, opcoes.formato, semProgresso);
    summary::SalvarResumo((pasta / NomeArquivoResumo(opcoes.mmmaa, empresa.cnpj)).string(), linhas);

    // The coupons of the files this download wrote (a name the server sent
    // twice is one file).
    std::vector<std::string> files;
    std::set<std::string> vistos;
    for (const ItemArquivoXml& item : lista.ListView_ArquivosXML) {
        std::string path = CaminhoDoDocumento(pasta, item.Text1).string();
        if (vistos.insert(path).second) {
            files.push_back(std::move(path));
        }
    }
    const std::vector<summary::Cupom> cupons = summary::LerCupons(files);
    const summary::Sequencias seq = summary::CalcularSequencias(cupons);
    summary::SalvarResumo(
        (pasta / summary::NomeArquivoSequencia(opcoes.mmmaa, empresa.cnpj)).string(),
        summary::LinhasSequencia(seq, empresa.cnpj, std::string(Trim(empresa.nome)), opcoes.formato));
    return summary::LinhaDaEmpresa(empresa.cnpj, empresa.nome, cupons, seq, kSituacaoOk);
}

}  // namespace

void ListagemColetada::AdicionarEmpresa(const EmpresaListada& empresa) {
    empresas.push_back({empresa.Text2, std::string(Trim(empresa.Text1)), empresa.quantidade});
}

std::string NomeArquivoResumo(const std::string& mmmaa, const std::string& cnpj) {
    return "Resumo_" + mmmaa + "_" + cnpj + ".txt";
}

bool Falhou(const summary::LinhaEmpresa& linha) {
    return linha.situacao.starts_with(kPrefixoFalha);
}

ResultadoDoMes BaixarTodas(const std::vector<EmpresaDoMes>& empresas, const std::filesystem::path& parent,
                           const OpcoesDeTodas& opcoes, ConsultaRemota& remoto, VistaDeTodas& vista,
                           ProgressSink& progresso) {
    ResultadoDoMes resultado;
    const std::string de = "/" + std::to_string(empresas.size());
    for (std::size_t i = 0; i < empresas.size(); ++i) {
        const EmpresaDoMes& empresa = empresas[i];
        const std::string cabecalho = "Empresa " + std::to_string(i + 1) + de + ": " +
                                      EscaparControles(empresa.cnpj) + " - " +
                                      EscaparControles(std::string(Trim(empresa.nome)));
        summary::LinhaEmpresa linha;
        if (empresa.quantidade <= 0) {
            linha.cnpj = empresa.cnpj;
            linha.nome = empresa.nome;
            linha.situacao = kSemDocumentos;
        } else {
            vista.MostrarAviso(cabecalho, false);
            try {
                linha = BaixarUma(empresa, cabecalho, parent, opcoes, remoto, vista, progresso);
            } catch (const std::exception& e) {
                linha = Falha(empresa, e.what());
            }
        }
        if (Falhou(linha)) {
            ++resultado.falhas;
        }
        vista.EmpresaConcluida(linha);
        resultado.linhas.push_back(std::move(linha));
    }
    return resultado;
}

}  // namespace kqz::download
