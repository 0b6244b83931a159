#include "download/documentos.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/error.hpp"

#include "cloud/mem_table.hpp"
#include "download/document_file.hpp"
#include "download/queries.hpp"
#include "download/text.hpp"
#include "summary/ler_xml.hpp"
#include "summary/progress.hpp"
#include "summary/resumo.hpp"
#include "summary/tables.hpp"

namespace kqz::download {
namespace {

std::string Seis(std::int64_t numero) {
    std::string digits = std::to_string(numero < 0 ? -numero : numero);
    if (digits.size() < 6) {
        digits.insert(0, 6 - digits.size(), '0');
    }
    return numero < 0 ? "-" + digits : digits;
}

std::int64_t NumeroDoCupom(const cloud::MemTable& table, const std::string& adNumero) {
    const cloud::Field numero = table.FieldByName("X_NUMERO");
    try {
        return numero.AsLargeInt();
    } catch (const cloud::MemTableError&) {
        throw std::runtime_error("Número de CFe inválido (\"" + EscaparControles(numero.AsString()) +
                                 "\") no documento " + EscaparControles(adNumero));
    }
}

}  // namespace

bool ListarDocumentos(std::string_view cnpj, std::string_view mes, ConsultaRemota& remoto,
                      cloud::MemTable& mem_ArquivosXML, ListaDeDocumentos& lista) {
    if (!remoto.SelectMemTable(ConsultaDocumentos(cnpj, mes), mem_ArquivosXML)) {
        return false;
    }
    const cloud::Field numero = mem_ArquivosXML.FieldByName("AD_NUMERO");
    const cloud::Field valor = mem_ArquivosXML.FieldByName("AD_VALOR");
    const cloud::Field xml = mem_ArquivosXML.FieldByName("AD_XML");
    lista.ListView_ArquivosXML.clear();
    lista.ListView_ArquivosXML.reserve(mem_ArquivosXML.RecordCount());
    for (; !mem_ArquivosXML.Eof(); mem_ArquivosXML.Next()) {
        lista.ListView_ArquivosXML.push_back({numero.AsString(), valor.AsString(), "Arquivo: ", "Valor: "});
    }
    lista.Memo1 = xml.AsString();
    return true;
}

namespace {

// One row of the answer at a time in a table of one row, so that its values
// are read exactly as the whole table's fields read them.
class Linha {
  public:
    void Colunas(const std::vector<codec::Column>& columns) { columns_ = columns; }
    void Carregar(codec::Row& row) {
        codec::Dataset one;
        one.columns = columns_;
        one.rows.push_back(std::move(row));
        mem_.Close();
        mem_.AppendData(std::move(one));
    }
    const cloud::MemTable& Tabela() const { return mem_; }
    // The position of `name` among the columns (compared as FieldByName does);
    // fails as FieldByName does when there is none.
    std::size_t Indice(std::string_view name) {
        codec::Dataset header;
        header.columns = columns_;
        mem_.Close();
        mem_.AppendData(std::move(header));
        const auto& columns = mem_.Columns();
        const std::string wanted = AsciiUpper(name);
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (AsciiUpper(columns[i].name) == wanted) {
                return i;
            }
        }
        (void)mem_.FieldByName(name);  // throws naming the field
        return 0;
    }

  private:
    std::vector<codec::Column> columns_;
    cloud::MemTable mem_{"mem_ArquivosXML"};
};

// First pass: the hidden document list (number and value of every document)
// and the last document's XML, as the document-list step leaves them.
class Listagem final : public codec::AdbsVisitor {
  public:
    explicit Listagem(ListaDeDocumentos& lista) : lista_(lista) {}
    void OnTable(const codec::Dataset& header) override {
        linha_.Colunas(header.columns);
        xml_ = linha_.Indice("AD_XML");
        (void)linha_.Indice("AD_NUMERO");
        (void)linha_.Indice("AD_VALOR");
        lista_.ListView_ArquivosXML.clear();
        ultimo_ = std::string();
    }
    void OnRow(codec::Row& row) override {
        if (auto* text = std::get_if<std::string>(&row[xml_])) {
            ultimo_ = std::move(*text);
            row[xml_] = std::monostate{};
        } else {
            ultimo_.reset();  // read through the field below
        }
        linha_.Carregar(row);
        const cloud::MemTable& t = linha_.Tabela();
        lista_.ListView_ArquivosXML.push_back({t.FieldByName("AD_NUMERO").AsString(),
                                               t.FieldByName("AD_VALOR").AsString(), "Arquivo: ", "Valor: "});
        if (!ultimo_) {
            ultimo_ = t.FieldByName("AD_XML").AsString();
        }
        if (lista_.ListView_ArquivosXML.size() == 1) {
            primeiro = t.FieldByName("X_NUMERO").AsString();
        }
    }
    std::string primeiro;  // X_NUMERO of the first row, as text
    std::string Ultimo() { return ultimo_ ? std::move(*ultimo_) : std::string(); }

  private:
    ListaDeDocumentos& lista_;
    Linha linha_;
    std::size_t xml_ = 0;
    std::optional<std::string> ultimo_{std::string()};
};

// Second pass: each document written to its file and read, in the server's order.
class Gravacao final : public codec::AdbsVisitor {
  public:
    Gravacao(const std::filesystem::path& pasta, std::size_t total, Download& result,
             summary::SummaryTables& tabelas, VistaDoDownload& vista, ProgressSink& progresso,
             GravadorDeArquivos& gravador)
        : pasta_(pasta),
          total_(total),
          result_(result),
          tabelas_(tabelas),
          vista_(vista),
          progresso_(progresso),
          gravador_(gravador) {}

    void OnTable(const codec::Dataset& header) override {
        linha_.Colunas(header.columns);
        xml_ = linha_.Indice("AD_XML");
    }
    void OnRow(codec::Row& row) override {
        if (result_.quantidade >= total_) {
            throw std::runtime_error("a resposta do servidor mudou entre duas leituras");
        }
        std::string xmlText;
        bool moved = false;
        if (auto* text = std::get_if<std::string>(&row[xml_])) {
            xmlText = std::move(*text);
            row[xml_] = std::monostate{};
            moved = true;
        }
        linha_.Carregar(row);
        const cloud::MemTable& t = linha_.Tabela();
        const std::string adNumero = t.FieldByName("AD_NUMERO").AsString();
        const std::int64_t atual = NumeroDoCupom(t, adNumero);
        if (result_.quantidade > 0 && atual > anterior_ + 1) {
            // At most kMaxFaltas lines in all, as in the report; the rest is
            // only counted.
            const std::uint64_t gap =
                static_cast<std::uint64_t>(atual) - static_cast<std::uint64_t>(anterior_) - 1;
            const std::uint64_t listed =
                std::min(gap, summary::kMaxFaltas - std::min(faltas_, summary::kMaxFaltas));
            for (std::uint64_t k = 1; k <= listed; ++k) {
                vista_.AdicionarLog("Falta CFe....: " +
                                    std::to_string(anterior_ + static_cast<std::int64_t>(k)) + " <<<****");
            }
            faltas_ += listed;
            naoListadas += gap - listed;
        }
        anterior_ = atual;
        result_.ultimo = atual;

        if (!moved) {
            xmlText = t.FieldByName("AD_XML").AsString();
        }
        const std::filesystem::path arquivo = CaminhoDoDocumento(pasta_, adNumero);
        std::string texto = TextoDoDocumento(xmlText);
        gravador_.Gravar(arquivo, texto);
        summary::LerXml(tabelas_, arquivo.string(), std::move(texto));

        ++result_.quantidade;
        progresso_.SetValue(static_cast<double>(result_.quantidade));
        vista_.MostrarAviso("Baixando " + std::to_string(result_.quantidade) + "/" + std::to_string(total_));
    }

    std::uint64_t naoListadas = 0;

  private:
    const std::filesystem::path& pasta_;
    std::size_t total_;
    Download& result_;
    summary::SummaryTables& tabelas_;
    VistaDoDownload& vista_;
    ProgressSink& progresso_;
    GravadorDeArquivos& gravador_;
    Linha linha_;
    std::size_t xml_ = 0;
    std::int64_t anterior_ = 0;
    std::uint64_t faltas_ = 0;
};

// Writes the folder's entries to disk once, for all the files of the download.
void SincronizarPasta(const std::filesystem::path& pasta) {
    const int fd = ::open(pasta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

Download BaixarDocumentos(std::string_view cnpj, std::string_view mes, const std::filesystem::path& pasta,
                          ConsultaRemota& remoto, cloud::MemTable& mem_ArquivosXML, ListaDeDocumentos& lista,
                          summary::SummaryTables& tabelas, VistaDoDownload& vista, ProgressSink& progresso) {
    Download result;
    vista.MostrarAviso("Aguarde...");
    vista.MostrarAviso("Filtrando arquivos - Aguarde...");
    // The answer is received whole but kept compressed; its rows are read
    // twice, never held together: once for the document list, once to write
    // and read each document.
    const std::unique_ptr<RespostaGrande> resposta = remoto.SelectStream(ConsultaDocumentos(cnpj, mes));
    ListaDeDocumentos listada;
    Listagem listagem(listada);
    try {
        if (!resposta) {
            throw codec::CodecError("sem resposta");
        }
        resposta->Ler(listagem);
    } catch (const codec::CodecError&) {
        vista.EsconderAviso();
        result.mensagem = kFalhaNoServidor;
        return result;
    }
    // The rows are not kept in the table: it is left empty.
    mem_ArquivosXML.Close();
    lista.ListView_ArquivosXML = std::move(listada.ListView_ArquivosXML);
    lista.Memo1 = listagem.Ultimo();
    if (lista.ListView_ArquivosXML.empty()) {
        vista.EsconderAviso();
        result.mensagem = kNenhumArquivo;
        return result;
    }

    // Nothing the server sends may name a file outside the folder.
    for (const ItemArquivoXml& item : lista.ListView_ArquivosXML) {
        if (const auto problema = ProblemaNoNome(item.Text1)) {
            vista.EsconderAviso();
            result.mensagem = "Nome de arquivo inválido recebido do servidor (" + *problema + "): \"" +
                              EscaparControles(item.Text1) + "\" !";
            return result;
        }
    }

    vista.MostrarAviso("Baixando - Aguarde...");
    std::error_code error;
    if (!std::filesystem::is_directory(pasta, error)) {
        std::filesystem::create_directories(pasta, error);
    }

    const std::size_t total = lista.ListView_ArquivosXML.size();
    progresso.SetValue(0);
    progresso.SetMax(static_cast<double>(total));

    vista.LimparLog();
    result.primeiro = listagem.primeiro;
    vista.AdicionarLog("Primeiro CFe...: " + result.primeiro);
    GravadorDeArquivos gravador;
    Gravacao gravacao(pasta, total, result, tabelas, vista, progresso, gravador);
    try {
        resposta->Ler(gravacao);
        if (result.quantidade != total) {
            throw std::runtime_error("a resposta do servidor mudou entre duas leituras");
        }
        gravador.Concluir();
    } catch (const std::exception& e) {
        // Say which documents are on disk: every file is complete or absent.
        gravador.Aguardar();
        const std::size_t gravados = gravador.Gravados();
        const std::size_t emOrdem = gravador.GravadosEmOrdem();
        std::string quais = std::to_string(gravados) + " de " + std::to_string(total) +
                            " documento(s) gravado(s) em " + pasta.string();
        if (gravados > 0 && emOrdem == gravados) {
            quais += ", do primeiro até " + EscaparControles(lista.ListView_ArquivosXML[gravados - 1].Text1);
        }
        throw std::runtime_error(std::string(e.what()) + " (" + quais + ")");
    }
    SincronizarPasta(pasta);
    if (gravacao.naoListadas > 0) {
        vista.AdicionarLog("Falta CFe....: mais " + std::to_string(gravacao.naoListadas) +
                           " números não listados <<<****");
    }
    vista.AdicionarLog("Ultimo CFe.....: " + Seis(result.ultimo));
    vista.EsconderAviso();
    return result;
}

}  // namespace kqz::download
